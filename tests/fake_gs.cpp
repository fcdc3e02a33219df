// Stand-in for Ghostscript, first on the filter's PATH in tests. The filter confines it, so
// it reports through a descriptor it inherits, $RAVO_STUB_FD, as records "name length\n"
// followed by the bytes: its command line, the other descriptors it inherited, what it saw
// of its confinement and temporary directory, and the job it read. Then it writes a marker
// as its "PNG data" and ends as $RAVO_STUB_EXIT says: a status number; "signal" (killing
// the shell too); "hang" (with a child of its own, until killed); "leave-file" (a file left
// in $TMPDIR, then status 0).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace {

const int record_fd = atoi(getenv("RAVO_STUB_FD"));

void record(const std::string &name, const std::string &bytes) {
    const std::string head = name + " " + std::to_string(bytes.size()) + "\n";
    if (write(record_fd, head.data(), head.size()) < 0 ||
        write(record_fd, bytes.data(), bytes.size()) < 0)
        _exit(125);
}

std::string status_field(const std::string &name) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(name + ":", 0) == 0)
            return line.substr(line.find_first_not_of(" \t", name.size() + 1));
    return "?";
}

// What the confinement leaves this process: one word per layer.
std::string confinement(const char *outside_file) {
    std::ostringstream seen;
    rlimit memory, cpu, core;
    getrlimit(RLIMIT_AS, &memory);
    getrlimit(RLIMIT_CPU, &cpu);
    getrlimit(RLIMIT_CORE, &core);
    const int socket_fd = socket(AF_INET, SOCK_STREAM, 0);
    const int socket_errno = errno;
    const int outside_fd = open(outside_file, O_WRONLY | O_CREAT, 0600);
    const int outside_errno = errno;
    const std::string inside_file = std::string(getenv("TMPDIR")) + "/truncated";
    const int truncating_fd = open(inside_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int truncating_errno = errno;
    unlink(inside_file.c_str());
    seen << "nnp=" << status_field("NoNewPrivs") << " seccomp=" << status_field("Seccomp")
         << " socket=" << (socket_fd < 0 ? strerrorname_np(socket_errno) : "opened")
         << " truncate=" << (truncating_fd < 0 ? strerrorname_np(truncating_errno) : "opened")
         << " write-outside=" << (outside_fd < 0 ? strerrorname_np(outside_errno) : "opened")
         << " as=" << (memory.rlim_max >> 20) << "MiB cpu=" << cpu.rlim_max
         << "s core=" << core.rlim_max;
    return seen.str();
}

} // namespace

int main(int argc, char **argv) {
    std::string fds;
    for (int fd = 0; fd < 256; ++fd)
        if (fd != record_fd && fcntl(fd, F_GETFD) != -1) fds += std::to_string(fd) + " ";
    std::string command = "gs";
    for (int i = 1; i < argc; ++i)
        command += std::string(" ") + argv[i];
    const char *tmpdir = getenv("TMPDIR");
    struct stat tmpdir_stat = {};
    const bool tmpdir_is_dir =
        tmpdir != nullptr && lstat(tmpdir, &tmpdir_stat) == 0 && S_ISDIR(tmpdir_stat.st_mode);
    record("command", command);
    record("fds", fds);
    record("tmpdir", tmpdir == nullptr
                         ? "unset"
                         : std::string(tmpdir) + (tmpdir_is_dir ? " dir " : " not-dir ") +
                               std::to_string(tmpdir_stat.st_mode & 07777));
    record("confinement", confinement(getenv("RAVO_STUB_OUTSIDE")));
    std::ostringstream input;
    input << std::cin.rdbuf();
    record("input", input.str());
    std::cout << "PNG-DATA" << std::flush;

    const std::string how = getenv("RAVO_STUB_EXIT");
    if (how == "signal") { // the shell that started gs dies with it
        kill(getppid(), SIGKILL);
        raise(SIGKILL);
    }
    if (how == "hang") {
        if (fork() == 0) pause();
        pause();
    }
    if (how == "leave-file") // as a job's (a) file would, since truncating opens fail
        close(open((std::string(tmpdir) + "/page.png").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
    return std::atoi(how.c_str());
}
