// The filter's settings reader, and the report a second program may ask of it: the checker
// is told what the reader sees and why it stops; the filter itself passes no report and
// behaves as if none of this existed.
#pragma once

#include "filter.h"

#include <cstddef>

// Nothing of this goes into the filter's dynamic symbol table.
#pragma GCC visibility push(hidden)

// Ink modes, as Conf::ink holds them, and the indices of Params.
const int INK_COLOR = 1;
const int INK_MONO = 2;
enum Param_Index { PARAM_INK, PARAM_RESOLUTION, PARAM_MEDIA_SIZE, PARAM_PAPER_SOURCE };

// Why the settings cannot be had; the filter then falls back to Def_Conf.
enum class Fault {
    NONE,
    CANNOT_OPEN,        // text: the system's reason
    TEXT_BEFORE_HEADER, // text: a line before the first section header
    LONE_BRACKET,       // a header "[" before the printer's section
    NO_SECTION,         // the file ends without a section for this printer
    EMPTY_KEY,          // a body line starting with "="
    NO_VALUE,           // text: one of the four keys, given without a value
    NO_INK,
    NO_RESOLUTION, // missing, or no digits
    RESOLUTION_NOT_POSITIVE,
    NO_MEDIA_SIZE,
    UNKNOWN_PAPER_SOURCE,
    MEDIA_SIZE_NOT_IN_SOURCE,
    PAGE_TOO_LARGE, // resolution x paper dimension beyond 32 bits
};

// What the reader passes or accepts, that rarely means what was written.
enum class Notice {
    HEADER,                // text: a header's name; every header met while searching
    TEXT_AFTER_HEADER,     // text: what follows the header's "]"
    LATER_PRINTER_SECTION, // text: a later header naming this printer, never read
    UNKNOWN_KEY,           // text: the key (the whole line when it has no "=")
    KEY_REPEATED,          // text: the key; Settings_Report::key_lines still holds the earlier line
    INK_NOT_A_NAME,        // text: an ink that is neither MONO nor COLOR
    RESOLUTION_TEXT,       // text: a resolution with text after its digits, or none
    VALUE_CUT,             // text: a media size or paper source longer than its field
    LINE_IN_PIECES,        // a line longer than the reader's 253 characters
    NUL_BYTE,              // a NUL byte; the rest of the line is disregarded
};

struct Settings_Report {
    // Each called in file order, line 0 when no line applies; null: not asked for. The
    // filter's own report asks only for its message, which it writes to standard error.
    void (*fault)(Settings_Report &report, Fault fault, int line, const char *text);
    void (*notice)(Settings_Report &report, Notice notice, int line, const char *text);
    void (*message)(Settings_Report &report, const char *text); // what the filter writes
    void *context;                                              // the second program's own state
    // Filled as the reader goes: the line that last set each key (0: never), by the index
    // of Params, and the printer section's header line.
    int key_lines[4];
    int section_line;
    // The values read from the section, before they are validated.
    int ink, resolution;
    char media_size[12], paper_source[12];
    // The checker's reading: past a malformed line of the section (noted, and the file still
    // counts as malformed) and on through the headers after it, to report all there is.
    bool read_on;
};

// Reads the settings file at path as the filter reads /etc/ravorc; returns 0 when *conf
// was filled, 1 otherwise. With a report, the filter's message goes to it, not to stderr;
// with none, the filter's own report is used. The reader stops where the filter stops,
// unless the report asks it to read on.
int read_settings(const char *path, Conf *conf, Settings_Report *report);
// The filter's own reading of its settings file; 1, with *conf untouched, on any failure.
int read_conf(Conf *conf);
// The printer model whose section the reader looks for, and the file the filter reads.
const char *model_name();
const char *settings_path();
// The index in Params of a key that names a parameter exactly; -1 for any other key.
int param_index(const char *key);
// Why the filter cannot use these values, as it validates them; Fault::NONE when it can.
Fault validate_settings(int ink, int resolution, const char *media_size, const char *paper_source);
// The page of these values as the filter computes it: Fault::NONE with *conf filled, or
// why the filter cannot use them, *conf untouched.
Fault job_conf(int ink, int resolution, const char *media_size, const char *paper_source,
               Conf *conf);
#pragma GCC visibility pop
