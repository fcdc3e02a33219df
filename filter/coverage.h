// What a build instrumented for coverage (gcc --coverage) needs of the programs: their
// children write their counts before they exec or end with _exit, which would lose them, and
// the rasterizer's processes may write them where they go. In any other build, nothing.
#pragma once

// Nothing of this goes into the filter's dynamic symbol table.
#pragma GCC visibility push(hidden)

void flush_coverage();
// The directory beneath which the counts go; null when the build counts nothing.
const char *coverage_counts_dir();

#pragma GCC visibility pop
