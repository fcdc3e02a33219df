#include "child.h"
#include "coverage.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char **environ;

namespace {

const int LAID_OUT = 4; // descriptors 0 to 3

// Closes every descriptor from `first` on but `kept`. Without close_range, as many as the
// limit allows.
void close_from(int first, int kept) {
    if (syscall(SYS_close_range, first, kept - 1, 0) == 0 &&
        syscall(SYS_close_range, kept + 1, ~0U, 0) == 0)
        return;
    rlimit files = {1024, 1024};
    getrlimit(RLIMIT_NOFILE, &files);
    const int last = files.rlim_cur < 65536 ? int(files.rlim_cur) : 65536;
    for (int fd = first; fd < last; ++fd)
        if (fd != kept) close(fd);
}

// In the child: descriptors 0 to 3 as asked, whatever numbers their sources have; every
// other descriptor closed but `told`, the pipe that tells the parent of a failure.
bool lay_out(const int (&fds)[LAID_OUT], int told) {
    int sources[LAID_OUT];
    for (int fd = 0; fd < LAID_OUT; ++fd) { // first above 3, so that no source is overwritten
        sources[fd] = fds[fd];
        if (fds[fd] >= 0 && fds[fd] != fd &&
            (sources[fd] = fcntl(fds[fd], F_DUPFD_CLOEXEC, LAID_OUT)) < 0)
            return false;
    }
    for (int fd = 0; fd < LAID_OUT; ++fd) {
        if (sources[fd] < 0)
            close(fd);
        else if (sources[fd] != fd && dup2(sources[fd], fd) < 0)
            return false;
    }
    close_from(LAID_OUT, told);
    return true;
}

void set_signals(const Child_Start &start) {
    if (start.default_signals)
        for (int signal_number = 1; signal_number < NSIG; ++signal_number)
            signal(signal_number, SIG_DFL); // SIGKILL, SIGSTOP and unused numbers refuse it
    if (start.mask != nullptr) sigprocmask(SIG_SETMASK, start.mask, nullptr);
}

} // namespace

pid_t fork_child(const Child_Start &start, void (*body)(void *argument), void *argument) {
    int told[2];
    if (pipe2(told, O_CLOEXEC) != 0) return -1;
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
        close(told[0]);
        set_signals(start);
        const bool laid_out =
            (start.death_signal == 0 || die_with_parent(start.death_signal, parent)) &&
            lay_out(start.fds, told[1]);
        if (!laid_out) {
            const int error = errno != 0 ? errno : ESRCH;
            if (write(told[1], &error, sizeof error) < 0) exit_child(127);
            exit_child(127);
        }
        close(told[1]);
        body(argument);
        exit_child(127); // a body that returned
    }
    const int fork_error = errno;
    close(told[1]);
    int error = fork_error;
    ssize_t got = 0;
    if (child > 0)
        while ((got = read(told[0], &error, sizeof error)) < 0 && errno == EINTR) {
        }
    close(told[0]);
    if (child > 0 && got == 0) return child;
    if (child > 0) wait_child(child);
    errno = error;
    return -1;
}

pid_t spawn_child(const Child_Start &start, const char *path, const char *const *argv) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    for (int fd = 0; fd < LAID_OUT; ++fd) {
        if (start.fds[fd] < 0)
            posix_spawn_file_actions_addclose(&actions, fd);
        else // the same number too: dup2 onto itself clears its close-on-exec
            posix_spawn_file_actions_adddup2(&actions, start.fds[fd], fd);
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, LAID_OUT);
    short flags = 0;
    sigset_t all;
    sigfillset(&all);
    if (start.default_signals) {
        posix_spawnattr_setsigdefault(&attributes, &all);
        flags |= POSIX_SPAWN_SETSIGDEF;
    }
    if (start.mask != nullptr) {
        posix_spawnattr_setsigmask(&attributes, start.mask);
        flags |= POSIX_SPAWN_SETSIGMASK;
    }
    posix_spawnattr_setflags(&attributes, flags);
    pid_t child = -1;
    const int error =
        posix_spawn(&child, path, &actions, &attributes, const_cast<char *const *>(argv), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    errno = error;
    return error == 0 ? child : -1;
}

bool die_with_parent(int signal, pid_t parent) {
    if (prctl(PR_SET_PDEATHSIG, signal) != 0) return false;
    const pid_t now = getppid(); // 0: a parent outside the child's PID namespace, unseen
    if (now == parent || now == 0) return true;
    errno = ESRCH;
    return false;
}

void exit_child(int status) {
    flush_coverage();
    _exit(status);
}

void exec_program(const char *path, const char *const *argv, const char *const *environment) {
    flush_coverage();
    execve(path, const_cast<char *const *>(argv), const_cast<char *const *>(environment));
}

int wait_child(pid_t child) {
    int status;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return status;
}

int exit_code_of(int wait_status) {
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}
