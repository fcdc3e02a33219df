// Settings of the Quorvin 7X Series filter, shared with anything that links the filter.
#pragma once

#include <cstdint>

// Printer settings for one job: ink mode (1 colour, 2 grey), dots per inch, page size in pixels.
struct Conf {
    int32_t ink;
    int32_t resolution;
    int32_t width;
    int32_t height;
};

// Used whenever the settings file cannot give valid settings: colour, 360 dpi, A4.
extern "C" const Conf Def_Conf;

// Keys of the printer's section, by parameter index: ink, resolution, mediasize, papersource.
extern "C" const char *const Params[4];
extern "C" const int Param_Num;

// Ink names by ink mode 1 and 2.
extern "C" const char *const Inks[2];
extern "C" const int Ink_Num;
