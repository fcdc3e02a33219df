// The shipped build: the settings file it was configured to read (/etc/ravorc), the shipped
// limits, and the filter where the package installs it beside the CUPS filter.
#include "config.h"

const Filter_Config filter_config = {RAVOFILTER_CONF_PATH, SHIPPED_LIMITS, true,
                                     RAVOFILTER_FROM_CUPS_FILTER_DIR};
