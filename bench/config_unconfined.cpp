// The benchmarks' baseline for the cost of confinement: the shipped settings and limits, with
// Ghostscript run through system() as it was before it was confined. Never installed.
#include "../filter/config.h"

const Filter_Config filter_config = {"/etc/ravorc", SHIPPED_LIMITS, false, "ravofilter"};
