// The PPD of a CUPS queue for the Quorvin 7X Series, written from the settings file through
// the filter's own reader, so that CUPS lays pages out on the paper the filter rasterizes.
#pragma once

#include "../filter/printer_setup.h"

#include <cstdio>

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
