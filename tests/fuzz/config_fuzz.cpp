// The fuzz targets' build: the settings file is the memory file that holds the fuzzer's input.
#include "../../filter/config.h"

const Filter_Config filter_config = {"/proc/self/fd/100", SHIPPED_LIMITS, true, "ravofilter"};
