// Runs a built filter executable on one job in a private directory, the way a spooler does,
// and collects everything it and the stub rasterizer left behind.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

enum class Job_Input { File, Pipe, Closed };

struct Filter_Setup {
    std::string job;
    std::optional<std::string> settings{}; // contents of etc/ravorc; none: no settings file
    // The stub's exit status, or "signal", "hang", "leave-file" (see fake_gs.cpp); "missing";
    // "real" Ghostscript.
    std::string gs = "0";
    Job_Input input = Job_Input::File;
    bool output_full = false;    // standard output is /dev/full
    bool reads_fail = false;     // every read of standard input fails with EIO
    bool under_valgrind = false; // memcheck fails the run with status 99 on any error or leak
    std::string executable = FILTER_UNDER_TEST;
    // TMPDIR as the spooler sets it: "run", a directory of the run's own; "unset"; or a path.
    std::string tmpdir = "run";
    bool unprivileged = false;    // the filter runs as nobody, through setpriv
    int terminate_with = 0;       // a signal sent to the filter alone while the rasterizer runs
    bool sigchld_ignored = false; // the spooler started the filter with SIGCHLD ignored
    // Run through the CUPS filter as cupsd runs it: a File job named in argument 6 with
    // /dev/null on standard input, a Pipe job on standard input.
    bool through_cups = false;
    std::string reads = ""; // files the stand-in tries to read, colon-separated
    bool namespaces_refused = false; // the kernel refuses the filter user namespaces
    bool mkdir_refused = false;      // every mkdir fails with EACCES
    std::string companion_job = "";  // another job, started beside this one a moment later
    std::string run_parent = "/tmp"; // where the run's directory goes
    bool stale_dir = false; // a private directory a killed filter left, old enough to go
    bool settings_fifo = false; // etc/ravorc is a FIFO that no one writes
    int process_limit = 0;      // RLIMIT_NPROC of an unprivileged run (0: none), for its user
};

struct Filter_Run {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
    bool gs_ran = false;
    std::string gs_command, gs_input, gs_fds;
    std::string gs_tmpdir;          // "<path> dir <mode>", the run directory written as $RUN
    std::string gs_confinement;     // see fake_gs.cpp
    std::string gs_refused;         // each call the seccomp filter refuses, and its answer
    std::string gs_reads;           // for each file of Filter_Setup::reads, its answer
    std::string gs_environment;     // the names of the variables it got
    bool processes_left = false;    // a process of the run outlived the filter
    // The directory the rasterizer worked in, a ravofilter.* directory or a ravofilter-cups.*
    // job copy is left where the filter works (TMPDIR, or /tmp when that is not a directory).
    bool private_dirs_left = false;
    int companion_status = -1;
    std::string companion_out;
};

Filter_Run run_filter(const Filter_Setup &setup);
std::string gs_command(int ink, int resolution, long width, long height);

struct Check_Run {
    int status = -1;
    std::string out, err; // the report; the findings
};

// Runs ravofilter-check in a directory of its own on "ravorc" there (with these contents and
// mode; none: no file) and on job files with these contents, with no gs on PATH. Arguments
// replace "-f ravorc" and the jobs when given.
Check_Run run_checker(const std::optional<std::string> &settings,
                      const std::vector<std::string> &jobs = {}, mode_t mode = 0644,
                      const std::vector<std::string> &arguments = {},
                      bool namespaces_refused = false);
