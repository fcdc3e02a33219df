// Runs the rasterizer with the least it needs. A print job is untrusted input from the
// network, and -dSAFER still lets a job read, list, write, rename and delete files in
// Ghostscript's temporary directory: $TMPDIR, or /tmp when the spooler sets none. So every
// job gets a private temporary directory, removed afterwards, and the shell that runs
// Ghostscript starts with no new privileges, Landlock (writes only inside that directory, no
// TCP, no signals or abstract sockets beyond its own processes), a seccomp filter that
// refuses sockets and output files, and limits on memory, CPU time and core files.
#include "rasterizer.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
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

bool allow_beneath(int ruleset, const char *path, uint64_t rights) {
    int fd = open(path, O_PATH | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    Landlock_Path_Beneath_Attr rule = {rights, fd};
    bool added = syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
    close(fd);
    return added;
}

// Reading and executing stay with -dSAFER and the file permissions, so fonts and resources
// load wherever the distribution keeps them; creating, writing, truncating and removing
// files happens only in the private directory, and nothing else (no directories, links,
// devices, renames across directories) anywhere.
bool apply_landlock(const char *private_dir) {
    const int abi = landlock_abi();
    if (abi == 0) return true;
    Landlock_Ruleset_Attr handled = {handled_fs_rights(abi),
                                     abi >= 4 ? NET_BIND_TCP | NET_CONNECT_TCP : 0,
                                     abi >= 6 ? SCOPE_ABSTRACT_UNIX_SOCKET | SCOPE_SIGNAL : 0};
    int ruleset = int(syscall(SYS_landlock_create_ruleset, &handled, sizeof handled, 0));
    if (ruleset < 0) return false;
    const uint64_t read = FS_EXECUTE | FS_READ_FILE | FS_READ_DIR;
    const uint64_t write =
        FS_WRITE_FILE | FS_MAKE_REG | FS_REMOVE_FILE | (abi >= 3 ? FS_TRUNCATE : 0);
    bool applied = allow_beneath(ruleset, "/", read) &&
                   allow_beneath(ruleset, private_dir, read | write) &&
                   syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
    close(ruleset);
    return applied;
}

#if defined(__x86_64__) || defined(__aarch64__)
#define RAVOFILTER_SECCOMP 1
#ifdef __x86_64__
const uint32_t FILTERED_ARCH = AUDIT_ARCH_X86_64;
const uint32_t NR_OPEN = __NR_open, NR_CREAT = __NR_creat, FOREIGN_NR = __X32_SYSCALL_BIT;
#else // aarch64 has neither open nor creat, and no second numbering
const uint32_t FILTERED_ARCH = AUDIT_ARCH_AARCH64;
const uint32_t NR_OPEN = UINT32_MAX, NR_CREAT = UINT32_MAX, FOREIGN_NR = UINT32_MAX;
#endif
#endif

// socket and socketpair fail with EPERM, and so does every call in another architecture's
// numbering (i386 or x32 on x86_64), which this filter does not know. An open that truncates
// fails with EACCES: Ghostscript opens every output file that way (an /OutputFile, a file
// opened with (w)), while it makes its own temporary files exclusively, as new files.
// openat2, whose flags a filter cannot see, answers ENOSYS, so the C library uses openat.
bool apply_seccomp() {
#ifdef RAVOFILTER_SECCOMP
    const uint32_t ARG_LOW_WORD = 0; // little-endian: the low 32 bits of an argument come first
    sock_filter program[] = {
        /* 0 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        /* 1 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, FILTERED_ARCH, 1, 0),
        /* 2 */ BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        /* 3 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        /* 4 */ BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, FOREIGN_NR, 13, 0),      // to 18
        /* 5 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 12, 0),     // to 18
        /* 6 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socketpair, 11, 0), // to 18
        /* 7 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, NR_CREAT, 9, 0),         // to 17
        /* 8 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat2, 10, 0),    // to 19
        /* 9 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, NR_OPEN, 2, 0),          // to 12
        /* 10 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 3, 0),     // to 14
        /* 11 */ BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        /* 12 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1]) + ARG_LOW_WORD),
        /* 13 */ BPF_STMT(BPF_JMP | BPF_JA, 1), // to 15
        /* 14 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2]) + ARG_LOW_WORD),
        /* 15 */ BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_TRUNC, 1, 0), // to 17
        /* 16 */ BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        /* 17 */ BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EACCES),
        /* 18 */ BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        /* 19 */ BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
    };
    sock_fprog filter = {sizeof program / sizeof program[0], program};
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0) return true;
    return errno == EINVAL; // a kernel without seccomp filters
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

// The child: confines itself, then runs the command as system() would. Every layer the
// kernel offers must apply; one that fails stops the job rather than run it unconfined.
[[noreturn]] void start_shell(const char *command, const char *private_dir, pid_t filter,
                              const sigset_t &filter_mask) {
    sigprocmask(SIG_SETMASK, &filter_mask, nullptr);
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != filter) _exit(127);
    const char *failed = nullptr;
    if (setenv("TMPDIR", private_dir, 1) != 0)
        failed = "TMPDIR";
    else if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        failed = "no new privileges";
    else if (!apply_landlock(private_dir))
        failed = "Landlock";
    else if (!apply_seccomp())
        failed = "seccomp";
    else if (!lower_limit(RLIMIT_CORE, 0) || !lower_limit(RLIMIT_CPU, RASTERIZER_CPU_SECONDS) ||
             !lower_limit(RLIMIT_AS, RASTERIZER_ADDRESS_SPACE))
        failed = "resource limits";
    if (failed == nullptr) {
        execl("/bin/sh", "sh", "-c", command, nullptr);
        failed = "/bin/sh";
    }
    fprintf(stderr, "ravofilter: cannot start the rasterizer: %s: %s\n", failed, strerror(errno));
    _exit(127);
}

// Waits for the shell, or for a signal that ends the filter. Returns the shell's wait
// status, or -1 when SIGTERM, SIGINT or SIGHUP came first.
int wait_for_shell(pid_t shell, const sigset_t &watched) {
    for (;;) {
        const int received = sigwaitinfo(&watched, nullptr);
        if (received == SIGCHLD) {
            int status;
            const pid_t ended = waitpid(shell, &status, WNOHANG);
            if (ended == shell) return status;
            if (ended < 0 && errno != EINTR) return -1;
        } else if (received > 0) {
            return -1;
        }
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

// The job's private directory, mode 0700, in $TMPDIR when that names an absolute path (CUPS
// sets one), else in /tmp.
bool make_private_dir(char *path, size_t size) {
    const char *const parents[] = {getenv("TMPDIR"), "/tmp"};
    for (const char *parent : parents) {
        if (parent == nullptr || parent[0] != '/') continue;
        const int length = snprintf(path, size, "%s/ravofilter.XXXXXX", parent);
        if (length > 0 && size_t(length) < size && mkdtemp(path) != nullptr) return true;
    }
    return false;
}

} // namespace

Confinement probe_confinement() {
    uint32_t action = SECCOMP_RET_ERRNO;
    bool seccomp = syscall(SYS_seccomp, SECCOMP_GET_ACTION_AVAIL, 0, &action) == 0;
#ifndef RAVOFILTER_SECCOMP
    seccomp = false;
#endif
    return {landlock_abi(), seccomp};
}

bool run_rasterizer(const char *command) {
#ifdef RAVOFILTER_UNCONFINED // the benchmarks' baseline: the rasterizer run as before
    const int plain_status = system(command);
    return plain_status != -1 && WIFEXITED(plain_status) && WEXITSTATUS(plain_status) == 0;
#endif
    // A SIGCHLD ignored by the spooler would let the kernel reap the shell before us.
    signal(SIGCHLD, SIG_DFL);
    sigset_t watched, filter_mask;
    sigemptyset(&watched);
    const int watched_signals[] = {SIGCHLD, SIGTERM, SIGINT, SIGHUP};
    for (int watched_signal : watched_signals)
        sigaddset(&watched, watched_signal);
    sigprocmask(SIG_BLOCK, &watched, &filter_mask);

    char private_dir[PATH_MAX];
    if (!make_private_dir(private_dir, sizeof private_dir)) {
        fprintf(stderr, "ravofilter: cannot make a private directory: %s\n", strerror(errno));
        return false;
    }
    prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    const pid_t filter = getpid();
    const pid_t shell = fork();
    if (shell == 0) start_shell(command, private_dir, filter, filter_mask);
    if (shell < 0)
        fprintf(stderr, "ravofilter: cannot start the rasterizer: %s\n", strerror(errno));
    const int status = shell < 0 ? -1 : wait_for_shell(shell, watched);
    end_descendants();

    const bool rasterized = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const long left = remove_private_dir(private_dir);
    if (left < 0)
        fprintf(stderr, "ravofilter: cannot remove %s: %s\n", private_dir, strerror(errno));
    else if (left > 0 && rasterized)
        fputs("ravofilter: the job wrote files of its own instead of printing its pages\n", stderr);
    return rasterized && left == 0;
}
