// Runs the rasterizer command confined: a private temporary directory, Landlock, a seccomp
// filter and resource limits, and never lets it outlive the filter.
#pragma once

#include <cstdint>

// Nothing of this unit goes into the filter's dynamic symbol table.
#pragma GCC visibility push(hidden)

// Limits of the shell and Ghostscript. Ghostscript's peak was 62 MB of virtual memory at
// 1440 dpi on A3 (it bands large pages through temporary files), and one such page took
// 10 s of CPU; the address space limit stops a memory bomb long before the machine swaps,
// the CPU limit ends an endless loop. The test build lowers both to keep its rows short.
#ifndef RAVOFILTER_ADDRESS_SPACE_MIB
#define RAVOFILTER_ADDRESS_SPACE_MIB 2048
#endif
#ifndef RAVOFILTER_CPU_SECONDS
#define RAVOFILTER_CPU_SECONDS 3600
#endif
const uint64_t RASTERIZER_ADDRESS_SPACE = uint64_t(RAVOFILTER_ADDRESS_SPACE_MIB) << 20;
const uint64_t RASTERIZER_CPU_SECONDS = RAVOFILTER_CPU_SECONDS;

// The confinement layers this kernel and build give the rasterizer.
struct Confinement {
    int landlock_abi; // 0: no Landlock
    bool seccomp;     // a seccomp filter for this architecture exists and the kernel takes it
};
Confinement probe_confinement();

// Runs command through /bin/sh with the job on standard input, confined, and waits for it.
// True when the rasterizer exited 0 and left no file behind; false when it failed, could not
// start, or SIGTERM, SIGINT or SIGHUP ended the filter's wait (the rasterizer is then ended).
bool run_rasterizer(const char *command);

#pragma GCC visibility pop
