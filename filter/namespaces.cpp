// The job's namespaces: a user namespace mapping this user to itself, a mount namespace with
// a tmpfs of the job's own over /tmp (bounded in size and files), and a PID namespace whose
// first process runs the job, so that when it ends, or the filter is killed, every process of
// the job ends with it.
#include "child.h"
#include "confinement.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool write_text(const char *path, const char *text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    const bool written = fd >= 0 && write(fd, text, strlen(text)) == ssize_t(strlen(text));
    if (fd >= 0) close(fd);
    return written;
}

// The processes in namespaces keep descriptors 0 to 3 (the job, its outputs, the status
// descriptor) and die with their parent; the first process's parent is outside its PID
// namespace, where it cannot look.
const Child_Start IN_NAMESPACES = {{0, 1, 2, CHILD_STATUS_FD}, SIGKILL, nullptr, false};

[[noreturn]] void run_confined(void *task) {
    confine_and_run(*static_cast<const Rasterizer_Task *>(task), "/tmp");
}

// The first process of the job's PID namespace: it starts the shell or the task's function,
// confined, and waits for it.
[[noreturn]] void run_first_process(void *task) {
    const pid_t job = fork_child(IN_NAMESPACES, run_confined, task);
    if (job < 0) fail_setup(Child_Status::SETUP_FAILED, "fork");
    const int status = wait_child(job);
    if (status < 0) fail_setup(Child_Status::SETUP_FAILED, "wait");
    exit_child(exit_code_of(status));
}

} // namespace

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

// A limit of no user namespaces at all (user.max_user_namespaces = 0) is a policy; a limit
// reached is not, and the job is tried again.
bool namespaces_refused(int error) {
    if (error == ENOSPC || error == EUSERS) {
        char limit[4] = "";
        const int fd = open("/proc/sys/user/max_user_namespaces", O_RDONLY | O_CLOEXEC);
        const ssize_t got = fd < 0 ? -1 : read(fd, limit, sizeof limit - 1);
        if (fd >= 0) close(fd);
        return got > 0 && limit[0] == '0' && (limit[1] == '\n' || limit[1] == '\0');
    }
    return error == EPERM || error == EACCES || error == EINVAL || error == ENOSYS;
}

// This process sets the namespaces up and waits for the first process of the new PID
// namespace. Files left in the private /tmp mean the job wrote pages of its own.
void run_in_namespaces(const Rasterizer_Task &task) {
    if (const char *step = enter_namespaces()) {
        const int error = errno;
        const Child_Status status = namespaces_refused(error) ? Child_Status::NAMESPACES_REFUSED
                                                              : Child_Status::SETUP_FAILED;
        errno = error;
        fail_setup(status, step);
    }
    const pid_t first =
        fork_child(IN_NAMESPACES, run_first_process, const_cast<Rasterizer_Task *>(&task));
    if (first < 0) fail_setup(Child_Status::SETUP_FAILED, "fork");
    const int status = wait_child(first);
    if (status < 0) fail_setup(Child_Status::SETUP_FAILED, "wait");
    if (exit_code_of(status) == 0) { // pages, unless it left files
        const int tmp = open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (tmp < 0) fail_setup(Child_Status::SETUP_FAILED, "the private /tmp");
        if (empty_directory(tmp, 8) != 0) {
            fprintf(stderr, "%s\n", MESSAGE_JOB_WROTE_FILES);
            exit_child(EXIT_JOB_FAILED);
        }
    }
    exit_child(exit_code_of(status));
}
