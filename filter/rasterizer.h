// Runs the rasterizer command confined: in namespaces of its own with a private, bounded
// temporary file system (or, where the kernel refuses them, a private temporary directory),
// Landlock, a seccomp filter and resource limits, with nothing inherited but the job and its
// outputs, and never lets it outlive the filter.
#pragma once

#include <cstdint>

// Nothing of this unit goes into the filter's dynamic symbol table.
#pragma GCC visibility push(hidden)

// Limits of the shell and Ghostscript. Ghostscript's peak was 62 MB of virtual memory at
// 1440 dpi on A3 (it bands large pages through temporary files), and one such page took
// 10 s of CPU; the address space limit stops a memory bomb long before the machine swaps,
// the CPU limit ends an endless loop. Its band files for the largest job of the test corpus
// at 1440 dpi on a page larger than A3 took at most 8 MB and 3 files at once: the private
// temporary file system holds 32 times that. Its messages are kept up to a bound, so that a
// job cannot flood the spooler's log. The test build lowers all of these to keep its rows
// short.
#ifndef RAVOFILTER_ADDRESS_SPACE_MIB
#define RAVOFILTER_ADDRESS_SPACE_MIB 2048
#endif
#ifndef RAVOFILTER_CPU_SECONDS
#define RAVOFILTER_CPU_SECONDS 3600
#endif
#ifndef RAVOFILTER_TMPFS_MIB
#define RAVOFILTER_TMPFS_MIB 256
#endif
#ifndef RAVOFILTER_TMPFS_FILES
#define RAVOFILTER_TMPFS_FILES 1024
#endif
#ifndef RAVOFILTER_MESSAGE_KIB
#define RAVOFILTER_MESSAGE_KIB 1024
#endif
// A private directory left by a filter killed outright is removed by a later job once it is
// this old and no filter holds it.
#ifndef RAVOFILTER_STALE_SECONDS
#define RAVOFILTER_STALE_SECONDS 60
#endif
const uint64_t RASTERIZER_ADDRESS_SPACE = uint64_t(RAVOFILTER_ADDRESS_SPACE_MIB) << 20;
const uint64_t RASTERIZER_CPU_SECONDS = RAVOFILTER_CPU_SECONDS;
const uint64_t RASTERIZER_TMPFS_SIZE = uint64_t(RAVOFILTER_TMPFS_MIB) << 20;
const uint64_t RASTERIZER_TMPFS_FILES = RAVOFILTER_TMPFS_FILES;
const uint64_t RASTERIZER_MESSAGE_BYTES = uint64_t(RAVOFILTER_MESSAGE_KIB) << 10;
const long STALE_DIR_SECONDS = RAVOFILTER_STALE_SECONDS;

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

#pragma GCC visibility pop
