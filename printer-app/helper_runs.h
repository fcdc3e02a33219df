// The rasterizing helper (ravo-rasterize) as the server runs it. It is started with
// posix_spawn, never fork, from the server's threads: the job on descriptor 0, a pipe for its
// pages on 1, one for its messages on 2 and one for its result on 3, nothing else, every
// signal at its default and none blocked. The server reads its pages as they come, one at a
// time, and ends it when the job is cancelled.
#pragma once

#include "../filter/contracts.h"
#include "../filter/png_pages.h"

#include <pappl/pappl.h>

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

// The most of a job's pages the server holds at once: the page being read (a page of a
// text document at 720 dpi is about a megabyte, a full-page photo tens of them), and again
// the pages kept to send further copies from. A larger page passes in pieces; a larger
// document is rasterized again for each copy. So a job never holds the server's memory by
// more than twice this, nor the spool's disk at all.
const size_t STREAM_BUFFER_BYTES = size_t(32) << 20;

// Finds the helper beside the application, as installed (../libexec/ravofilter) or as built
// (the same directory). False when it is not there.
bool find_helper();

struct Helper_Run {
    pid_t pid;                   // -1: not running
    int pages, messages, result; // our ends of its pipes, -1 once closed
    bool log_messages;           // its messages go to the job's log (else they are dropped)
    Png_Pages walk;              // where its page stream stands
    std::vector<uint8_t> page;   // what has come of the current page
    unsigned pages_done;         // complete pages read
    uint8_t chunk[65536];        // the last read of the page pipe, walked up to chunk_at
    size_t chunk_at, chunk_length;
    char text[4096]; // a message line being assembled
    size_t text_held;
};

// Starts the helper with arguments (after the helper's own name and the server's pid) on the
// job's file. False, with nothing running, when it could not start.
bool start_helper(pappl_job_t *job, const char *const *arguments, bool log_messages,
                  Helper_Run *run);

enum class Read_Result {
    PAGE,     // run.page holds a whole page, number run.pages_done
    PIECE,    // run.page holds the first STREAM_BUFFER_BYTES or more of a page still coming
    ENDED,    // the page stream ended; run.page holds what came of an unfinished page
    CANCELED, // the job was cancelled meanwhile
};
// Waits for the next page of the run, passing its messages on meanwhile and looking for a
// cancellation every half second. Empties run.page first.
Read_Result read_page(pappl_job_t *job, Helper_Run &run);

// Waits for the run to end and says how it did; a run that is still making pages is told to
// stop first (SIGTERM: Ghostscript ends, its private space goes) and the rest is dropped.
Helper_Outcome finish_helper(pappl_job_t *job, Helper_Run &run);
