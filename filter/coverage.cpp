#include "coverage.h"

#include <sys/stat.h>
#include <unistd.h>

#ifdef RAVOFILTER_COVERAGE_DIR // a build instrumented for coverage, its counts beneath this

extern "C" void __gcov_dump(void); // gcov's runtime
extern "C" void __gcov_reset(void);

void flush_coverage() {
    // A process that has become another user (the checker reading as lp) cannot write the
    // counts, and gcov would say so on its stderr, which the tests read.
    struct stat counts;
    const uid_t user = geteuid();
    if (stat(RAVOFILTER_COVERAGE_DIR, &counts) != 0 || (user != 0 && user != counts.st_uid)) return;
    __gcov_dump();
    __gcov_reset(); // what the process does from here on is counted once more at its end
}

const char *coverage_counts_dir() {
    return RAVOFILTER_COVERAGE_DIR;
}

#else

void flush_coverage() {}

const char *coverage_counts_dir() {
    return nullptr;
}

#endif
