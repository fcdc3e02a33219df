// The PPD of a CUPS queue for the Quorvin 7X Series, written from the settings file through
// the filter's own reader, so that CUPS lays pages out on the paper the filter rasterizes.
#pragma once

#include "../filter/filter.h"
#include "../paper/paper.h"

#include <cstdio>

// The printer as the filter will drive it: the settings file's settings, or the filter's
// defaults (colour, 360 dpi, A4 from the automatic sheet feeder) wherever it falls back.
struct Printer_Setup {
    Conf conf;
    const char *media_size; // the paper tables' name, which is also the PPD's page size
    const Paper_Conf *paper;
    bool from_settings; // false: the defaults
};
Printer_Setup read_printer_setup(const char *settings_path);
Printer_Setup default_printer_setup();

// The driver name under which CUPS lists and builds this PPD (lpinfo -m, lpadmin -m).
extern const char PPD_NAME[];
// The one line "ravofilter list" gives cups-driverd.
void write_driver_listing(FILE *out);
void write_ppd(FILE *out, const Printer_Setup &setup, const char *settings_path);

// What a queue's PPD says of the things the settings decide.
struct Ppd_Facts {
    bool uses_ravofilter; // a *cupsFilter2 line names ravofilter-cups
    char page_size[48];   // *DefaultPageSize
    int color_device;     // *ColorDevice: 1 True, 0 False, -1 not given
};
Ppd_Facts read_ppd_facts(FILE *ppd);
