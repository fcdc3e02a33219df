// The filter's road for a job: the job on standard input looked at without being consumed,
// then copied through, or rasterized by Ghostscript with the command made here. Second
// programs take the same road, or make the same command with their own additions.
#pragma once

#include "filter.h"

#include <cstddef>

// Nothing of this goes into the filter's dynamic symbol table.
#pragma GCC visibility push(hidden)

// Which road the job on standard input takes: 0 PostScript, 1 copied, -1 not mappable.
int peek_job();
// Copies standard input to standard output; the filter's exit status.
int copy_job();
// Runs Ghostscript, confined, on the unread job on standard input with these settings, its
// PNG data going to standard output; the filter's exit status.
int rasterize(const Conf &conf);
// The command line the filter runs for these settings; false when it does not fit.
bool format_command(const Conf &conf, char *command, size_t size);
// What a second program adds to the filter's command: options placed after the rasterizer's
// name and set-up (Ghostscript arguments, run before the job) placed just before the job, each
// with a leading space; and where Ghostscript reads the job: "-" (standard input, as the
// filter does) or "/dev/stdin" (the same file by name, which a PDF needs to be read in place).
struct Command_Extras {
    const char *options, *setup, *job;
};
bool format_command_with(const Conf &conf, const Command_Extras &extras, char *command,
                         size_t size);
// The command that measures a job's pages: Ghostscript with the same safety options renders
// them at 72 dpi in grey, each at the size the job asks for (this media size when it asks for
// none), so that the PNG images' sizes are the pages' sizes in points.
bool format_measure_command(int width_points, int height_points, const char *job, char *command,
                            size_t size);

#pragma GCC visibility pop
