// ravofilter-check's parts: the findings it writes, its reading of the settings file through
// the filter's own reader, and the other things it looks at (hidden bytes, the spooler's
// users, CUPS queues, the rasterizer, jobs).
#pragma once

#include "../filter/filter.h"
#include "../filter/settings.h"

#include <cstddef>

// Of a piece with the filter's seam, whose records it holds.
#pragma GCC visibility push(hidden)

const int HEADERS_LISTED = 8;

// What the checker has learnt of the settings file.
struct Check {
    const char *path;
    char fallback[160]; // why the filter falls back to its defaults; empty: it does not
    char message[300];  // what the filter then writes on standard error
    char headers[HEADERS_LISTED][40];
    int header_count;
    char alike_header[40]; // a header that names the printer but for case or blanks
    int cut_lines[4];      // lines whose media size or paper source was too long
    bool further_faults;   // the filter stopped before these: findings say "also"
};

// findings.cpp: findings go to standard error as compilers write them, "FILE:LINE: level:
// text"; a finding about another file (a job, a queue's PPD) names it instead. Those held back
// to be counted go out with flush_findings; finish_findings ends the list and starts anew.
void finding(const Check &check, int line, const char *level, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
void finding_on(const char *file, const char *level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void flush_findings();
void finish_findings();
// Appends to a zero-terminated buffer, cutting what does not fit.
void append(char *buffer, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// settings_check.cpp: the filter's reading of the file, with every fault (those the filter
// stops before too) and every line that rarely means what was written, the bytes a person
// does not see, and whether Ghostscript can print at the settings.
struct Settings_Check {
    bool used; // the filter uses the file's settings, not its defaults
    Conf conf;
    Settings_Report report;
    bool prints; // used, and a page can print at them
};
Settings_Check check_settings(Check &check);
// The settings the filter will use and the command it will run (standard output).
void describe_outcome(const Check &check, const Settings_Check &settings);

// hidden_bytes.cpp: what the reader sees that a person does not, in the lines it reads.
void name_hidden_bytes(const Check &check, int section_line);

// users.cpp: how the spooler's users read the file (as root: for real). False when one of
// them falls back to the defaults while the file's settings are usable.
bool check_spooler_users(const Check &check, bool used, const Conf &conf);

// cups_queues.cpp: CUPS queues of this printer whose PPD no longer says what the settings set.
void check_cups_queues(const char *settings);

// rasterizer_report.cpp: whether Ghostscript is there and how it is confined.
void describe_rasterizer();

// jobs.cpp: the road a job takes. False when it will not print as its sender likely expects.
bool describe_job(const char *job);

#pragma GCC visibility pop
