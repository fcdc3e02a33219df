// ravofilter-check: explains what the filter makes of a settings file. It runs the filter's
// own settings reader and prints every line that makes the filter fall back to its defaults
// or that rarely means what was written, the settings and the command the filter will use,
// whether Ghostscript is there and how it is confined, and which road each job takes.
// It reads; it writes nothing but its report.
#include "../cups/ppd.h"
#include "../filter/child.h"
#include "../filter/job_road.h"
#include "../filter/rasterizer.h"
#include "../filter/settings.h"
#include "../paper/paper.h"

#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char USAGE[] = "usage: ravofilter-check [-q] [-f FILE] [JOB...]\n"
                     "  -f, --file=FILE  check FILE instead of the filter's settings file\n"
                     "  -q, --quiet      print nothing; the exit status is the outcome\n"
                     "  -h, --help       print this and exit\n"
                     "      --version    print the version and exit\n";
const int EXIT_SETTINGS_USED = 0, EXIT_DEFAULTS = 1, EXIT_USAGE = 2;
const int MM_PER_10_INCH = 254;
const int HEADERS_LISTED = 8;
const int FINDINGS_SHOWN = 100;

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

// Findings go to standard error as compilers write them. A finding made again on the same or
// the next line (a long line read in pieces, a run of like lines) is counted, not repeated;
// after FINDINGS_SHOWN findings the rest are only counted.
struct Finding_Group {
    char location[PATH_MAX + 16]; // "PATH" or "PATH:LINE" of its first time
    char text[600];               // "level: message"
    int first_line, last_line, times;
};
const int GROUPS_HELD = 8;
struct Findings {
    Finding_Group held[GROUPS_HELD]; // in the order they were first made
    int held_count;
    int shown, not_shown;
};
Findings findings;

// Writes out the oldest held group.
void flush_oldest() {
    const Finding_Group &group = findings.held[0];
    if (findings.shown < FINDINGS_SHOWN) {
        fprintf(stderr, "%s: %s", group.location, group.text);
        if (group.times > 1 && group.last_line == group.first_line)
            fprintf(stderr, " (%d times)", group.times);
        else if (group.times > 1)
            fprintf(stderr, " (%d times, lines %d to %d)", group.times, group.first_line,
                    group.last_line);
        fputc('\n', stderr);
        ++findings.shown;
    } else {
        ++findings.not_shown;
    }
    memmove(findings.held, findings.held + 1,
            sizeof(Finding_Group) * size_t(--findings.held_count));
}

void flush_finding() {
    while (findings.held_count > 0)
        flush_oldest();
}

void finish_findings() {
    flush_finding();
    if (findings.not_shown > 0)
        fprintf(stderr, "ravofilter-check: %d more findings not shown\n", findings.not_shown);
}

void report_finding(const char *file, int line, const char *level, const char *format,
                    va_list arguments) {
    char text[sizeof findings.held[0].text];
    const int length = snprintf(text, sizeof text, "%s: ", level);
    vsnprintf(text + length, sizeof text - size_t(length), format, arguments);
    for (int index = 0; index < findings.held_count && line > 0; ++index) {
        Finding_Group &group = findings.held[index];
        if (strcmp(group.text, text) == 0 && line - group.last_line <= 1 &&
            line >= group.last_line) {
            ++group.times;
            group.last_line = line;
            return;
        }
    }
    // Groups that can grow no more go out, oldest first, keeping the order.
    while (findings.held_count > 0 && (findings.held_count == GROUPS_HELD || line <= 0 ||
                                       findings.held[0].last_line < line - 1))
        flush_oldest();
    Finding_Group &group = findings.held[findings.held_count++];
    if (line > 0)
        snprintf(group.location, sizeof group.location, "%s:%d", file, line);
    else
        snprintf(group.location, sizeof group.location, "%s", file);
    memcpy(group.text, text, sizeof text);
    group.first_line = group.last_line = line;
    group.times = 1;
}

void finding(const Check &check, int line, const char *level, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
void finding(const Check &check, int line, const char *level, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    report_finding(check.path, line, check.further_faults ? "error: also" : level, format,
                   arguments);
    va_end(arguments);
}

// A finding about another file than the settings file: a job, a queue's PPD.
void finding_on(const char *file, const char *level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void finding_on(const char *file, const char *level, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    report_finding(file, 0, level, format, arguments);
    va_end(arguments);
}

// Appends to a zero-terminated buffer, cutting what does not fit.
void append(char *buffer, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void append(char *buffer, size_t size, const char *format, ...) {
    const size_t used = strlen(buffer);
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(buffer + used, size - used, format, arguments);
    va_end(arguments);
}

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

void report_no_section(Check &check) {
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
    fall_back(check, "the file has no section for this printer", 0);
}

// Why the settings the section gives cannot be used, at the line the reader names.
void report_fault(Check &check, const Settings_Report &report, Finding fault, int line) {
    char list[256];
    const Paper_Conf *table = paper_source_table(report.paper_source);
    switch (fault) {
    case Finding::NO_INK:
        finding(check, line, "error", "the section sets no ink: ink=MONO (grey) or ink=COLOR");
        break;
    case Finding::NO_RESOLUTION:
        finding(check, line, "error",
                report.key_lines[PARAM_RESOLUTION] != 0
                    ? "resolution has no digits and reads as 0"
                    : "the section sets no resolution, e.g. resolution=360");
        break;
    case Finding::RESOLUTION_NOT_POSITIVE:
        finding(check, line, "error", "resolution %d is not greater than 0", report.resolution);
        break;
    case Finding::NO_MEDIA_SIZE:
        finding(check, line, "error", "the section sets no media size, e.g. mediasize=A4");
        break;
    case Finding::UNKNOWN_PAPER_SOURCE:
        if (report_cut_value(check, report, PARAM_PAPER_SOURCE, line)) break;
        list_sources(list, sizeof list);
        finding(check, line, "error", "unknown paper source \"%s\"; the paper sources are %s",
                report.paper_source, list);
        break;
    case Finding::MEDIA_SIZE_NOT_IN_SOURCE:
        if (report_cut_value(check, report, PARAM_MEDIA_SIZE, line)) break;
        list_names(list, sizeof list, table);
        if (const char *meant = suggest_media_size(report.media_size, table))
            finding(check, line, "error",
                    "paper source %s takes no media size \"%s\"; did you mean %s? It takes %s",
                    report.paper_source, report.media_size, meant, list);
        else
            finding(check, line, "error", "paper source %s takes no media size \"%s\"; it takes %s",
                    report.paper_source, report.media_size, list);
        break;
    case Finding::PAGE_TOO_LARGE: {
        const Paper_Conf *paper = call_paper_conf(report.paper_source, report.media_size);
        const int longest = paper == nullptr                           ? 1
                            : paper->paper_width > paper->paper_height ? paper->paper_width
                                                                       : paper->paper_height;
        finding(check, line, "error",
                "resolution %d is too large for %s: the page would not fit in 32 bits; at "
                "most %d",
                report.resolution, report.media_size, INT_MAX / longest);
        break;
    }
    case Finding::NONE: // not faults: note() reports these itself
    case Finding::CANNOT_OPEN:
    case Finding::TEXT_BEFORE_HEADER:
    case Finding::LONE_BRACKET:
    case Finding::NO_SECTION:
    case Finding::EMPTY_KEY:
    case Finding::NO_VALUE:
    case Finding::HEADER:
    case Finding::TEXT_AFTER_HEADER:
    case Finding::LATER_PRINTER_SECTION:
    case Finding::UNKNOWN_KEY:
    case Finding::KEY_REPEATED:
    case Finding::INK_NOT_A_NAME:
    case Finding::RESOLUTION_TEXT:
    case Finding::VALUE_CUT:
    case Finding::LINE_IN_PIECES:
    case Finding::NUL_BYTE:
    case Finding::MESSAGE:
        return;
    }
    fall_back(check, "the printer's section gives no usable settings", line);
}

// The filter stops at the first value it cannot use; the others come here, each found by
// the filter's own validation once the ones before it are set aside.
// The line of the key a fault is about, or the section's header.
int fault_line(const Settings_Report &report, Finding fault) {
    const int key = fault == Finding::MEDIA_SIZE_NOT_IN_SOURCE || fault == Finding::NO_MEDIA_SIZE
                        ? PARAM_MEDIA_SIZE
                    : fault == Finding::UNKNOWN_PAPER_SOURCE ? PARAM_PAPER_SOURCE
                    : fault == Finding::NO_INK               ? PARAM_INK
                                                             : PARAM_RESOLUTION;
    return report.key_lines[key] > 0 ? report.key_lines[key] : report.section_line;
}

// Sets a value the filter refuses aside, with one it takes, so that validation goes on to
// the next; false for what is no fault of a value.
bool set_aside(Settings_Report &report, Finding fault) {
    if (fault == Finding::NO_INK)
        report.ink = INK_COLOR;
    else if (fault == Finding::NO_RESOLUTION || fault == Finding::RESOLUTION_NOT_POSITIVE ||
             fault == Finding::PAGE_TOO_LARGE)
        report.resolution = Def_Conf.resolution;
    else if (fault == Finding::UNKNOWN_PAPER_SOURCE)
        snprintf(report.paper_source, sizeof report.paper_source, "%s", paper_sources[0].word);
    else if (fault == Finding::NO_MEDIA_SIZE || fault == Finding::MEDIA_SIZE_NOT_IN_SOURCE) {
        // An unknown paper source is set aside after the media size: until then, any table.
        const Paper_Conf *table = paper_source_table(report.paper_source);
        snprintf(report.media_size, sizeof report.media_size, "%s",
                 (table != nullptr ? table : paper_sources[0].table)->name);
    } else
        return false;
    return true;
}

void report_further_faults(Check &check, Settings_Report report) {
    if (report.section_line == 0) return;
    Finding fault =
        validate_settings(report.ink, report.resolution, report.media_size, report.paper_source);
    // A malformed section gave no fault of its values yet: the first one is further too.
    if (strstr(check.fallback, "malformed") != nullptr && fault != Finding::NONE) {
        check.further_faults = true;
        report_fault(check, report, fault, fault_line(report, fault));
        check.further_faults = false;
    }
    for (int round = 0; round < Param_Num + 2 && fault != Finding::NONE; ++round) {
        if (!set_aside(report, fault)) return;
        fault = validate_settings(report.ink, report.resolution, report.media_size,
                                  report.paper_source);
        if (fault == Finding::NONE) break;
        check.further_faults = true;
        report_fault(check, report, fault, fault_line(report, fault));
        check.further_faults = false;
    }
}

void report_unknown_key(const Check &check, int line, const char *key) {
    for (int index = 0; index < Param_Num; ++index)
        if (alike(key, Params[index], false)) {
            finding(check, line, "warning",
                    "unknown key \"%.60s\" is ignored; did you mean \"%s\"?", key, Params[index]);
            return;
        }
    finding(check, line, "warning", "unknown key \"%.60s\" is ignored", key);
}

void note(Settings_Report &report, Finding found, int line, const char *text) {
    Check &check = *static_cast<Check *>(report.context);
    switch (found) {
    case Finding::CANNOT_OPEN: {
        struct stat file;
        if (stat(check.path, &file) == 0 && !S_ISREG(file.st_mode) && !S_ISDIR(file.st_mode))
            finding(check, 0, "error", "it is %s, not a regular file: the filter does not read it",
                    S_ISFIFO(file.st_mode)   ? "a FIFO (named pipe)"
                    : S_ISSOCK(file.st_mode) ? "a socket"
                                             : "a device");
        else
            finding(check, 0, "error", "cannot open it: %s", text);
        fall_back(check, "the file cannot be opened", 0);
        break;
    }
    case Finding::TEXT_BEFORE_HEADER:
        finding(check, line, "error",
                "\"%.60s\" stands before the first section header, where only empty lines may "
                "(there are no comments): the file is malformed",
                text);
        fall_back(check, "the file is malformed", line);
        break;
    case Finding::LONE_BRACKET:
        finding(check, line, "error", "a header \"[\" without a name: the file is malformed");
        fall_back(check, "the file is malformed", line);
        break;
    case Finding::NO_SECTION:
        report_no_section(check);
        break;
    case Finding::EMPTY_KEY:
        finding(check, line, "error", "a line that starts with \"=\": the file is malformed");
        fall_back(check, "the file is malformed", line);
        break;
    case Finding::NO_VALUE:
        finding(check, line, "error", "%s without a value: the file is malformed", text);
        fall_back(check, "the file is malformed", line);
        break;
    case Finding::HEADER:
        if (check.header_count < HEADERS_LISTED)
            snprintf(check.headers[check.header_count++], sizeof check.headers[0], "%s", text);
        if (check.alike_header[0] == '\0' && alike(text, model_name(), true))
            snprintf(check.alike_header, sizeof check.alike_header, "%s", text);
        break;
    case Finding::TEXT_AFTER_HEADER:
        finding(check, line, "warning", "\"%s\" after the header's \"]\" is ignored", text);
        break;
    case Finding::LATER_PRINTER_SECTION:
        finding(check, line, "warning",
                "%s names this printer too, but only the first such section (line %d) is read",
                text, report.section_line);
        break;
    case Finding::UNKNOWN_KEY:
        report_unknown_key(check, line, text);
        break;
    case Finding::KEY_REPEATED:
        finding(check, line, "warning", "%s given again (before at line %d): line %d wins", text,
                report.key_lines[param_index(text)], line);
        break;
    case Finding::INK_NOT_A_NAME:
        finding(check, line, "warning",
                "ink \"%s\" is neither MONO nor COLOR: the filter prints in colour (only MONO, "
                "in capitals, selects grey)",
                text);
        break;
    case Finding::RESOLUTION_TEXT:
        if (*text >= '0' && *text <= '9')
            finding(check, line, "warning",
                    "resolution \"%s\": the text after the digits is "
                    "ignored",
                    text);
        break;
    case Finding::VALUE_CUT:
        check.cut_lines[report.key_lines[PARAM_MEDIA_SIZE] == line ? PARAM_MEDIA_SIZE
                                                                   : PARAM_PAPER_SOURCE] = line;
        break;
    case Finding::LINE_IN_PIECES:
        finding(check, line, "warning",
                "longer than 253 characters: the filter reads it in "
                "pieces, each as a line of its own");
        break;
    case Finding::NUL_BYTE:
        finding(check, line, "warning", "a NUL byte: the filter ignores the rest of the line");
        break;
    case Finding::MESSAGE:
        snprintf(check.message, sizeof check.message, "%s", text);
        break;
    case Finding::NONE:
        break;
    case Finding::NO_INK:
    case Finding::NO_RESOLUTION:
    case Finding::RESOLUTION_NOT_POSITIVE:
    case Finding::NO_MEDIA_SIZE:
    case Finding::UNKNOWN_PAPER_SOURCE:
    case Finding::MEDIA_SIZE_NOT_IN_SOURCE:
    case Finding::PAGE_TOO_LARGE:
        report_fault(check, report, found, line);
        break;
    }
}

// What one user's reading of the settings file comes to.
struct Reading {
    bool used;
    Conf conf;
    char why[160]; // the first reason it falls back, or ""
};

void remember_why(Settings_Report &report, Finding found, int, const char *text) {
    Reading &reading = *static_cast<Reading *>(report.context);
    if (reading.why[0] != '\0') return;
    if (found == Finding::CANNOT_OPEN)
        snprintf(reading.why, sizeof reading.why, "cannot open it: %s", text);
    if (found == Finding::MESSAGE || found == Finding::NO_SECTION)
        snprintf(reading.why, sizeof reading.why, "%s",
                 found == Finding::NO_SECTION ? "no section for this printer" : text);
}

struct Reading_As {
    const passwd *user;
    const char *path;
    int answer; // write end of the pipe for the Reading
};

[[noreturn]] void read_as_user(void *argument) {
    const Reading_As &asked = *static_cast<const Reading_As *>(argument);
    const passwd &user = *asked.user;
    Reading mine = {};
    Settings_Report report = {remember_why, &mine, {0, 0, 0, 0}, 0, 0, 0, "", "", false};
    if (initgroups(user.pw_name, user.pw_gid) != 0 || setgid(user.pw_gid) != 0 ||
        setuid(user.pw_uid) != 0 || getuid() != user.pw_uid)
        exit_child(1);
    mine.used = read_settings(asked.path, &mine.conf, &report) == 0;
    exit_child(write(asked.answer, &mine, sizeof mine) == ssize_t(sizeof mine) ? 0 : 1);
}

// Reads the file through the filter's reader with the user's identity, in a child that drops
// root's privileges for good. False when the child could not become the user.
bool read_as(const passwd &user, const char *path, Reading *reading) {
    int answer[2];
    if (pipe2(answer, O_CLOEXEC) != 0) return false;
    const Reading_As asked = {&user, path, 3};
    const Child_Start start = {{0, 1, 2, answer[1]}, 0, nullptr, false};
    const pid_t child = fork_child(start, read_as_user, const_cast<Reading_As *>(&asked));
    close(answer[1]);
    const bool answered =
        child > 0 && read(answer[0], reading, sizeof *reading) == ssize_t(sizeof *reading);
    close(answer[0]);
    if (child > 0) wait_child(child);
    return answered;
}

// Whether the file's lines end in CR alone: it has carriage returns and no line feed.
bool lines_end_in_cr(const char *path) {
    struct stat found;
    if (stat(path, &found) != 0 || !S_ISREG(found.st_mode)) return false; // never a FIFO
    FILE *file = fopen(path, "rb");
    if (file == nullptr) return false;
    bool cr = false, lf = false;
    for (int byte; (byte = fgetc(file)) != EOF && !lf;) {
        cr = cr || byte == '\r';
        lf = byte == '\n';
    }
    fclose(file);
    return cr && !lf;
}

// A line as written, for a finding: printable ASCII as it is, the rest as \xNN.
void escape_line(const unsigned char *line, size_t length, char *shown, size_t size) {
    size_t used = 0;
    for (size_t at = 0; at < length && used + 5 < size; ++at)
        used += size_t(line[at] >= 0x20 && line[at] < 0x7f && line[at] != '"' && line[at] != '\\'
                           ? snprintf(shown + used, size - used, "%c", line[at])
                           : snprintf(shown + used, size - used, "\\x%02x", line[at]));
}

// What the reader sees that a person does not: a byte-order mark, a no-break space, other
// non-ASCII or control bytes, and what people take for comments or quoting. Only the lines
// the filter reads count: those before the printer's section, and the section itself.
void name_hidden_bytes(const Check &check, int section_line, bool cr_only) {
    struct stat opened;
    if (stat(check.path, &opened) != 0 || !S_ISREG(opened.st_mode)) return;
    if (cr_only)
        finding(check, 1, "warning",
                "the lines end in a carriage return alone (old Mac line ends): the filter reads "
                "the whole file as one line");
    FILE *file = fopen(check.path, "rb");
    if (file == nullptr) return;
    unsigned char line[4096];
    bool in_section = false;
    for (int number = 1; fgets(reinterpret_cast<char *>(line), sizeof line, file); ++number) {
        size_t length = strcspn(reinterpret_cast<char *>(line), "\n");
        if (length > 0 && line[length - 1] == '\r') --length;
        const size_t first = strspn(reinterpret_cast<char *>(line), " \t");
        if (line[first] == '[') in_section = number == section_line;
        if (section_line > 0 && number > section_line && !in_section) break;
        char shown[300];
        escape_line(line, length < 60 ? length : 60, shown, sizeof shown);
        const char *what = nullptr;
        char detail[96] = "";
        size_t column = 0;
        for (size_t at = 0; at < length && what == nullptr; ++at) {
            const unsigned char byte = line[at];
            column = at + 1;
            if (number == 1 && at == 0 && length >= 3 && memcmp(line, "\xef\xbb\xbf", 3) == 0)
                what = "a UTF-8 byte-order mark, which the filter reads as text; save the file "
                       "without one";
            else if (byte == 0xc2 && at + 1 < length && line[at + 1] == 0xa0)
                what = "a no-break space (U+00A0), which the filter keeps as text where a blank "
                       "is removed";
            else if (byte >= 0x80)
                snprintf(detail, sizeof detail, "a non-ASCII byte 0x%02x, which no name has", byte);
            else if ((byte < 0x20 && byte != '\t' && byte != '\v' && byte != '\f' &&
                      byte != '\r') ||
                     byte == 0x7f)
                snprintf(detail, sizeof detail, "a control character 0x%02x", byte);
            else if ((byte == '#' || byte == ';') && at > first)
                what = "a comment character: there are no comments, so it and what follows are "
                       "part of the line";
            else if (byte == '"' || byte == '\'')
                what = "a quote: quotes are part of the value, not around it";
            if (detail[0] != '\0') what = detail;
        }
        if (what != nullptr)
            finding(check, number, "note", "column %zu of \"%s\": %s", column, shown, what);
    }
    fclose(file);
}

// The spooler runs the filter as lp (BSD lpd, CUPS) or daemon (LPRng). Run as root, the
// checker reads the file as each of them, for real, and says where they fare otherwise;
// run as another user, it can only read as that user. False when a spooler's user falls
// back to the defaults while the file's settings are usable.
bool check_spooler_users(const Check &check, bool used, const Conf &conf) {
    if (geteuid() != 0) {
        const passwd *me = getpwuid(geteuid());
        printf("read as: %s, not as the spooler's users lp and daemon (run it as root for them)\n",
               me != nullptr ? me->pw_name : "this user");
        return true;
    }
    const struct {
        const char *name, *spooler;
    } users[] = {{"lp", "BSD lpd and CUPS"}, {"daemon", "LPRng"}};
    bool all_use = true;
    for (const auto &user : users) {
        const passwd *account = getpwnam(user.name);
        Reading reading = {};
        if (account == nullptr || !read_as(*account, check.path, &reading)) continue;
        if (reading.used == used && (!used || memcmp(&reading.conf, &conf, sizeof conf) == 0))
            continue;
        if (used && !reading.used) {
            finding(check, 0, "error",
                    "as %s, the user %s run the filter as, the filter falls back to its "
                    "defaults: %s",
                    user.name, user.spooler,
                    reading.why[0] != '\0' ? reading.why : "no usable settings");
            all_use = false;
        } else {
            finding(check, 0, "warning", "as %s, the user %s run the filter as, it reads otherwise",
                    user.name, user.spooler);
        }
    }
    return all_use;
}

void describe_outcome(const Check &check, bool used, const Conf &conf,
                      const Settings_Report &report) {
    if (used) {
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
    if (format_command(used ? conf : Def_Conf, command, sizeof command))
        printf("command: %s\n", command);
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
    if (seconds > double(filter_config.limits.cpu_seconds)) {
        finding(check, line, "error",
                "at %d dpi a page is %d x %d pixels (%.0f MB of raster), which takes at least "
                "about %.0f s of CPU time, beyond the rasterizer's limit of %llu s: every "
                "PostScript job would be stopped",
                conf.resolution, conf.width, conf.height,
                pixels * (conf.ink == INK_MONO ? 1 : 3) / 1e6, seconds,
                (unsigned long long)filter_config.limits.cpu_seconds);
        return false;
    }
    if (seconds > SLOW_PAGE_SECONDS)
        finding(check, line, "warning",
                "at %d dpi a page is %d x %d pixels, which takes at least about %.0f s of CPU "
                "time a page",
                conf.resolution, conf.width, conf.height, seconds);
    return true;
}

// CUPS queues of this printer whose PPD no longer says what the settings set: CUPS then lays
// pages out for other paper, and the filter crops them, or sends colour to a grey printer.
void check_cups_queues(const char *settings) {
    const char *server_root = getenv("CUPS_SERVERROOT");
    char folder[PATH_MAX];
    snprintf(folder, sizeof folder, "%s/ppd", server_root != nullptr ? server_root : "/etc/cups");
    DIR *ppds = opendir(folder);
    if (ppds == nullptr) return;
    const Printer_Setup setup = read_printer_setup(settings);
    const bool colour = setup.conf.ink != INK_MONO;
    while (const dirent *entry = readdir(ppds)) {
        const size_t length = strlen(entry->d_name);
        if (length < 5 || strcmp(entry->d_name + length - 4, ".ppd") != 0) continue;
        char path[2 * PATH_MAX];
        snprintf(path, sizeof path, "%s/%s", folder, entry->d_name);
        FILE *file = fopen(path, "r");
        if (file == nullptr) continue;
        const Ppd_Facts ppd = read_ppd_facts(file);
        fclose(file);
        if (!ppd.uses_ravofilter) continue;
        const int queue_length = int(length - 4);
        if (strcmp(ppd.page_size, setup.media_size) != 0)
            finding_on(path, "warning",
                       "CUPS queue %.*s lays pages out on %s, but the settings give %s, so its "
                       "pages are cropped: make its PPD again with lpadmin -p %.*s -m %s",
                       queue_length, entry->d_name, ppd.page_size[0] ? ppd.page_size : "no size",
                       setup.media_size, queue_length, entry->d_name, PPD_NAME);
        if (ppd.color_device != (colour ? 1 : 0))
            finding_on(path, "warning",
                       "CUPS queue %.*s treats the printer as %s, but the settings give %s: make "
                       "its PPD again with lpadmin -p %.*s -m %s",
                       queue_length, entry->d_name, ppd.color_device == 1 ? "colour" : "grey",
                       colour ? "colour" : "grey", queue_length, entry->d_name, PPD_NAME);
    }
    closedir(ppds);
}

// Where the filter's shell finds gs: the same sh, the same PATH (or sh's own default).
bool find_gs(char *found, size_t size) {
    FILE *asked = popen("command -v gs 2>/dev/null", "r");
    if (asked == nullptr) return false;
    const bool answered = fgets(found, int(size), asked) != nullptr;
    const bool known = pclose(asked) == 0 && answered && found[0] == '/';
    found[strcspn(found, "\n")] = '\0';
    return known;
}

void describe_rasterizer() {
    char gs[PATH_MAX];
    if (!find_gs(gs, sizeof gs)) {
        printf("rasterizer: gs is not on PATH: PostScript jobs will fail with status 2\n");
    } else {
        char version[64] = "of unknown version";
        FILE *asked = popen("gs --version 2>/dev/null", "r");
        if (asked != nullptr) {
            char line[48];
            if (fgets(line, sizeof line, asked) != nullptr) {
                line[strcspn(line, "\n")] = '\0';
                snprintf(version, sizeof version, "%s", line);
            }
            pclose(asked);
        }
        printf("rasterizer: %s, Ghostscript %s\n", gs, version);
    }
    const Confinement layers = probe_confinement();
    if (layers.namespaces)
        printf("confinement: user, mount and PID namespaces with a private /tmp of %llu MiB and "
               "%llu files, ",
               (unsigned long long)(filter_config.limits.tmpfs_size >> 20),
               (unsigned long long)filter_config.limits.tmpfs_files);
    else
        printf("confinement: no namespaces (the kernel refuses them: %s), so a private "
               "directory in $TMPDIR or /tmp, unbounded, ",
               strerror(layers.namespace_errno));
    printf("no new privileges, ");
    if (layers.landlock_abi > 0)
        printf("Landlock ABI %d (reading only the system's directories, writing only the "
               "temporary one%s%s), ",
               layers.landlock_abi, layers.landlock_abi >= 4 ? ", no TCP" : "",
               layers.landlock_abi >= 6 ? ", no signals or abstract sockets outside" : "");
    else
        printf("no Landlock (not offered by this kernel), ");
    printf("%s, at most %llu MiB of memory, %llu s of CPU time, no core files, %llu KiB of "
           "messages\n",
           layers.seccomp ? "seccomp (no sockets, no output files, no io_uring, no namespaces)"
                          : "no seccomp filter",
           (unsigned long long)(filter_config.limits.address_space >> 20),
           (unsigned long long)filter_config.limits.cpu_seconds,
           (unsigned long long)(filter_config.limits.message_bytes >> 10));
}

// The first bytes of a job, escaped as in C.
void print_start(const unsigned char *bytes, size_t count) {
    putchar('"');
    for (size_t index = 0; index < count; ++index)
        if (bytes[index] >= ' ' && bytes[index] < 0x7f && bytes[index] != '"' &&
            bytes[index] != '\\')
            putchar(bytes[index]);
        else
            printf("\\x%02x", bytes[index]);
    putchar('"');
}

// What a copied job probably is, and what to do so that it prints.
const char *hint_for(const unsigned char *start, size_t count) {
    auto starts = [&](const char *prefix, size_t length) {
        return count >= length && memcmp(start, prefix, length) == 0;
    };
    if (count == 0) return "it is empty: nothing reaches the printer";
    if (starts("%PDF-", 5))
        return "it is a PDF, which the printer cannot take: convert it to PostScript first, "
               "with pdftops; CUPS with cups-filters does that itself";
    if (starts("\xef\xbb\xbf%!", 5))
        return "it is PostScript behind a UTF-8 byte order mark: remove its first three bytes";
    if (starts("\x1b%-12345X", 9) || starts("@PJL", 4))
        return "it starts with a PJL header: remove everything before the line that starts "
               "with %!";
    if (starts("\xc5\xd0\xd3\xc6", 4))
        return "it is an EPS file with a DOS binary header: extract its PostScript part "
               "(the header's second and third words give its offset and length)";
    if (starts("\x1f\x8b", 2)) return "it is gzip-compressed: decompress it first (gunzip)";
    return nullptr;
}

// The road a job takes. False when it will not print as its sender likely expects: it
// cannot be read, is not a regular file, or is a format the printer cannot take.
bool describe_job(const char *job) {
    const int fd = open(job, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat file;
    if (fd < 0 || fstat(fd, &file) != 0) {
        finding_on(job, "error", "cannot open it: %s", strerror(errno));
        if (fd >= 0) close(fd);
        return false;
    }
    if (!S_ISREG(file.st_mode)) {
        finding_on(job, "error", "it is %s, not a regular file: the filter refuses it (status 1)",
                   S_ISDIR(file.st_mode) ? "a directory" : "not a file");
        close(fd);
        return false;
    }
    unsigned char start[16];
    const ssize_t got = pread(fd, start, sizeof start, 0);
    const size_t count = got > 0 ? size_t(got) : 0;
    const size_t shown = count < 12 ? count : 12;
    dup2(fd, STDIN_FILENO); // the filter classifies its standard input
    close(fd);
    const int road = peek_job();
    printf("%s: ", job);
    if (road < 0) {
        printf("refused with status 1: the filter needs a regular file it can map\n");
        return false;
    }
    printf(road == 0 ? "rasterized as PostScript: it starts with "
                     : "copied to the printer "
                       "unchanged: it starts with ");
    print_start(start, shown);
    printf(road == 0 ? "\n" : ", not %%! or 0x04 %%!\n");
    const char *hint = road == 0 ? nullptr : hint_for(start, count);
    if (hint != nullptr) finding_on(job, "warning", "%s", hint);
    return hint == nullptr;
}

} // namespace

int main(int argc, char **argv) {
    Check check = {};
    check.path = settings_path();
    const option options[] = {{"file", required_argument, nullptr, 'f'},
                              {"quiet", no_argument, nullptr, 'q'},
                              {"help", no_argument, nullptr, 'h'},
                              {"version", no_argument, nullptr, 'V'},
                              {nullptr, 0, nullptr, 0}};
    bool quiet = false;
    for (int chosen; (chosen = getopt_long(argc, argv, "f:qh", options, nullptr)) != -1;) {
        switch (chosen) {
        case 'f':
            check.path = optarg;
            break;
        case 'q':
            quiet = true;
            break;
        case 'h':
            fputs(USAGE, stdout);
            return 0;
        case 'V':
            printf("ravofilter-check %s\n", RAVOFILTER_VERSION);
            return 0;
        default: // getopt_long has named the option
            fputs(USAGE, stderr);
            return EXIT_USAGE;
        }
    }
    if (quiet) { // the exit status alone
        const int nothing = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(nothing, STDOUT_FILENO);
        dup2(nothing, STDERR_FILENO);
    }

    Settings_Report report = {note, &check, {0, 0, 0, 0}, 0, 0, 0, "", "", true};
    Conf conf = {};
    const bool used = read_settings(check.path, &conf, &report) == 0;
    if (!used) report_further_faults(check, report);
    name_hidden_bytes(check, report.section_line, lines_end_in_cr(check.path));
    const bool prints = used && check_page_can_print(check, conf, report);
    const bool spooler_reads = check_spooler_users(check, used, conf);
    flush_finding();
    describe_outcome(check, used, conf, report);
    check_cups_queues(check.path);
    describe_rasterizer();
    bool jobs_print = true;
    for (int job = optind; job < argc; ++job)
        jobs_print = describe_job(argv[job]) && jobs_print;
    finish_findings();
    return prints && spooler_reads && jobs_print ? EXIT_SETTINGS_USED : EXIT_DEFAULTS;
}
