// The checker's reading of the settings file: the filter's own reader, with a report that
// explains every fault (why the filter falls back to its defaults) and every notice (what it
// accepts that rarely means what was written), then the faults the filter never reaches, and
// whether Ghostscript can print a page at the settings it uses.
#include "check.h"

#include "../filter/config.h"
#include "../filter/job_road.h"
#include "../paper/paper.h"

#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

const int MM_PER_10_INCH = 254;
const char NO_USABLE_SETTINGS[] = "the printer's section gives no usable settings";

void fall_back(Check &check, const char *why, int line) {
    if (check.fallback[0] != '\0') return;
    if (line > 0)
        snprintf(check.fallback, sizeof check.fallback, "%s (line %d)", why, line);
    else
        snprintf(check.fallback, sizeof check.fallback, "%s", why);
}

// Folds a name for comparing it loosely: no case, no blanks, underscores, hyphens or
// non-ASCII bytes (a no-break space, say).
void fold(const char *name, char *folded, size_t size) {
    size_t length = 0;
    for (const unsigned char *c = (const unsigned char *)name; *c != '\0' && length + 1 < size; ++c)
        if (*c > ' ' && *c < 0x80 && *c != '_' && *c != '-')
            folded[length++] = char(*c >= 'A' && *c <= 'Z' ? *c - 'A' + 'a' : *c);
    folded[length] = '\0';
}

bool alike(const char *name, const char *known, bool as_prefix) {
    char folded_name[256], folded_known[256];
    fold(name, folded_name, sizeof folded_name);
    fold(known, folded_known, sizeof folded_known);
    const size_t length = strlen(folded_name);
    if (length == 0) return false;
    return as_prefix ? strncmp(folded_known, folded_name, length) == 0
                     : strcmp(folded_known, folded_name) == 0;
}

// The media size of the table that a name most likely means: the same but for case or
// blanks, the name people give it (Letter for LT), or the start of a longer name (A4 of
// "A4 Landscape"). Null when none.
const char *suggest_media_size(const char *name, const Paper_Conf *table) {
    const struct {
        const char *spoken, *name;
    } aliases[] = {{"letter", "LT"},   {"legal", "LGL"},      {"executive", "EXE"},
                   {"postcard", "PC"}, {"halfletter", "HLT"}, {"statement", "HLT"}};
    char folded[64];
    fold(name, folded, sizeof folded);
    const char *best = nullptr;
    size_t best_length = 0;
    for (const Paper_Conf *entry = table; entry != nullptr && entry->name != nullptr; ++entry) {
        char known[16];
        fold(entry->name, known, sizeof known);
        const size_t length = strlen(known);
        const bool prefix = strncmp(folded, known, length) == 0;
        for (const auto &alias : aliases)
            if (strcmp(alias.name, entry->name) == 0 &&
                strncmp(folded, alias.spoken, strlen(alias.spoken)) == 0)
                return entry->name;
        if (prefix && length > best_length) {
            best = entry->name;
            best_length = length;
        }
    }
    return best;
}

// "A, B, C" from the names of a paper table, or of the paper sources.
void list_names(char *list, size_t size, const Paper_Conf *table) {
    list[0] = '\0';
    for (; table != nullptr && table->name != nullptr; ++table)
        append(list, size, "%s%s", list[0] ? ", " : "", table->name);
}

void list_sources(char *list, size_t size) {
    list[0] = '\0';
    for (const Paper_Source &source : paper_sources)
        append(list, size, "%s%s", list[0] ? ", " : "", source.word);
}

// A media size or paper source that was cut to its field names nothing: say so instead.
bool report_cut_value(const Check &check, const Settings_Report &report, int key, int line) {
    if (check.cut_lines[key] == 0 || check.cut_lines[key] != report.key_lines[key]) return false;
    finding(check, line, "error", "%s is longer than %d characters and names nothing", Params[key],
            int(sizeof report.media_size) - 1);
    return true;
}

// The faults that take more than one sentence.

void explain_cannot_open(Check &check, const Settings_Report &, int, const char *reason) {
    struct stat file;
    if (stat(check.path, &file) == 0 && !S_ISREG(file.st_mode) && !S_ISDIR(file.st_mode))
        finding(check, 0, "error", "it is %s, not a regular file: the filter does not read it",
                S_ISFIFO(file.st_mode)   ? "a FIFO (named pipe)"
                : S_ISSOCK(file.st_mode) ? "a socket"
                                         : "a device");
    else
        finding(check, 0, "error", "cannot open it: %s", reason);
}

void explain_no_section(Check &check, const Settings_Report &, int, const char *) {
    struct stat file;
    if (stat(check.path, &file) == 0 && S_ISDIR(file.st_mode)) {
        finding(check, 0, "error",
                "it is a directory, not a file: the filter reads nothing from it and prints "
                "with its defaults");
        fall_back(check, "the path is a directory", 0);
        return;
    }
    char seen[HEADERS_LISTED * 44] = "";
    for (int index = 0; index < check.header_count; ++index)
        append(seen, sizeof seen, "%s[%s]", index ? ", " : "", check.headers[index]);
    finding(check, 0, "error", "no section for %s; headers seen: %s", model_name(),
            seen[0] != '\0' ? seen : "none");
    if (check.alike_header[0] != '\0')
        finding(check, 0, "error",
                "[%s] differs from the model name only in case or blanks; headers are "
                "compared exactly, without blanks: [%s] would do",
                check.alike_header, model_name());
}

void explain_no_resolution(Check &check, const Settings_Report &report, int line, const char *) {
    finding(check, line, "error",
            report.key_lines[PARAM_RESOLUTION] != 0
                ? "resolution has no digits and reads as 0"
                : "the section sets no resolution, e.g. resolution=360");
}

void explain_not_positive(Check &check, const Settings_Report &report, int line, const char *) {
    finding(check, line, "error", "resolution %d is not greater than 0", report.resolution);
}

void explain_unknown_source(Check &check, const Settings_Report &report, int line, const char *) {
    if (report_cut_value(check, report, PARAM_PAPER_SOURCE, line)) return;
    char list[256];
    list_sources(list, sizeof list);
    finding(check, line, "error", "unknown paper source \"%s\"; the paper sources are %s",
            report.paper_source, list);
}

void explain_size_not_in_source(Check &check, const Settings_Report &report, int line,
                                const char *) {
    if (report_cut_value(check, report, PARAM_MEDIA_SIZE, line)) return;
    char list[256];
    const Paper_Conf *table = paper_source_table(report.paper_source);
    list_names(list, sizeof list, table);
    if (const char *meant = suggest_media_size(report.media_size, table))
        finding(check, line, "error",
                "paper source %s takes no media size \"%s\"; did you mean %s? It takes %s",
                report.paper_source, report.media_size, meant, list);
    else
        finding(check, line, "error", "paper source %s takes no media size \"%s\"; it takes %s",
                report.paper_source, report.media_size, list);
}

void explain_page_too_large(Check &check, const Settings_Report &report, int line, const char *) {
    const Paper_Conf *paper = call_paper_conf(report.paper_source, report.media_size);
    const int longest = paper == nullptr                           ? 1
                        : paper->paper_width > paper->paper_height ? paper->paper_width
                                                                   : paper->paper_height;
    finding(check, line, "error",
            "resolution %d is too large for %s: the page would not fit in 32 bits; at most %d",
            report.resolution, report.media_size, INT_MAX / longest);
}

// How each fault is told: an error (a format with at most one %s, the reader's text) or a
// function where it takes more; and why the filter then falls back to its defaults, at the
// fault's line, or of the whole file.
struct Fault_Told {
    Fault fault;
    const char *error;
    void (*explain)(Check &check, const Settings_Report &report, int line, const char *text);
    const char *falls_back;
    bool whole_file;
};
const Fault_Told FAULTS_TOLD[] = {
    {Fault::CANNOT_OPEN, nullptr, explain_cannot_open, "the file cannot be opened", true},
    {Fault::TEXT_BEFORE_HEADER,
     "\"%.60s\" stands before the first section header, where only empty lines may (there are "
     "no comments): the file is malformed",
     nullptr, "the file is malformed", false},
    {Fault::LONE_BRACKET, "a header \"[\" without a name: the file is malformed", nullptr,
     "the file is malformed", false},
    {Fault::NO_SECTION, nullptr, explain_no_section, "the file has no section for this printer",
     true},
    {Fault::EMPTY_KEY, "a line that starts with \"=\": the file is malformed", nullptr,
     "the file is malformed", false},
    {Fault::NO_VALUE, "%s without a value: the file is malformed", nullptr, "the file is malformed",
     false},
    {Fault::NO_INK, "the section sets no ink: ink=MONO (grey) or ink=COLOR", nullptr,
     NO_USABLE_SETTINGS, false},
    {Fault::NO_RESOLUTION, nullptr, explain_no_resolution, NO_USABLE_SETTINGS, false},
    {Fault::RESOLUTION_NOT_POSITIVE, nullptr, explain_not_positive, NO_USABLE_SETTINGS, false},
    {Fault::NO_MEDIA_SIZE, "the section sets no media size, e.g. mediasize=A4", nullptr,
     NO_USABLE_SETTINGS, false},
    {Fault::UNKNOWN_PAPER_SOURCE, nullptr, explain_unknown_source, NO_USABLE_SETTINGS, false},
    {Fault::MEDIA_SIZE_NOT_IN_SOURCE, nullptr, explain_size_not_in_source, NO_USABLE_SETTINGS,
     false},
    {Fault::PAGE_TOO_LARGE, nullptr, explain_page_too_large, NO_USABLE_SETTINGS, false},
};

void tell_fault(Check &check, const Settings_Report &report, Fault fault, int line,
                const char *text) {
    for (const Fault_Told &told : FAULTS_TOLD) {
        if (told.fault != fault) continue;
        if (told.whole_file) line = 0;
        if (told.error != nullptr)
            finding(check, line, "error", told.error, text);
        else
            told.explain(check, report, line, text);
        fall_back(check, told.falls_back, line);
    }
}

// The notices that take more than one sentence, or that are remembered for later.

void remember_header(Check &check, const Settings_Report &, int, const char *name) {
    if (check.header_count < HEADERS_LISTED)
        snprintf(check.headers[check.header_count++], sizeof check.headers[0], "%s", name);
    if (check.alike_header[0] == '\0' && alike(name, model_name(), true))
        snprintf(check.alike_header, sizeof check.alike_header, "%s", name);
}

void explain_later_section(Check &check, const Settings_Report &report, int line,
                           const char *header) {
    finding(check, line, "warning",
            "%s names this printer too, but only the first such section (line %d) is read", header,
            report.section_line);
}

void explain_unknown_key(Check &check, const Settings_Report &, int line, const char *key) {
    for (int index = 0; index < Param_Num; ++index)
        if (alike(key, Params[index], false)) {
            finding(check, line, "warning",
                    "unknown key \"%.60s\" is ignored; did you mean \"%s\"?", key, Params[index]);
            return;
        }
    finding(check, line, "warning", "unknown key \"%.60s\" is ignored", key);
}

void explain_repeated_key(Check &check, const Settings_Report &report, int line, const char *key) {
    finding(check, line, "warning", "%s given again (before at line %d): line %d wins", key,
            report.key_lines[param_index(key)], line);
}

void explain_resolution_text(Check &check, const Settings_Report &, int line, const char *value) {
    if (*value >= '0' && *value <= '9') // without digits it is a fault, told as one
        finding(check, line, "warning", "resolution \"%s\": the text after the digits is ignored",
                value);
}

void remember_cut_value(Check &check, const Settings_Report &report, int line, const char *) {
    check.cut_lines[report.key_lines[PARAM_MEDIA_SIZE] == line ? PARAM_MEDIA_SIZE
                                                               : PARAM_PAPER_SOURCE] = line;
}

// How each notice is told: a warning (a format with at most one %s, the reader's text), or a
// function where it takes more.
struct Notice_Told {
    Notice notice;
    const char *warning;
    void (*explain)(Check &check, const Settings_Report &report, int line, const char *text);
};
const Notice_Told NOTICES_TOLD[] = {
    {Notice::HEADER, nullptr, remember_header},
    {Notice::TEXT_AFTER_HEADER, "\"%s\" after the header's \"]\" is ignored", nullptr},
    {Notice::LATER_PRINTER_SECTION, nullptr, explain_later_section},
    {Notice::UNKNOWN_KEY, nullptr, explain_unknown_key},
    {Notice::KEY_REPEATED, nullptr, explain_repeated_key},
    {Notice::INK_NOT_A_NAME,
     "ink \"%s\" is neither MONO nor COLOR: the filter prints in colour (only MONO, in capitals, "
     "selects grey)",
     nullptr},
    {Notice::RESOLUTION_TEXT, nullptr, explain_resolution_text},
    {Notice::VALUE_CUT, nullptr, remember_cut_value},
    {Notice::LINE_IN_PIECES,
     "longer than 253 characters: the filter reads it in pieces, each as a line of its own",
     nullptr},
    {Notice::NUL_BYTE, "a NUL byte: the filter ignores the rest of the line", nullptr},
};

// The reader's report, as it reads.
void on_fault(Settings_Report &report, Fault fault, int line, const char *text) {
    tell_fault(*static_cast<Check *>(report.context), report, fault, line, text);
}

void on_notice(Settings_Report &report, Notice notice, int line, const char *text) {
    Check &check = *static_cast<Check *>(report.context);
    for (const Notice_Told &told : NOTICES_TOLD) {
        if (told.notice != notice) continue;
        if (told.warning != nullptr)
            finding(check, line, "warning", told.warning, text);
        else
            told.explain(check, report, line, text);
    }
}

void on_message(Settings_Report &report, const char *text) {
    Check &check = *static_cast<Check *>(report.context);
    snprintf(check.message, sizeof check.message, "%s", text);
}

// The line of the key a fault is about, or the section's header.
int fault_line(const Settings_Report &report, Fault fault) {
    const int key = fault == Fault::MEDIA_SIZE_NOT_IN_SOURCE || fault == Fault::NO_MEDIA_SIZE
                        ? PARAM_MEDIA_SIZE
                    : fault == Fault::UNKNOWN_PAPER_SOURCE ? PARAM_PAPER_SOURCE
                    : fault == Fault::NO_INK               ? PARAM_INK
                                                           : PARAM_RESOLUTION;
    return report.key_lines[key] > 0 ? report.key_lines[key] : report.section_line;
}

// Sets a value the filter refuses aside, with one it takes, so that validation goes on to
// the next; false for what is no fault of a value.
bool set_aside(Settings_Report &report, Fault fault) {
    switch (fault) {
    case Fault::NO_INK:
        report.ink = INK_COLOR;
        return true;
    case Fault::NO_RESOLUTION:
    case Fault::RESOLUTION_NOT_POSITIVE:
    case Fault::PAGE_TOO_LARGE:
        report.resolution = Def_Conf.resolution;
        return true;
    case Fault::UNKNOWN_PAPER_SOURCE:
        snprintf(report.paper_source, sizeof report.paper_source, "%s", paper_sources[0].word);
        return true;
    case Fault::NO_MEDIA_SIZE:
    case Fault::MEDIA_SIZE_NOT_IN_SOURCE: {
        // An unknown paper source is set aside after the media size: until then, any table.
        const Paper_Conf *table = paper_source_table(report.paper_source);
        snprintf(report.media_size, sizeof report.media_size, "%s",
                 (table != nullptr ? table : paper_sources[0].table)->name);
        return true;
    }
    default:
        return false;
    }
}

// The filter stops at the first value it cannot use; the others come here, each found by
// the filter's own validation once the ones before it are set aside.
void report_further_faults(Check &check, Settings_Report report) {
    if (report.section_line == 0) return;
    Fault fault =
        validate_settings(report.ink, report.resolution, report.media_size, report.paper_source);
    // A malformed section gave no fault of its values yet: the first one is further too.
    if (strstr(check.fallback, "malformed") != nullptr && fault != Fault::NONE) {
        check.further_faults = true;
        tell_fault(check, report, fault, fault_line(report, fault), "");
        check.further_faults = false;
    }
    for (int round = 0; round < Param_Num + 2 && fault != Fault::NONE; ++round) {
        if (!set_aside(report, fault)) return;
        fault = validate_settings(report.ink, report.resolution, report.media_size,
                                  report.paper_source);
        if (fault == Fault::NONE) break;
        check.further_faults = true;
        tell_fault(check, report, fault, fault_line(report, fault), "");
        check.further_faults = false;
    }
}

// Settings the filter takes but at which Ghostscript cannot print a page, measured with
// Ghostscript 10.00: at 1 dpi it stops with "rangecheck in setscreen" (2 dpi prints); its PNG
// writer (libpng) refuses a page over 1,000,000 pixels wide or high; and one simple page
// took 9.7 ns of CPU a pixel in grey, 27 ns in colour (at 1440 dpi on A4), so a page past
// the CPU limit at that rate never comes out. Each makes every PostScript job fail.
const int LEAST_RESOLUTION = 2;
const long long PNG_MOST_PIXELS = 1000000;
const double SECONDS_A_PIXEL_GREY = 9.7e-9, SECONDS_A_PIXEL_COLOUR = 2.7e-8;
const double SLOW_PAGE_SECONDS = 60;

// False when every PostScript job will fail with these settings.
bool check_page_can_print(const Check &check, const Conf &conf, const Settings_Report &report) {
    const int line = report.key_lines[PARAM_RESOLUTION];
    if (conf.resolution < LEAST_RESOLUTION) {
        finding(check, line, "error",
                "Ghostscript cannot rasterize at %d dpi (rangecheck in setscreen): every "
                "PostScript job would fail; %d dpi is the least that prints",
                conf.resolution, LEAST_RESOLUTION);
        return false;
    }
    if (conf.width > PNG_MOST_PIXELS || conf.height > PNG_MOST_PIXELS) {
        finding(check, line, "error",
                "at %d dpi a page is %d x %d pixels, and the PNG writer refuses more than %lld "
                "either way: every PostScript job would fail",
                conf.resolution, conf.width, conf.height, PNG_MOST_PIXELS);
        return false;
    }
    const double pixels = double(conf.width) * conf.height;
    const double seconds =
        pixels * (conf.ink == INK_MONO ? SECONDS_A_PIXEL_GREY : SECONDS_A_PIXEL_COLOUR);
    const uint64_t cpu_limit = filter_config.limits.cpu_seconds;
    if (seconds > double(cpu_limit)) {
        finding(check, line, "error",
                "at %d dpi a page is %d x %d pixels (%.0f MB of raster), which takes at least "
                "about %.0f s of CPU time, beyond the rasterizer's limit of %llu s: every "
                "PostScript job would be stopped",
                conf.resolution, conf.width, conf.height,
                pixels * (conf.ink == INK_MONO ? 1 : 3) / 1e6, seconds,
                (unsigned long long)cpu_limit);
        return false;
    }
    if (seconds > SLOW_PAGE_SECONDS)
        finding(check, line, "warning",
                "at %d dpi a page is %d x %d pixels, which takes at least about %.0f s of CPU "
                "time a page",
                conf.resolution, conf.width, conf.height, seconds);
    return true;
}

} // namespace

Settings_Check check_settings(Check &check) {
    Settings_Check settings = {
        false,
        {},
        {on_fault, on_notice, on_message, &check, {0, 0, 0, 0}, 0, 0, 0, "", "", true},
        false};
    settings.used = read_settings(check.path, &settings.conf, &settings.report) == 0;
    if (!settings.used) report_further_faults(check, settings.report);
    name_hidden_bytes(check, settings.report.section_line);
    settings.prints = settings.used && check_page_can_print(check, settings.conf, settings.report);
    return settings;
}

void describe_outcome(const Check &check, const Settings_Check &settings) {
    const Conf &conf = settings.conf;
    const Settings_Report &report = settings.report;
    if (settings.used) {
        const Paper_Conf *paper = call_paper_conf(report.paper_source, report.media_size);
        printf("settings: %s, %d dpi, %s from paper source %s: %d x %d pixels (%.1f x %.1f mm)\n",
               conf.ink == INK_MONO ? "grey" : "colour", conf.resolution, report.media_size,
               report.paper_source, conf.width, conf.height,
               paper->paper_width * MM_PER_10_INCH / 10.0 / PAPER_UNITS_PER_INCH,
               paper->paper_height * MM_PER_10_INCH / 10.0 / PAPER_UNITS_PER_INCH);
    } else {
        printf("settings: defaults (colour, %d dpi, A4: %d x %d pixels), because %s",
               Def_Conf.resolution, Def_Conf.width, Def_Conf.height, check.fallback);
        if (check.message[0] != '\0') printf("; the filter writes \"%s\"", check.message);
        putchar('\n');
    }
    char command[256];
    if (format_command(settings.used ? conf : Def_Conf, command, sizeof command))
        printf("command: %s\n", command);
}
