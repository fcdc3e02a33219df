// ravo-rasterize: the printer application's rasterizing helper. The server starts one with
// posix_spawn for each Ghostscript run or image, so that no process is ever forked from the
// server's threads. It runs the filter's own confined rasterizer (namespaces, Landlock,
// seccomp, limits) on the job on descriptor 0, its pages going to 1 and its messages to 2,
// and writes one byte on 3 saying how it ended; it dies with the server.
//
//   ravo-rasterize SERVER-PID gs COMMAND stdin|name   Ghostscript's command line, the job
//                                                     read from standard input or by name
//   ravo-rasterize SERVER-PID image PAGE...           the image decoder, for the page
#include "image_decoder.h"

#include "../filter/child.h"
#include "../filter/contracts.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const int RESULT_FD = 3;

int decode(void *page) {
    return decode_image(stdin, stdout, *static_cast<const Image_Page *>(page));
}

// What the run's result and exit status say, for the server.
Helper_Outcome outcome_of(Raster_Result result, int status) {
    if (result == Raster_Result::RASTERIZED) return Helper_Outcome::PRINTED;
    if (result == Raster_Result::RETRY) return Helper_Outcome::RETRY;
    switch (status) {
    case IMAGE_TOO_LARGE:
        return Helper_Outcome::IMAGE_TOO_LARGE;
    case IMAGE_DAMAGED:
        return Helper_Outcome::IMAGE_DAMAGED;
    case IMAGE_UNSUPPORTED:
        return Helper_Outcome::IMAGE_UNSUPPORTED;
    case IMAGE_TOO_COSTLY:
        return Helper_Outcome::IMAGE_TOO_COSTLY;
    case 128 + SIGKILL:
    case 128 + SIGXCPU:
        return Helper_Outcome::AT_LIMIT;
    default:
        return Helper_Outcome::RASTERIZER_FAILED;
    }
}

int usage() {
    fputs("Usage: ravo-rasterize SERVER-PID gs COMMAND stdin|name\n"
          "       ravo-rasterize SERVER-PID image PAGE...\n"
          "The printer application's helper: not to be run by hand.\n",
          stderr);
    return EXIT_JOB_FAILED;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4) return usage();
    // SIGTERM lets the rasterizer end Ghostscript and remove what it made.
    if (!die_with_parent(SIGTERM, pid_t(atol(argv[1])))) return EXIT_RETRY; // the server is gone
    Rasterizer_Task task = {nullptr, nullptr, nullptr, false};
    Image_Page page;
    if (strcmp(argv[2], "gs") == 0 && argc == 5) {
        task.command = argv[3];
        task.job_by_name = strcmp(argv[4], "name") == 0;
    } else if (strcmp(argv[2], "image") == 0 && parse_image_page(argc - 3, argv + 3, &page)) {
        task.function = decode;
        task.argument = &page;
    } else {
        return usage();
    }
    int status;
    const Raster_Result result = run_rasterizer_task(task, &status);
    const char outcome = char(outcome_of(result, status));
    if (write(RESULT_FD, &outcome, 1) != 1) return EXIT_RETRY;
    return exit_status_of(result);
}
