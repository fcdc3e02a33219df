// What the programs of this project promise one another: the filter's exit statuses, as
// spoolers and the CUPS filter read them, and what the printer application's rasterizing
// helper reports back to the server.
#pragma once

#include "rasterizer.h"

// Nothing of this goes into the filter's dynamic symbol table.
#pragma GCC visibility push(hidden)

const int EXIT_DONE = 0;       // the job was printed or copied
const int EXIT_RETRY = 1;      // no usable input, the copy failed, or the filter's own resources
                               // failed before Ghostscript could start: the spooler may retry
const int EXIT_JOB_FAILED = 2; // the rasterizer failed on the job: do not retry it

// The exit status for a rasterizer's result, and back: what became of a child that exits with
// these statuses (ravofilter under the CUPS filter, the printer application's helper), from
// its wait status. A child killed by a signal failed on its job.
int exit_status_of(Raster_Result result);
Raster_Result raster_result_of(int wait_status);

// What the printer application's helper writes on its result descriptor (3): one byte, read
// by the server to tell the job's state message.
enum class Helper_Outcome : char {
    PRINTED = 'P',           // every page was made
    RETRY = 'T',             // the helper's own resources failed: the job may be tried again
    RASTERIZER_FAILED = 'F', // Ghostscript failed on the job
    AT_LIMIT = 'K',          // the rasterizer was stopped at its limit of CPU time or memory
    IMAGE_TOO_LARGE = 'L',   // more pixels than the largest page at the finest resolution
    IMAGE_DAMAGED = 'D',     // a cut or corrupt image file
    IMAGE_UNSUPPORTED = 'U', // an image of a kind the decoder does not print
    IMAGE_TOO_COSTLY = 'M',  // decoding would need more memory than the decoder may use
};

#pragma GCC visibility pop
