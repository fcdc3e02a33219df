// Runs a built filter executable on one job in a private directory, the way a spooler does,
// and collects everything it and the stub rasterizer left behind.
#pragma once

#include <optional>
#include <string>

enum class Job_Input { File, Pipe, Closed };

struct Filter_Setup {
    std::string job;
    std::optional<std::string> settings{}; // contents of etc/ravorc; none: no settings file
    std::string gs = "0"; // the stub's exit status, or "signal"; "missing"; "real" Ghostscript
    Job_Input input = Job_Input::File;
    bool output_full = false;    // standard output is /dev/full
    bool reads_fail = false;     // every read of standard input fails with EIO
    bool under_valgrind = false; // memcheck fails the run with status 99 on any error or leak
    std::string executable = FILTER_UNDER_TEST;
};

struct Filter_Run {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
    bool gs_ran = false;
    std::string gs_command, gs_input, gs_fds;
};

Filter_Run run_filter(const Filter_Setup &setup);
std::string gs_command(int ink, int resolution, long width, long height);
