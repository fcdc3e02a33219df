// Runs the rasterizer with the least it needs. A print job is untrusted input from the
// network, and -dSAFER still lets a job read, list, write, rename and delete files in
// Ghostscript's temporary directory, and bounds nothing. So every job runs in user, mount
// and PID namespaces of its own, with a private tmpfs, bounded in size and files, over /tmp
// as its temporary directory (where the kernel refuses the namespaces: a private directory
// in $TMPDIR or /tmp instead). The shell that runs Ghostscript inherits only the job and its
// two outputs and a short list of environment variables, and starts with no new privileges,
// Landlock (reading only the system's directories, writing only its temporary directory, no
// TCP, no signals or abstract sockets beyond its own processes), a seccomp filter that
// refuses sockets, output files, io_uring and new namespaces, and limits on memory, CPU
// time and core files. Its messages reach the filter's standard error up to a bound.
#include "rasterizer.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

extern char **environ;

namespace {

// Landlock's kernel interface; the system headers know only its first versions.
struct Landlock_Ruleset_Attr {
    uint64_t handled_access_fs;
    uint64_t handled_access_net; // ABI 4
    uint64_t scoped;             // ABI 6
};
struct __attribute__((packed)) Landlock_Path_Beneath_Attr {
    uint64_t allowed_access;
    int32_t parent_fd;
};
const unsigned LANDLOCK_CREATE_RULESET_VERSION = 1;
const int LANDLOCK_RULE_PATH_BENEATH = 1;
const uint64_t FS_EXECUTE = 1 << 0, FS_WRITE_FILE = 1 << 1, FS_READ_FILE = 1 << 2,
               FS_READ_DIR = 1 << 3, FS_REMOVE_FILE = 1 << 5, FS_MAKE_REG = 1 << 8,
               FS_TRUNCATE = 1 << 14;
const uint64_t NET_BIND_TCP = 1 << 0, NET_CONNECT_TCP = 1 << 1;
const uint64_t SCOPE_ABSTRACT_UNIX_SOCKET = 1 << 0, SCOPE_SIGNAL = 1 << 1;

// Every filesystem right the ABI knows: 13 in ABI 1, then refer (2), truncate (3), device
// ioctl (5). A right that is handled and not granted is denied.
uint64_t handled_fs_rights(int abi) {
    int rights = abi >= 5 ? 16 : abi >= 3 ? 15 : abi == 2 ? 14 : 13;
    return (uint64_t(1) << rights) - 1;
}

int landlock_abi() {
    long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return abi > 0 ? int(abi) : 0; // ENOSYS, EOPNOTSUPP: no Landlock
}

// A path-beneath rule on what fd is open on. Rules on a file rather than a directory take
// only the rights that apply to files.
bool allow_open_file(int ruleset, int fd, uint64_t rights) {
    struct stat target;
    if (fstat(fd, &target) == 0 && !S_ISDIR(target.st_mode))
        rights &= FS_EXECUTE | FS_WRITE_FILE | FS_READ_FILE | FS_TRUNCATE;
    Landlock_Path_Beneath_Attr rule = {rights, fd};
    return syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
}

// A path-beneath rule; a path that does not exist, or that this user may not open, gets none.
bool allow_beneath(int ruleset, const char *path, uint64_t rights) {
    const int fd = open(path, O_PATH | O_CLOEXEC);
    if (fd < 0) return true;
    const bool added = allow_open_file(ruleset, fd, rights);
    close(fd);
    return added;
}

// Each absolute directory of a colon-separated list, such as PATH.
bool allow_listed(int ruleset, const char *list, uint64_t rights) {
    for (const char *entry = list; entry != nullptr && *entry != '\0';) {
        const size_t length = strcspn(entry, ":");
        char dir[PATH_MAX];
        if (entry[0] == '/' && length < sizeof dir) {
            memcpy(dir, entry, length);
            dir[length] = '\0';
            if (!allow_beneath(ruleset, dir, rights)) return false;
        }
        entry += length + (entry[length] == ':' ? 1 : 0);
    }
    return true;
}

// Where Ghostscript and the shell read, as strace shows them: their programs and libraries,
// Ghostscript's resources and fonts, /etc (paper size, time zone, the loader's cache).
const char *const READABLE_TREES[] = {
    "/usr",
    "/etc",
    "/lib",
    "/lib32",
    "/lib64",
    "/libx32",
    "/bin",
    "/sbin",
    "/opt",
    "/var/lib/ghostscript",
    "/var/cache/fontconfig",
    "/dev/null",
    "/dev/urandom",
};

// Reading and executing only beneath the system's directories, PATH and Ghostscript's own
// search paths; creating, writing, truncating and removing files only in the temporary
// directory, and nothing else (no directories, links, devices, renames across directories)
// anywhere. Spool directories, other jobs' files, homes, /run and /var/log stay unreadable;
// the job itself may be read by name (/dev/stdin) only when the task asks for it.
bool apply_landlock(const char *tmpdir, bool job_by_name) {
    const int abi = landlock_abi();
    if (abi == 0) return true;
    Landlock_Ruleset_Attr handled = {handled_fs_rights(abi),
                                     abi >= 4 ? NET_BIND_TCP | NET_CONNECT_TCP : 0,
                                     abi >= 6 ? SCOPE_ABSTRACT_UNIX_SOCKET | SCOPE_SIGNAL : 0};
    const int ruleset = int(syscall(SYS_landlock_create_ruleset, &handled, sizeof handled, 0));
    if (ruleset < 0) return false;
    const uint64_t read = FS_EXECUTE | FS_READ_FILE | FS_READ_DIR;
    const uint64_t write =
        FS_WRITE_FILE | FS_MAKE_REG | FS_REMOVE_FILE | (abi >= 3 ? FS_TRUNCATE : 0);
    bool applied = allow_beneath(ruleset, tmpdir, read | write) &&
                   (!job_by_name || allow_open_file(ruleset, STDIN_FILENO, FS_READ_FILE));
    for (const char *tree : READABLE_TREES)
        applied = applied && allow_beneath(ruleset, tree, read);
    applied = applied && allow_listed(ruleset, getenv("PATH"), read) &&
              allow_listed(ruleset, getenv("GS_LIB"), read) &&
              allow_listed(ruleset, getenv("GS_FONTPATH"), read) &&
              syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
    close(ruleset);
    return applied;
}

#if defined(__x86_64__) || defined(__aarch64__)
#define RAVOFILTER_SECCOMP 1
#ifdef __x86_64__
const uint32_t FILTERED_ARCH = AUDIT_ARCH_X86_64;
const uint32_t FOREIGN_NR = __X32_SYSCALL_BIT; // x32; i386 calls fail the arch check
#else
const uint32_t FILTERED_ARCH = AUDIT_ARCH_AARCH64;
#endif

// A seccomp program written rule by rule: each rule tests the system call number and jumps
// only over itself, so each reads on its own.
struct Bpf_Program {
    sock_filter code[64];
    unsigned short length;
};

void emit(Bpf_Program &program, sock_filter instruction) {
    if (program.length < sizeof program.code / sizeof program.code[0])
        program.code[program.length++] = instruction;
}

const uint32_t LOAD_NR = BPF_LD | BPF_W | BPF_ABS;

sock_filter refusal(int error) {
    return BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | uint32_t(error));
}

void refuse(Bpf_Program &program, uint32_t nr, int error) {
    emit(program, BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, 1));
    emit(program, refusal(error));
}

// Refuses the call when an argument has one of the flags; the number is loaded again after.
void refuse_with_flags(Bpf_Program &program, uint32_t nr, int argument, uint32_t flags, int error) {
    const uint32_t ARG_LOW_WORD = 0; // little-endian: the low 32 bits of an argument come first
    emit(program, BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, 4));
    const uint32_t offset = uint32_t(offsetof(seccomp_data, args) + argument * sizeof(uint64_t));
    emit(program, BPF_STMT(LOAD_NR, offset + ARG_LOW_WORD));
    emit(program, BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, flags, 0, 1));
    emit(program, refusal(error));
    emit(program, BPF_STMT(LOAD_NR, offsetof(seccomp_data, nr)));
}
#endif

const uint32_t NAMESPACE_FLAGS = CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS | CLONE_NEWIPC |
                                 CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET;

// Sockets of any kind fail with EPERM, and so does every call in another architecture's
// numbering (i386 or x32 on x86_64), which this filter does not know. An open that truncates
// fails with EACCES: Ghostscript opens every output file that way (an /OutputFile, a file
// opened with (w)), while it makes its own temporary files exclusively, as new files.
// openat2, whose flags a filter cannot see, answers ENOSYS, so the C library uses openat;
// so does clone3, whose flags it cannot see either, for clone. io_uring, which would do all
// of this behind the filter's back, and new namespaces, mounts and setns fail with EPERM.
bool apply_seccomp() {
#ifdef RAVOFILTER_SECCOMP
    uint32_t errno_action = SECCOMP_RET_ERRNO;
    if (syscall(SYS_seccomp, SECCOMP_GET_ACTION_AVAIL, 0, &errno_action) != 0)
        return errno == ENOSYS || errno == EINVAL; // a kernel without seccomp filters
    Bpf_Program program = {};
    emit(program, BPF_STMT(LOAD_NR, offsetof(seccomp_data, arch)));
    emit(program, BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, FILTERED_ARCH, 1, 0));
    emit(program, refusal(EPERM));
    emit(program, BPF_STMT(LOAD_NR, offsetof(seccomp_data, nr)));
#ifdef __x86_64__
    emit(program, BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, FOREIGN_NR, 0, 1));
    emit(program, refusal(EPERM));
    refuse(program, __NR_creat, EACCES);
    refuse_with_flags(program, __NR_open, 1, O_TRUNC, EACCES);
#endif
    refuse(program, __NR_socket, EPERM);
    refuse(program, __NR_socketpair, EPERM);
    refuse_with_flags(program, __NR_openat, 2, O_TRUNC, EACCES);
    refuse(program, __NR_openat2, ENOSYS);
    refuse(program, __NR_io_uring_setup, EPERM);
    refuse(program, __NR_io_uring_enter, EPERM);
    refuse(program, __NR_io_uring_register, EPERM);
    refuse(program, __NR_unshare, EPERM);
    refuse(program, __NR_setns, EPERM);
    refuse(program, __NR_mount, EPERM);
    refuse_with_flags(program, __NR_clone, 0, NAMESPACE_FLAGS, EPERM);
    refuse(program, __NR_clone3, ENOSYS);
    emit(program, BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    sock_fprog filter = {program.length, program.code};
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
#else
    return true;
#endif
}

// Lowers soft and hard limit to the limit, or keeps a lower one the spooler already set.
bool lower_limit(int resource, uint64_t limit) {
    rlimit current;
    if (getrlimit(resource, &current) != 0) return false;
    const rlim_t lowered = current.rlim_cur < limit ? current.rlim_cur : rlim_t(limit);
    const rlimit wanted = {lowered, lowered};
    return setrlimit(resource, &wanted) == 0;
}

// Every descriptor above `keep`. Without close_range, as many as the limit allows.
void close_descriptors_above(int keep) {
    if (syscall(SYS_close_range, keep + 1, ~0U, 0) == 0) return;
    rlimit files = {1024, 1024};
    getrlimit(RLIMIT_NOFILE, &files);
    const int last = files.rlim_cur < 65536 ? int(files.rlim_cur) : 65536;
    for (int fd = keep + 1; fd < last; ++fd)
        close(fd);
}

// The variables the shell and Ghostscript get: the locale, the time zone, where to find
// programs and Ghostscript's resources, and their temporary directory. Nothing else of the
// spooler's environment (DEVICE_URI with its password, AUTH_*, ...) reaches them.
const char *const KEPT_VARIABLES[] = {"PATH=", "LANG=", "LC_", "TZ=", "GS_LIB=", "GS_FONTPATH="};
const size_t ENVIRONMENT_SIZE = 64;

void build_environment(const char *tmpdir, const char *(&variables)[ENVIRONMENT_SIZE],
                       char (&tmpdir_variable)[PATH_MAX + 8]) {
    size_t count = 0;
    snprintf(tmpdir_variable, sizeof tmpdir_variable, "TMPDIR=%s", tmpdir);
    variables[count++] = tmpdir_variable;
    for (char **variable = environ; *variable != nullptr; ++variable)
        for (const char *kept : KEPT_VARIABLES)
            if (strncmp(*variable, kept, strlen(kept)) == 0 && count < ENVIRONMENT_SIZE - 1) {
                variables[count++] = *variable;
                break;
            }
    variables[count] = nullptr;
}

// Files left in the job's temporary space, in namespaces or in the private directory.
const char JOB_WROTE_FILES[] =
    "ravofilter: the job wrote files of its own instead of printing its pages\n";

// How the child tells the filter, on the descriptor CHILD_STATUS_FD, why no shell started.
const int CHILD_STATUS_FD = 3;
const char NAMESPACES_REFUSED = 'N'; // the kernel or its policy refuses them: fall back
const char SETUP_FAILED = 'R';       // the filter's own resources failed: retry the job

[[noreturn]] void fail_setup(char outcome, const char *step) {
    if (outcome == SETUP_FAILED)
        fprintf(stderr, "ravofilter: cannot start the rasterizer: %s: %s\n", step, strerror(errno));
    if (write(CHILD_STATUS_FD, &outcome, 1) < 0) _exit(127);
    _exit(127);
}

// The longest argument the kernel passes to a program (MAX_ARG_STRLEN).
const size_t MAX_ARGUMENT_BYTES = 32 * 4096;

// The shell, or the task's function, confined. Every layer the kernel offers must apply; one
// that fails stops the job rather than run it unconfined. The shell is told to exec
// Ghostscript, so that no fork of the shell's can fail once the job is under way.
[[noreturn]] void confine_and_run(const Rasterizer_Task &task, const char *tmpdir) {
    static char command[MAX_ARGUMENT_BYTES];
    if (task.command != nullptr &&
        size_t(snprintf(command, sizeof command, "exec %s", task.command)) >= sizeof command) {
        errno = E2BIG;
        fail_setup(SETUP_FAILED, "/bin/sh");
    }
    const char *variables[ENVIRONMENT_SIZE];
    char tmpdir_variable[PATH_MAX + 8];
    build_environment(tmpdir, variables, tmpdir_variable);
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) fail_setup(SETUP_FAILED, "no new privileges");
    if (!apply_landlock(tmpdir, task.job_by_name)) fail_setup(SETUP_FAILED, "Landlock");
    if (!apply_seccomp()) fail_setup(SETUP_FAILED, "seccomp");
    if (!lower_limit(RLIMIT_CORE, 0) ||
        !lower_limit(RLIMIT_CPU, filter_config.limits.cpu_seconds) ||
        !lower_limit(RLIMIT_AS, filter_config.limits.address_space))
        fail_setup(SETUP_FAILED, "resource limits");
    if (task.command == nullptr) {
        close(CHILD_STATUS_FD); // the task has started: no set-up failure is left to tell
        _exit(task.function(task.argument));
    }
    const char *const arguments[] = {"sh", "-c", command, nullptr};
    execve("/bin/sh", const_cast<char *const *>(arguments), const_cast<char *const *>(variables));
    fail_setup(SETUP_FAILED, "/bin/sh");
}

bool write_text(const char *path, const char *text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    const bool written = fd >= 0 && write(fd, text, strlen(text)) == ssize_t(strlen(text));
    if (fd >= 0) close(fd);
    return written;
}

// A refusal by the kernel or its policy, as opposed to a failure of resources. A limit of
// no user namespaces at all (user.max_user_namespaces = 0) is a policy; a limit reached is
// not, and the job is tried again.
bool refused(int error) {
    if (error == ENOSPC || error == EUSERS) {
        char limit[4] = "";
        const int fd = open("/proc/sys/user/max_user_namespaces", O_RDONLY | O_CLOEXEC);
        const ssize_t got = fd < 0 ? -1 : read(fd, limit, sizeof limit - 1);
        if (fd >= 0) close(fd);
        return got > 0 && limit[0] == '0' && (limit[1] == '\n' || limit[1] == '\0');
    }
    return error == EPERM || error == EACCES || error == EINVAL || error == ENOSYS;
}

// New user and mount namespaces, the user mapped to itself, with a tmpfs of the job's own
// over /tmp; then a PID namespace for the shell. The step that failed, or null.
const char *enter_namespaces() {
    char map[64];
    const unsigned uid = geteuid(), gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return "user and mount namespaces";
    snprintf(map, sizeof map, "%u %u 1\n", uid, uid);
    if (!write_text("/proc/self/uid_map", map)) return "user map";
    if (!write_text("/proc/self/setgroups", "deny")) return "groups";
    snprintf(map, sizeof map, "%u %u 1\n", gid, gid);
    if (!write_text("/proc/self/gid_map", map)) return "group map";
    if (mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0) return "private mounts";
    char options[96];
    snprintf(options, sizeof options, "size=%llu,nr_inodes=%llu,mode=0700",
             (unsigned long long)filter_config.limits.tmpfs_size,
             (unsigned long long)filter_config.limits.tmpfs_files);
    if (mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, options) != 0)
        return "a private /tmp";
    if (unshare(CLONE_NEWPID) != 0) return "PID namespace";
    return nullptr;
}

long empty_directory(int dir, int depth);

// The child's wait status, as an exit status: 128 + the signal that killed it.
int exit_code_of(int wait_status) {
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

int wait_for(pid_t child) {
    int status;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) fail_setup(SETUP_FAILED, "wait");
    return status;
}

// The first process of the job's PID namespace: it starts the shell or the task's function
// and waits for it. When it ends, or its parent is killed, every process of the job ends.
[[noreturn]] void run_first_process(const Rasterizer_Task &task) {
    // its parent is outside its PID namespace, where it cannot look
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) fail_setup(SETUP_FAILED, "die with parent");
    const pid_t job = fork();
    if (job < 0) fail_setup(SETUP_FAILED, "fork");
    if (job == 0) confine_and_run(task, "/tmp");
    _exit(exit_code_of(wait_for(job)));
}

// In namespaces: this process sets them up and waits for the first process of the new PID
// namespace, which runs the job. Files left in the private /tmp mean the job wrote pages of
// its own.
[[noreturn]] void run_in_namespaces(const Rasterizer_Task &task) {
    if (const char *step = enter_namespaces()) {
        const int error = errno;
        const char outcome = refused(error) ? NAMESPACES_REFUSED : SETUP_FAILED;
        errno = error;
        fail_setup(outcome, step);
    }
    const pid_t first = fork();
    if (first < 0) fail_setup(SETUP_FAILED, "fork");
    if (first == 0) run_first_process(task);
    const int status = wait_for(first);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) { // pages, unless it left files
        const int tmp = open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (tmp < 0) fail_setup(SETUP_FAILED, "the private /tmp");
        if (empty_directory(tmp, 8) != 0) {
            fputs(JOB_WROTE_FILES, stderr);
            _exit(2);
        }
    }
    _exit(exit_code_of(status));
}

struct Child_Setup {
    const Rasterizer_Task *task;
    const char *private_dir; // null: namespaces with a private /tmp
    pid_t filter;
    sigset_t filter_mask;
    int messages; // write end of the pipe for the rasterizer's standard error
    int status;   // write end of the child's status pipe
};

// The child: only the job, its output and the message pipe stay open; then either the
// namespaces, or the shell confined to its private directory. There Ghostscript, which the
// shell execs, dies with the filter itself (PR_SET_PDEATHSIG).
[[noreturn]] void start_child(const Child_Setup &setup) {
    sigprocmask(SIG_SETMASK, &setup.filter_mask, nullptr);
    if (setup.status != CHILD_STATUS_FD && dup3(setup.status, CHILD_STATUS_FD, O_CLOEXEC) < 0) {
        const char outcome = SETUP_FAILED; // told on the pipe where it still is
        if (write(setup.status, &outcome, 1) < 0) _exit(127);
        _exit(127);
    }
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != setup.filter)
        fail_setup(SETUP_FAILED, "die with the filter");
    if (dup2(setup.messages, STDERR_FILENO) < 0) fail_setup(SETUP_FAILED, "message pipe");
    close_descriptors_above(CHILD_STATUS_FD);
    if (setup.private_dir == nullptr) run_in_namespaces(*setup.task);
    confine_and_run(*setup.task, setup.private_dir);
}

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
int wait_for_child(pid_t child, int signals, Message_Relay &relay) {
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
// descendants: Debian's sh forks Ghostscript rather than exec it, and when the shell dies,
// Ghostscript becomes the filter's child and is found here.
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
            while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
    while (waitpid(-1, nullptr, WNOHANG) > 0) { // no /proc: reap what has ended
    }
}

// Removes everything in the directory without following symbolic links; subdirectories
// down to the depth. Returns the number of entries removed, or -1.
long empty_directory(int dir, int depth) {
    long removed = 0;
    for (bool found = true; found;) {
        char entries[2048];
        lseek(dir, 0, SEEK_SET);
        const ssize_t got = getdents64(dir, entries, sizeof entries);
        if (got < 0) return -1;
        found = false;
        for (ssize_t at = 0; at < got;) {
            const dirent64 *entry = reinterpret_cast<const dirent64 *>(entries + at);
            at += entry->d_reclen;
            if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
            found = true;
            if (unlinkat(dir, entry->d_name, 0) == 0) {
                ++removed;
                continue;
            }
            if (errno != EISDIR || depth == 0) return -1;
            const int subdir =
                openat(dir, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            const long inside = subdir < 0 ? -1 : empty_directory(subdir, depth - 1);
            if (subdir >= 0) close(subdir);
            if (inside < 0 || unlinkat(dir, entry->d_name, AT_REMOVEDIR) != 0) return -1;
            removed += inside + 1;
        }
    }
    return removed;
}

long remove_private_dir(const char *path) {
    const int dir = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const long removed = dir < 0 ? -1 : empty_directory(dir, 8);
    if (dir >= 0) close(dir);
    return removed < 0 || rmdir(path) != 0 ? -1 : removed;
}

const char PRIVATE_DIR_PREFIX[] = "ravofilter.";
const size_t PRIVATE_DIR_NAME_LENGTH = sizeof PRIVATE_DIR_PREFIX - 1 + 6; // and six of mkdtemp
// A filter killed outright cannot remove its private directory. Each filter holds a lock
// on its own while it runs, so one of this user's that no one holds and that is older than
// the configured age (a new one is locked at once) is stale: the next job removes it.
void remove_stale_dirs(const char *parent) {
    const int dir = open(parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    char entries[4096];
    ssize_t got;
    while ((got = getdents64(dir, entries, sizeof entries)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const dirent64 *entry = reinterpret_cast<const dirent64 *>(entries + at);
            at += entry->d_reclen;
            struct stat found;
            if (strncmp(entry->d_name, PRIVATE_DIR_PREFIX, sizeof PRIVATE_DIR_PREFIX - 1) != 0 ||
                strlen(entry->d_name) != PRIVATE_DIR_NAME_LENGTH ||
                fstatat(dir, entry->d_name, &found, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISDIR(found.st_mode) || found.st_uid != geteuid() ||
                time(nullptr) - found.st_ctime < filter_config.limits.stale_dir_seconds)
                continue;
            const int stale =
                openat(dir, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (stale < 0) continue;
            if (flock(stale, LOCK_EX | LOCK_NB) == 0 && empty_directory(stale, 8) >= 0)
                unlinkat(dir, entry->d_name, AT_REMOVEDIR);
            close(stale);
        }
    }
    close(dir);
}

// The job's private directory, mode 0700 and locked, in $TMPDIR when that names an absolute
// path (CUPS sets one), else in /tmp. Returns the locked descriptor, or -1.
int make_private_dir(char *path, size_t size) {
    const char *const parents[] = {getenv("TMPDIR"), "/tmp"};
    for (const char *parent : parents) {
        if (parent == nullptr || parent[0] != '/') continue;
        remove_stale_dirs(parent);
        const int length = snprintf(path, size, "%s/%sXXXXXX", parent, PRIVATE_DIR_PREFIX);
        if (length <= 0 || size_t(length) >= size || mkdtemp(path) == nullptr) continue;
        const int dir = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (dir >= 0 && flock(dir, LOCK_EX) == 0) return dir;
        if (dir >= 0) close(dir);
        rmdir(path);
    }
    return -1;
}

} // namespace

Confinement probe_confinement() {
    uint32_t action = SECCOMP_RET_ERRNO;
    bool seccomp = syscall(SYS_seccomp, SECCOMP_GET_ACTION_AVAIL, 0, &action) == 0;
#ifndef RAVOFILTER_SECCOMP
    seccomp = false;
#endif
    // Whether a child of this process may make the namespaces, and why not.
    int namespace_errno = 0;
    const pid_t child = fork();
    if (child == 0) _exit(enter_namespaces() == nullptr ? 0 : errno != 0 ? errno : EPERM);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
        namespace_errno = child < 0 ? errno : ECHILD;
    else
        namespace_errno = WEXITSTATUS(status);
    return {namespace_errno == 0, namespace_errno, landlock_abi(), seccomp};
}

namespace {

// Starts the child and waits for it, passing its messages on. Returns its wait status, or
// -1 when a signal ended the filter's wait; *outcome is what the child said before it
// could run the shell, or 0.
int run_child(const Child_Setup &setup, int signals, Message_Relay &relay, char *outcome) {
    int status_pipe[2];
    *outcome = 0;
    if (pipe2(status_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        *outcome = SETUP_FAILED;
        fprintf(stderr, "ravofilter: cannot start the rasterizer: %s\n", strerror(errno));
        return -1;
    }
    Child_Setup with_status = setup;
    with_status.status = status_pipe[1];
    const pid_t child = fork();
    if (child == 0) start_child(with_status);
    close(status_pipe[1]);
    int status = -1;
    if (child < 0) {
        *outcome = SETUP_FAILED;
        fprintf(stderr, "ravofilter: cannot start the rasterizer: %s\n", strerror(errno));
    } else {
        status = wait_for_child(child, signals, relay);
    }
    end_descendants();
    if (child >= 0 && read(status_pipe[0], outcome, 1) != 1) *outcome = 0;
    close(status_pipe[0]);
    return status;
}

} // namespace

Raster_Result run_rasterizer(const char *command) {
    const Rasterizer_Task task = {command, nullptr, nullptr, false};
    return run_rasterizer_task(task, nullptr);
}

Raster_Result run_rasterizer_task(const Rasterizer_Task &task, int *exit_status) {
    if (exit_status != nullptr) *exit_status = -1;
    if (!filter_config.confined) return run_unconfined(task, exit_status);
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
        fprintf(stderr, "ravofilter: cannot start the rasterizer: %s\n", strerror(errno));
        return Raster_Result::RETRY;
    }
    prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    Message_Relay relay = {messages[0], 0, 0};
    Child_Setup setup = {&task, nullptr, getpid(), filter_mask, messages[1], -1};

    char outcome;
    int status = run_child(setup, signals, relay, &outcome);
    char private_dir[PATH_MAX] = "";
    int private_dir_lock = -1;
    if (outcome == NAMESPACES_REFUSED) { // the private directory of old instead
        private_dir_lock = make_private_dir(private_dir, sizeof private_dir);
        if (private_dir_lock < 0) {
            outcome = SETUP_FAILED;
            fprintf(stderr, "ravofilter: cannot make a private directory: %s\n", strerror(errno));
        } else {
            setup.private_dir = private_dir;
            status = run_child(setup, signals, relay, &outcome);
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

    bool rasterized = outcome == 0 && status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (exit_status != nullptr && outcome == 0 && status != -1)
        *exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (private_dir_lock >= 0) {
        const long left = remove_private_dir(private_dir);
        if (left < 0) {
            fprintf(stderr, "ravofilter: cannot remove %s: %s\n", private_dir, strerror(errno));
            rasterized = false;
        } else if (left > 0 && rasterized) {
            fputs(JOB_WROTE_FILES, stderr);
            rasterized = false;
        }
        close(private_dir_lock);
    }
    if (outcome == SETUP_FAILED) return Raster_Result::RETRY;
    return rasterized ? Raster_Result::RASTERIZED : Raster_Result::JOB_FAILED;
}
