// Stand-in for Ghostscript, first on the filter's PATH in tests. It stands for native code
// under the rasterizer's confinement, as a Ghostscript memory-safety bug would give a job:
// it tries what such code would and reports what it got. The confinement leaves it only its
// standard streams and a few environment variables, so it takes its orders from variables
// the filter keeps (LC_*) and reports on standard output, as records
// "\x1eRAVO-STUB name length\n" followed by the bytes: its command line, the descriptors and
// environment it inherited, what it saw of its confinement and temporary directory, what it
// could read, and the job it read. Then it writes a marker as its "PNG data" and ends as
// LC_RAVO_STUB_EXIT says: a status number; "signal" (killed); "hang" (with a child of its
// own, until killed); "leave-file" (a file left in $TMPDIR, then status 0).
#include <fcntl.h>
#include <linux/io_uring.h>
#include <linux/openat2.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

extern char **environ;

namespace {

std::string records;

void record(const std::string &name, const std::string &bytes) {
    records += "\x1eRAVO-STUB " + name + " " + std::to_string(bytes.size()) + "\n" + bytes;
}

std::string order(const char *variable) {
    const char *value = getenv(variable);
    return value != nullptr ? value : "";
}

// "opened", or the errno's name.
std::string outcome(long result) {
    if (result >= 0) return "opened";
    return strerrorname_np(errno);
}

// What the confinement leaves this process: one word per layer.
std::string confinement(const std::string &outside_file) {
    std::ostringstream seen;
    rlimit memory, cpu, core;
    getrlimit(RLIMIT_AS, &memory);
    getrlimit(RLIMIT_CPU, &cpu);
    getrlimit(RLIMIT_CORE, &core);
    const std::string inside_file = order("TMPDIR") + "/truncated";
    seen << "nnp=" << prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0)
         << " seccomp=" << prctl(PR_GET_SECCOMP, 0, 0, 0, 0)
         << " truncate=" << outcome(open(inside_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600))
         << " write-outside=" << outcome(open(outside_file.c_str(), O_WRONLY | O_CREAT, 0600))
         << " as=" << (memory.rlim_max >> 20) << "MiB cpu=" << cpu.rlim_max
         << "s core=" << core.rlim_max;
    unlink(inside_file.c_str());
    return seen.str();
}

// Each call the seccomp filter refuses, as native code would make it.
std::string refused_calls() {
    const std::string tmp = order("TMPDIR");
    const std::string file = tmp + "/made";
    open_how how = {O_RDONLY, 0, 0};
    io_uring_params uring = {};
    // Each answer is taken as the call returns, before the next call changes errno.
    const std::pair<const char *, std::string> calls[] = {
        {"socket", outcome(socket(AF_UNIX, SOCK_DGRAM, 0))},
        {"socketpair",
         [] {
             int pair[2];
             return outcome(socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
         }()},
        {"creat", outcome(syscall(SYS_creat, file.c_str(), 0600))},
        {"open-trunc",
         outcome(syscall(SYS_open, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600))},
        {"openat-trunc",
         outcome(syscall(SYS_openat, AT_FDCWD, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600))},
        {"openat2", outcome(syscall(SYS_openat2, AT_FDCWD, "/etc/hostname", &how, sizeof how))},
        {"io_uring", outcome(syscall(SYS_io_uring_setup, 4, &uring))},
        {"unshare", outcome(syscall(SYS_unshare, CLONE_NEWUSER))},
        {"setns", outcome(syscall(SYS_setns, 0, CLONE_NEWNS))},
        {"mount", outcome(syscall(SYS_mount, "none", tmp.c_str(), "tmpfs", 0, nullptr))},
        {"clone-newuser",
         [] {
             const long child = syscall(SYS_clone, CLONE_NEWUSER | SIGCHLD, 0, 0, 0, 0);
             if (child == 0) _exit(0);
             return outcome(child);
         }()},
        {"foreign", outcome(syscall(0x40000000 | SYS_getpid))}, // x32's numbering
    };
    std::string seen;
    for (const auto &[name, answer] : calls)
        seen += std::string(seen.empty() ? "" : " ") + name + "=" + answer;
    unlink(file.c_str());
    return seen;
}

// What it can read of other files: each path of LC_RAVO_STUB_READ, colon-separated.
std::string reads() {
    std::string seen, paths = order("LC_RAVO_STUB_READ");
    for (size_t at = 0; at < paths.size();) {
        const size_t end = std::min(paths.find(':', at), paths.size());
        const std::string path = paths.substr(at, end - at);
        const int fd = open(path.c_str(), O_RDONLY);
        seen += std::string(seen.empty() ? "" : " ") + outcome(fd);
        if (fd >= 0) close(fd);
        at = end + 1;
    }
    return seen;
}

std::string variable_names() {
    std::vector<std::string> names;
    for (char **variable = environ; *variable != nullptr; ++variable)
        names.push_back(std::string(*variable).substr(0, strcspn(*variable, "=")));
    std::sort(names.begin(), names.end());
    std::string joined;
    for (const std::string &name : names)
        joined += (joined.empty() ? "" : " ") + name;
    return joined;
}

} // namespace

int main(int argc, char **argv) {
    std::string fds;
    for (int fd = 0; fd < 256; ++fd)
        if (fcntl(fd, F_GETFD) != -1) fds += std::to_string(fd) + " ";
    std::string command = "gs";
    for (int i = 1; i < argc; ++i)
        command += std::string(" ") + argv[i];
    const std::string tmpdir = order("TMPDIR");
    struct stat tmpdir_stat = {};
    const bool tmpdir_is_dir =
        !tmpdir.empty() && lstat(tmpdir.c_str(), &tmpdir_stat) == 0 && S_ISDIR(tmpdir_stat.st_mode);
    record("command", command);
    record("fds", fds);
    record("environment", variable_names());
    record("tmpdir", tmpdir.empty() ? "unset"
                                    : tmpdir + (tmpdir_is_dir ? " dir " : " not-dir ") +
                                          std::to_string(tmpdir_stat.st_mode & 07777));
    record("confinement", confinement(order("LC_RAVO_STUB_OUTSIDE")));
    record("refused", refused_calls());
    record("reads", reads());
    std::ostringstream input;
    input << std::cin.rdbuf();
    record("input", input.str());
    std::cout << records << "PNG-DATA" << std::flush;

    const std::string how = order("LC_RAVO_STUB_EXIT");
    if (how == "signal") raise(SIGKILL);
    if (how == "hang") {
        if (fork() == 0) pause();
        pause();
    }
    if (how == "leave-file") // as a job's (a) file would, since truncating opens fail
        close(open((tmpdir + "/page.png").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
    return std::atoi(how.c_str());
}
