// Where the kernel refuses the namespaces, the job's temporary space is a private directory
// of its own instead, emptied and removed when it ends; one left by a filter killed outright
// is removed by a later job of the same user.
#include "confinement.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const char PRIVATE_DIR_PREFIX[] = "ravofilter.";
const size_t PRIVATE_DIR_NAME_LENGTH = sizeof PRIVATE_DIR_PREFIX - 1 + 6; // and six of mkdtemp

// Each filter holds a lock on its own directory while it runs, so one of this user's that no
// one holds and that is older than the configured age (a new one is locked at once) is stale.
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

} // namespace

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
