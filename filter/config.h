// What one build of a program over the filter's core fixes at link time: the settings file
// the filter reads, the bounds of its rasterizer, and where the CUPS filter finds the filter.
// Each program links exactly one definition of filter_config: the shipped one
// (filter/config_shipped.cpp), the tests' (small bounds, a settings file below the working
// directory), or a benchmark's (the rasterizer unconfined, as a baseline).
#pragma once

#include <cstdint>

// Nothing of this goes into the filter's dynamic symbol table.
#pragma GCC visibility push(hidden)

struct Rasterizer_Limits {
    uint64_t address_space; // bytes of virtual memory of the shell and Ghostscript
    uint64_t cpu_seconds;
    uint64_t tmpfs_size; // bytes of the private temporary file system
    uint64_t tmpfs_files;
    uint64_t message_bytes; // of Ghostscript's messages passed on; the rest are counted
    long stale_dir_seconds; // a private directory left by a killed filter goes once this old
};

// The shipped limits. Ghostscript's peak was 62 MB of virtual memory at 1440 dpi on A3 (it
// bands large pages through temporary files), and one such page took 10 s of CPU; the address
// space limit stops a memory bomb long before the machine swaps, the CPU limit ends an endless
// loop. Its band files for the largest job of the test corpus at 1440 dpi on a page larger
// than A3 took at most 8 MB and 3 files at once: the private temporary file system holds 32
// times that. Its messages are kept up to a bound, so that a job cannot flood the spooler's
// log.
inline constexpr Rasterizer_Limits SHIPPED_LIMITS = {
    uint64_t(2048) << 20, // address space
    3600,                 // CPU seconds
    uint64_t(256) << 20,  // private /tmp
    1024,                 // files in it
    uint64_t(1024) << 10, // messages
    60,                   // stale private directory
};

struct Filter_Config {
    const char *settings_path;
    Rasterizer_Limits limits;
    bool confined; // false only in the benchmarks' baseline: Ghostscript run through system()
    const char *filter_from_cups_filter; // the filter, relative to the CUPS filter's directory
};

extern const Filter_Config filter_config;

#pragma GCC visibility pop
