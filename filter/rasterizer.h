// Runs the rasterizer command confined: in namespaces of its own with a private, bounded
// temporary file system (or, where the kernel refuses them, a private temporary directory),
// Landlock, a seccomp filter and resource limits, with nothing inherited but the job and its
// outputs, and never lets it outlive the filter.
#pragma once

#include "config.h"

#include <cstdint>

// Nothing of this unit goes into the filter's dynamic symbol table.
#pragma GCC visibility push(hidden)

// The confinement layers this kernel and build give the rasterizer.
struct Confinement {
    bool namespaces;     // user, mount and PID namespaces with a private tmpfs
    int namespace_errno; // why not, when not
    int landlock_abi;    // 0: no Landlock
    bool seccomp;        // a seccomp filter for this architecture exists and the kernel takes it
};
Confinement probe_confinement();

enum class Raster_Result {
    RASTERIZED, // Ghostscript exited 0 and left no file behind
    JOB_FAILED, // Ghostscript failed or was killed, or the filter was told to end
    RETRY,      // the filter's own resources failed (directory, process, namespace, layer)
};

// Runs command through /bin/sh with the job on standard input, confined, and waits for it,
// passing on Ghostscript's messages up to their bound. SIGTERM, SIGINT or SIGHUP end the
// rasterizer and the wait.
Raster_Result run_rasterizer(const char *command);

// What runs confined: a command line for /bin/sh, or else a function of this program (the
// printer application's image decoder), whose result is the exit status. A job that
// Ghostscript must read by name (/dev/stdin: a PDF file, which it would otherwise copy into
// its temporary space first) is made readable to it, and to nothing else.
struct Rasterizer_Task {
    const char *command;
    int (*function)(void *argument);
    void *argument;
    bool job_by_name;
};
// As run_rasterizer; *exit_status, when asked for, is what the shell or the function exited
// with (128 + the signal that killed it), or -1 when it never ran.
Raster_Result run_rasterizer_task(const Rasterizer_Task &task, int *exit_status);

// The benchmarks' baseline (Filter_Config::confined false): the command through system().
Raster_Result run_unconfined(const Rasterizer_Task &task, int *exit_status);

#pragma GCC visibility pop
