// What the programs of this project promise one another and the spoolers: the filter's exit
// statuses, the filter's messages that other programs recognise, what a child of the
// rasterizer tells the filter before Ghostscript runs, and what the printer application's
// rasterizing helper reports back to the server. Each is named here and nowhere else.
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

// The filter's messages on standard error, each a line of its own, that the CUPS filter raises
// to the administrator. Those that end in ": " and a reason (or a path) are matched by their
// start.
inline constexpr char MESSAGE_NOT_READ[] = "ravorc not read";     // malformed or unusable settings
inline constexpr char MESSAGE_NO_SUCH_FILE[] = " : No such file"; // after the settings path
inline constexpr char MESSAGE_CANNOT_START[] = "ravofilter: cannot start the rasterizer";
inline constexpr char MESSAGE_NO_PRIVATE_DIR[] = "ravofilter: cannot make a private directory";
inline constexpr char MESSAGE_CANNOT_REMOVE[] = "ravofilter: cannot remove "; // then the path
inline constexpr char MESSAGE_JOB_WROTE_FILES[] =
    "ravofilter: the job wrote files of its own instead of printing its pages";

// What the rasterizer's child writes on its status descriptor when no Ghostscript could start.
enum class Child_Status : char {
    NAMESPACES_REFUSED = 'N', // the kernel or its policy refuses them: fall back
    SETUP_FAILED = 'R',       // the filter's own resources failed: retry the job
};

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
