// The build under test reads etc/ravorc below its working directory, so each test run brings
// its own settings file and the machine's /etc/ravorc is never touched. Its rasterizer limits
// are small, so that a memory bomb, an endless loop, a disk filler or a log flood ends in
// seconds, and a stale private directory goes after a second. The CUPS filter under test runs
// that filter, beside it.
#include "../filter/config.h"

const Filter_Config filter_config = {
    "etc/ravorc",
    {
        uint64_t(512) << 20, // address space
        2,                   // CPU seconds
        uint64_t(64) << 20,  // private /tmp
        1024,                // files in it
        uint64_t(64) << 10,  // messages
        1,                   // stale private directory
    },
    true,
    "ravofilter_local_settings",
};
