// ravofilter-check: explains what the filter makes of a settings file. It runs the filter's
// own settings reader and prints every line that makes the filter fall back to its defaults
// or that rarely means what was written, the settings and the command the filter will use,
// whether Ghostscript is there and how it is confined, and which road each job takes.
// It reads; it writes nothing but its report.
#include "check.h"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cstdio>

namespace {

const char USAGE[] = "usage: ravofilter-check [-q] [-f FILE] [JOB...]\n"
                     "  -f, --file=FILE  check FILE instead of the filter's settings file\n"
                     "  -q, --quiet      print nothing; the exit status is the outcome\n"
                     "  -h, --help       print this and exit\n"
                     "      --version    print the version and exit\n";
const int EXIT_SETTINGS_USED = 0, EXIT_DEFAULTS = 1, EXIT_USAGE = 2;

} // namespace

int main(int argc, char **argv) {
    Check check = {};
    check.path = settings_path();
    const option options[] = {{"file", required_argument, nullptr, 'f'},
                              {"quiet", no_argument, nullptr, 'q'},
                              {"help", no_argument, nullptr, 'h'},
                              {"version", no_argument, nullptr, 'V'},
                              {nullptr, 0, nullptr, 0}};
    bool quiet = false;
    for (int chosen; (chosen = getopt_long(argc, argv, "f:qh", options, nullptr)) != -1;) {
        switch (chosen) {
        case 'f':
            check.path = optarg;
            break;
        case 'q':
            quiet = true;
            break;
        case 'h':
            fputs(USAGE, stdout);
            return 0;
        case 'V':
            printf("ravofilter-check %s\n", RAVOFILTER_VERSION);
            return 0;
        default: // getopt_long has named the option
            fputs(USAGE, stderr);
            return EXIT_USAGE;
        }
    }
    if (quiet) { // the exit status alone
        const int nothing = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(nothing, STDOUT_FILENO);
        dup2(nothing, STDERR_FILENO);
    }

    const Settings_Check settings = check_settings(check);
    const bool spooler_reads = check_spooler_users(check, settings.used, settings.conf);
    flush_findings();
    describe_outcome(check, settings);
    check_cups_queues(check.path);
    describe_rasterizer();
    bool jobs_print = true;
    for (int job = optind; job < argc; ++job)
        jobs_print = describe_job(argv[job]) && jobs_print;
    finish_findings();
    return settings.prints && spooler_reads && jobs_print ? EXIT_SETTINGS_USED : EXIT_DEFAULTS;
}
