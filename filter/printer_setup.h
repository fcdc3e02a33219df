// The printer as the filter will drive it, for the programs beside the filter (the checker,
// the CUPS driver, the printer application): the settings file's values read by the filter's
// own reader, or the filter's defaults exactly where the filter falls back to them.
#pragma once

#include "filter.h"

#include "../paper/paper.h"

struct Printer_Setup {
    Conf conf;
    const char *media_size;   // the paper tables' name, which is also the PPD's page size
    const char *paper_source; // the paper source word, as in paper_sources
    const Paper_Conf *paper;
    bool from_settings; // false: the defaults (colour, 360 dpi, A4 from the sheet feeder)
};
Printer_Setup read_printer_setup(const char *settings_path);
Printer_Setup default_printer_setup();

// The printer's IEEE 1284 device ID.
extern const char PRINTER_DEVICE_ID[];
