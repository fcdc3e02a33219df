#include "coverage.h"

#ifdef RAVOFILTER_COVERAGE_DIR // a build instrumented for coverage, its counts beneath this

extern "C" void __gcov_dump(void); // gcov's runtime
extern "C" void __gcov_reset(void);

void flush_coverage() {
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
