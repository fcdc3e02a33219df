#include "filter_run.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

void write_file(const std::string &path, const std::string &contents) {
    std::ofstream(path, std::ios::binary) << contents;
}

// Makes read(0, ...) fail with EIO from now on, through exec, while mmap keeps working.
void make_stdin_reads_fail() {
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_read, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog fprog = {sizeof program / sizeof program[0], program};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) != 0)
        _exit(126);
}

} // namespace

std::string gs_command(int ink, int resolution, long width, long height) {
    return "gs -r" + std::to_string(resolution) + " -g" + std::to_string(width) + "x" +
           std::to_string(height) + " -q -dNOPROMPT -dNOPAUSE -dSAFER -sstdout=%stderr -sDEVICE=" +
           (ink == 2 ? "pnggray" : "png16m") + " -sOutputFile=- - -c quit";
}

Filter_Run run_filter(const Filter_Setup &setup) {
    char dir_template[] = "/tmp/ravofilter-test-XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    write_file(dir + "/job", setup.job);
    if (setup.settings) {
        std::filesystem::create_directory(dir + "/etc");
        write_file(dir + "/etc/ravorc", *setup.settings);
    }
    int job_pipe[2] = {-1, -1};
    if (setup.input == Job_Input::Pipe) {
        // The job is small enough to sit in the pipe before the filter starts.
        if (pipe(job_pipe) != 0 || write(job_pipe[1], setup.job.data(), setup.job.size()) < 0)
            return {};
        close(job_pipe[1]);
    }
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(126);
        int job = setup.input == Job_Input::Pipe ? job_pipe[0] : open("job", O_RDONLY);
        int out = open(setup.output_full ? "/dev/full" : "out", O_WRONLY | O_CREAT, 0600);
        int err = open("err", O_WRONLY | O_CREAT, 0600);
        if (setup.input == Job_Input::Closed)
            close(0);
        else
            dup2(job, 0);
        dup2(out, 1);
        dup2(err, 2);
        close_range(3, ~0U, 0);
        const char *path = STUB_GS_DIR ":/usr/bin:/bin";
        if (setup.gs == "missing") path = "/nonexistent";
        if (setup.gs == "real") path = "/usr/bin:/bin";
        setenv("PATH", path, 1);
        setenv("RAVO_STUB_DIR", dir.c_str(), 1);
        setenv("RAVO_STUB_EXIT", setup.gs.c_str(), 1);
        if (setup.reads_fail) make_stdin_reads_fail();
        alarm(120); // a hung filter ends as a signal, not a hung test
        // Spoolers pass arguments; the filter must ignore them.
        const char *filter = setup.executable.c_str();
        if (setup.under_valgrind)
            execl("/usr/bin/valgrind", "valgrind", "-q", "--error-exitcode=99", "--leak-check=full",
                  "--show-leak-kinds=all", "--errors-for-leak-kinds=all", filter, "-w132", nullptr);
        execl(filter, "ravofilter", "-w132", "-l66", "-n", "user", nullptr);
        _exit(127);
    }
    if (job_pipe[0] != -1) close(job_pipe[0]);
    int wait_status = 0;
    waitpid(pid, &wait_status, 0);
    Filter_Run run;
    run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    run.out = read_file(dir + "/out");
    run.err = read_file(dir + "/err");
    run.gs_ran = std::filesystem::exists(dir + "/gs_command");
    run.gs_command = read_file(dir + "/gs_command");
    run.gs_input = read_file(dir + "/gs_input");
    run.gs_fds = read_file(dir + "/gs_fds");
    std::filesystem::remove_all(dir);
    return run;
}
