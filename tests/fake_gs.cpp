// Stand-in for Ghostscript, first on the filter's PATH in tests. Records into $RAVO_STUB_DIR
// its command line, the descriptors it inherited and the job it read, writes a marker as its
// "PNG data", then exits as $RAVO_STUB_EXIT says: a status number, or "signal" (killing
// the shell too).
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

int main(int argc, char **argv) {
    std::string fds;
    for (int fd = 0; fd < 256; ++fd)
        if (fcntl(fd, F_GETFD) != -1) fds += std::to_string(fd) + " ";
    std::string command = "gs";
    for (int i = 1; i < argc; ++i)
        command += std::string(" ") + argv[i];
    const std::string dir = getenv("RAVO_STUB_DIR");
    std::ofstream(dir + "/gs_fds") << fds;
    std::ofstream(dir + "/gs_command") << command;
    std::ofstream(dir + "/gs_input", std::ios::binary) << std::cin.rdbuf();
    std::cout << "PNG-DATA" << std::flush;
    const std::string how = getenv("RAVO_STUB_EXIT");
    if (how == "signal") { // the shell that started gs dies with it
        kill(getppid(), SIGKILL);
        raise(SIGKILL);
    }
    return std::atoi(how.c_str());
}
