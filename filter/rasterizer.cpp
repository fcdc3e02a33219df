// The rasterizer's supervisor: it starts the job's child, confined (confinement.h), passes
// Ghostscript's messages on up to their bound, ends the job on SIGTERM, SIGINT or SIGHUP,
// falls back to a private directory where the kernel refuses namespaces, and says what came
// of it. Nothing the job started outlives the filter.
#include "rasterizer.h"

#include "child.h"
#include "confinement.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Passes the rasterizer's messages on up to their bound, counting what is left out.
struct Message_Relay {
    int from; // -1 once at its end
    uint64_t passed, dropped;
};

// One read's worth; false when nothing more is there for now.
bool relay_messages(Message_Relay &relay) {
    char buffer[16384];
    const ssize_t got = read(relay.from, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) return true;
    if (got < 0 && errno == EAGAIN) return false;
    if (got <= 0) {
        close(relay.from);
        relay.from = -1;
        return false;
    }
    const uint64_t room = filter_config.limits.message_bytes - relay.passed;
    const size_t passing = uint64_t(got) < room ? size_t(got) : size_t(room);
    if (passing > 0 && write(STDERR_FILENO, buffer, passing) < 0) {
        // the log is gone: the messages are dropped, the job goes on
    }
    relay.passed += passing;
    relay.dropped += size_t(got) - passing;
    return true;
}

// Waits for the child, passing its messages on, or for a signal that ends the filter.
// Returns the child's wait status, or -1 when SIGTERM, SIGINT or SIGHUP came first.
int wait_or_end(pid_t child, int signals, Message_Relay &relay) {
    for (;;) {
        pollfd events[2] = {{signals, POLLIN, 0}, {relay.from, POLLIN, 0}};
        if (poll(events, relay.from >= 0 ? 2 : 1, -1) < 0) continue;
        if (relay.from >= 0 && events[1].revents != 0) relay_messages(relay);
        if (events[0].revents == 0) continue;
        signalfd_siginfo received;
        if (read(signals, &received, sizeof received) != sizeof received) continue;
        if (received.ssi_signo != SIGCHLD) return -1;
        int status;
        pid_t ended;
        while ((ended = waitpid(child, &status, WNOHANG)) < 0 && errno == EINTR) {
        }
        if (ended == child) return status;
        if (ended < 0) return -1;
    }
}

// Kills and reaps every child until none is left. The filter is the subreaper of its
// descendants, so a process whose parent died before it is found here.
void end_descendants() {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%d/children", int(getpid()));
    for (;;) {
        char list[256];
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        const ssize_t got = fd < 0 ? -1 : read(fd, list, sizeof list - 1);
        if (fd >= 0) close(fd);
        if (got <= 0) break;
        list[got] = '\0';
        // Each pid ends in a blank; a pid cut off by the buffer waits for the next round.
        for (char *next = list, *end; (end = strchr(next, ' ')) != nullptr; next = end + 1) {
            const pid_t child = pid_t(strtol(next, nullptr, 10));
            kill(child, SIGKILL);
            wait_child(child);
        }
    }
    while (waitpid(-1, nullptr, WNOHANG) > 0) { // no /proc: reap what has ended
    }
}

struct Child_Setup {
    const Rasterizer_Task *task;
    const char *private_dir; // null: namespaces with a private /tmp
    sigset_t filter_mask;
    int messages; // write end of the pipe for the rasterizer's standard error
};

// The child, with only the job, its output, the message pipe and its status descriptor open:
// the namespaces, or the shell confined to its private directory.
[[noreturn]] void run_job_child(void *argument) {
    const Child_Setup &setup = *static_cast<const Child_Setup *>(argument);
    if (fcntl(CHILD_STATUS_FD, F_SETFD, FD_CLOEXEC) != 0) // not Ghostscript's to inherit
        fail_setup(Child_Status::SETUP_FAILED, "status descriptor");
    if (setup.private_dir == nullptr) run_in_namespaces(*setup.task);
    confine_and_run(*setup.task, setup.private_dir);
}

// Starts the child and waits for it, passing its messages on. Returns its wait status, or
// -1 when a signal ended the filter's wait; *said is what the child said before it could run
// the shell, or 0.
int run_child(const Child_Setup &setup, int signals, Message_Relay &relay, char *said) {
    *said = 0;
    int status_pipe[2];
    if (pipe2(status_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        *said = char(Child_Status::SETUP_FAILED);
        fprintf(stderr, "%s: %s\n", MESSAGE_CANNOT_START, strerror(errno));
        return -1;
    }
    const Child_Start start = {{STDIN_FILENO, STDOUT_FILENO, setup.messages, status_pipe[1]},
                               SIGKILL,
                               &setup.filter_mask,
                               false};
    const pid_t child = fork_child(start, run_job_child, const_cast<Child_Setup *>(&setup));
    close(status_pipe[1]);
    int status = -1;
    if (child < 0) {
        *said = char(Child_Status::SETUP_FAILED);
        fprintf(stderr, "%s: %s\n", MESSAGE_CANNOT_START, strerror(errno));
    } else {
        status = wait_or_end(child, signals, relay);
    }
    end_descendants();
    if (child >= 0 && read(status_pipe[0], said, 1) != 1) *said = 0;
    close(status_pipe[0]);
    return status;
}

[[noreturn]] void try_namespaces(void *) {
    exit_child(enter_namespaces() == nullptr ? 0 : errno != 0 ? errno : EPERM);
}

} // namespace

Confinement probe_confinement() {
    // Whether a child of this process may make the namespaces, and why not.
    int namespace_errno = 0;
    const Child_Start plain = {{0, 1, 2, 3}, 0, nullptr, false};
    const pid_t child = fork_child(plain, try_namespaces, nullptr);
    const int status = child < 0 ? -1 : wait_child(child);
    if (status == -1 || !WIFEXITED(status))
        namespace_errno = child < 0 ? errno : ECHILD;
    else
        namespace_errno = WEXITSTATUS(status);
    return {namespace_errno == 0, namespace_errno, landlock_abi(), seccomp_available()};
}

Raster_Result run_rasterizer(const char *command) {
    const Rasterizer_Task task = {command, nullptr, nullptr, false};
    return run_rasterizer_task(task, nullptr);
}

Raster_Result run_rasterizer_task(const Rasterizer_Task &task, int *exit_status) {
    if (!filter_config.confined) return run_unconfined(task, exit_status);
    if (exit_status != nullptr) *exit_status = -1;
    // A SIGCHLD ignored by the spooler would let the kernel reap the child before us.
    signal(SIGCHLD, SIG_DFL);
    sigset_t watched, filter_mask;
    sigemptyset(&watched);
    const int watched_signals[] = {SIGCHLD, SIGTERM, SIGINT, SIGHUP};
    for (int watched_signal : watched_signals)
        sigaddset(&watched, watched_signal);
    sigprocmask(SIG_BLOCK, &watched, &filter_mask);
    const int signals = signalfd(-1, &watched, SFD_CLOEXEC);
    int messages[2];
    if (signals < 0 || pipe2(messages, O_CLOEXEC) != 0) {
        fprintf(stderr, "%s: %s\n", MESSAGE_CANNOT_START, strerror(errno));
        return Raster_Result::RETRY;
    }
    prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    Message_Relay relay = {messages[0], 0, 0};
    Child_Setup setup = {&task, nullptr, filter_mask, messages[1]};

    char said;
    int status = run_child(setup, signals, relay, &said);
    char private_dir[PATH_MAX] = "";
    int private_dir_lock = -1;
    if (said == char(Child_Status::NAMESPACES_REFUSED)) { // the private directory of old
        private_dir_lock = make_private_dir(private_dir, sizeof private_dir);
        if (private_dir_lock < 0) {
            said = char(Child_Status::SETUP_FAILED);
            fprintf(stderr, "%s: %s\n", MESSAGE_NO_PRIVATE_DIR, strerror(errno));
        } else {
            setup.private_dir = private_dir;
            status = run_child(setup, signals, relay, &said);
        }
    }
    close(messages[1]);
    fcntl(messages[0], F_SETFL, O_NONBLOCK); // every writer has ended: what is left, then EOF
    while (relay.from >= 0 && relay_messages(relay)) {
    }
    if (relay.from >= 0) close(relay.from);
    close(signals);
    if (relay.dropped > 0)
        fprintf(stderr, "ravofilter: %llu bytes of Ghostscript's messages left out\n",
                (unsigned long long)relay.dropped);

    bool rasterized = said == 0 && status != -1 && exit_code_of(status) == 0;
    if (exit_status != nullptr && said == 0 && status != -1) *exit_status = exit_code_of(status);
    if (private_dir_lock >= 0) {
        const long left = remove_private_dir(private_dir);
        if (left < 0) {
            fprintf(stderr, "%s%s: %s\n", MESSAGE_CANNOT_REMOVE, private_dir, strerror(errno));
            rasterized = false;
        } else if (left > 0 && rasterized) {
            fprintf(stderr, "%s\n", MESSAGE_JOB_WROTE_FILES);
            rasterized = false;
        }
        close(private_dir_lock);
    }
    if (said == char(Child_Status::SETUP_FAILED)) return Raster_Result::RETRY;
    return rasterized ? Raster_Result::RASTERIZED : Raster_Result::JOB_FAILED;
}
