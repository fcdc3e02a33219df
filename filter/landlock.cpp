// Landlock for the rasterizer's processes: reading and executing only beneath the system's
// directories, PATH and Ghostscript's own search paths; creating, writing, truncating and
// removing files only in the temporary directory, and nothing else (no directories, links,
// devices, renames across directories) anywhere; no TCP; no signals or abstract sockets
// beyond its own processes. Spool directories, other jobs' files, homes, /run and /var/log
// stay unreadable; the job itself may be read by name (/dev/stdin) only when the task asks.
#include "confinement.h"
#include "coverage.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// The kernel's names for the rights of later ABIs than the system headers know.
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14) // ABI 3
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15) // ABI 5
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0) // ABI 4
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0) // ABI 6
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif

namespace {

// struct landlock_ruleset_attr as ABI 6 knows it; older kernels take its first fields.
struct Ruleset_Attr {
    uint64_t handled_access_fs;
    uint64_t handled_access_net;
    uint64_t scoped;
};

const uint64_t READ =
    LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
const uint64_t WRITE = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_MAKE_REG |
                       LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_TRUNCATE;
const uint64_t FILE_RIGHTS = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                             LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_TRUNCATE;

// Every right this ABI knows is handled: a right that is handled and not granted is denied.
Ruleset_Attr handled_by(int abi) {
    Ruleset_Attr handled = {(LANDLOCK_ACCESS_FS_IOCTL_DEV << 1) - 1, // every filesystem right
                            LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP,
                            LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL};
    switch (abi) {
    case 1:
        handled.handled_access_fs &= ~LANDLOCK_ACCESS_FS_REFER;
        [[fallthrough]];
    case 2:
        handled.handled_access_fs &= ~LANDLOCK_ACCESS_FS_TRUNCATE;
        [[fallthrough]];
    case 3:
        handled.handled_access_net = 0;
        [[fallthrough]];
    case 4:
        handled.handled_access_fs &= ~LANDLOCK_ACCESS_FS_IOCTL_DEV;
        [[fallthrough]];
    case 5:
        handled.scoped = 0;
        break;
    default: // 6 and later: what this filter knows
        break;
    }
    return handled;
}

// A path-beneath rule on what fd is open on, of the rights the ruleset handles. Rules on a
// file rather than a directory take only the rights that apply to files.
bool allow_open_file(int ruleset, int fd, uint64_t rights, uint64_t handled) {
    struct stat target;
    if (fstat(fd, &target) == 0 && !S_ISDIR(target.st_mode)) rights &= FILE_RIGHTS;
    landlock_path_beneath_attr rule = {rights & handled, fd};
    return syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
}

// A path-beneath rule; a path that does not exist, or that this user may not open, gets none.
bool allow_beneath(int ruleset, const char *path, uint64_t rights, uint64_t handled) {
    const int fd = open(path, O_PATH | O_CLOEXEC);
    if (fd < 0) return true;
    const bool added = allow_open_file(ruleset, fd, rights, handled);
    close(fd);
    return added;
}

// Each absolute directory of a colon-separated list, such as PATH.
bool allow_listed(int ruleset, const char *list, uint64_t rights, uint64_t handled) {
    for (const char *entry = list; entry != nullptr && *entry != '\0';) {
        const size_t length = strcspn(entry, ":");
        char dir[PATH_MAX];
        if (entry[0] == '/' && length < sizeof dir) {
            memcpy(dir, entry, length);
            dir[length] = '\0';
            if (!allow_beneath(ruleset, dir, rights, handled)) return false;
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

} // namespace

int landlock_abi() {
    long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return abi > 0 ? int(abi) : 0; // ENOSYS, EOPNOTSUPP: no Landlock
}

bool apply_landlock(const char *tmpdir, bool job_by_name) {
    const int abi = landlock_abi();
    if (abi == 0) return true;
    const Ruleset_Attr handled = handled_by(abi);
    const int ruleset = int(syscall(SYS_landlock_create_ruleset, &handled, sizeof handled, 0));
    if (ruleset < 0) return false;
    const uint64_t fs = handled.handled_access_fs;
    bool applied =
        allow_beneath(ruleset, tmpdir, READ | WRITE, fs) &&
        (!job_by_name || allow_open_file(ruleset, STDIN_FILENO, LANDLOCK_ACCESS_FS_READ_FILE, fs));
    for (const char *tree : READABLE_TREES)
        applied = applied && allow_beneath(ruleset, tree, READ, fs);
    applied = applied && allow_listed(ruleset, getenv("PATH"), READ, fs) &&
              allow_listed(ruleset, getenv("GS_LIB"), READ, fs) &&
              allow_listed(ruleset, getenv("GS_FONTPATH"), READ, fs);
    if (coverage_counts_dir() != nullptr) // an instrumented build writes its counts there
        applied = applied && allow_beneath(ruleset, coverage_counts_dir(), READ | WRITE, fs);
    applied = applied && syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
    close(ruleset);
    return applied;
}
