// Paper tables of the Quorvin 7X Series: for each paper source, the media sizes it takes
// with their dimensions in 1/360 inch, and the lookup by paper source and media size.
#pragma once

#include <cstdint>

// Paper dimensions are in 1/360 inch.
const int PAPER_UNITS_PER_INCH = 360;

struct Paper_Conf {
    const char *name; // media size name; null in the terminator entry
    int32_t paper_width;
    int32_t paper_height;
    int32_t area_width; // printable area and its offsets from the paper's edges
    int32_t area_height;
    int32_t area_left;
    int32_t area_top;
};

// Each table ends in an entry whose name is null and whose numbers are all -1.
extern "C" const Paper_Conf paper_auto[31];
extern "C" const Paper_Conf paper_roll[17];
extern "C" const Paper_Conf paper_roll_trim[10];
extern "C" const Paper_Conf paper_auto_trim[3];
extern "C" const Paper_Conf paper_auto_trim_4[7];

// The entry for a media size in the table of a paper source (null or "" means AUTO);
// null when the paper source is unknown or its table lacks the media size.
extern "C" const Paper_Conf *call_paper_conf(const char *paper_source, const char *media_size);

// x rounded half up, i.e. x + 0.5 truncated toward zero; clamped to the int range, NaN gives 0.
extern "C" int round_off(double x);

// The paper sources with their tables, and the table of one (null or "" means AUTO; null
// when unknown). Kept out of the dynamic symbol table.
#pragma GCC visibility push(hidden)
struct Paper_Source {
    const char *word;
    const Paper_Conf *table;
};
const int PAPER_SOURCE_COUNT = 7;
extern const Paper_Source paper_sources[PAPER_SOURCE_COUNT];
const Paper_Conf *paper_source_table(const char *paper_source);
#pragma GCC visibility pop
