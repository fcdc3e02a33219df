// A finding made again on the same or the next line (a long line read in pieces, a run of
// like lines) is counted, not repeated; after FINDINGS_SHOWN findings the rest are only
// counted.
#include "check.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

const int FINDINGS_SHOWN = 100;
const int GROUPS_HELD = 8;

struct Finding_Group {
    char location[PATH_MAX + 16]; // "PATH" or "PATH:LINE" of its first time
    char text[600];               // "level: message"
    int first_line, last_line, times;
};
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

} // namespace

void flush_findings() {
    while (findings.held_count > 0)
        flush_oldest();
}

void finish_findings() {
    flush_findings();
    if (findings.not_shown > 0)
        fprintf(stderr, "ravofilter-check: %d more findings not shown\n", findings.not_shown);
    findings = {};
}

void finding(const Check &check, int line, const char *level, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    report_finding(check.path, line, check.further_faults ? "error: also" : level, format,
                   arguments);
    va_end(arguments);
}

void finding_on(const char *file, const char *level, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    report_finding(file, 0, level, format, arguments);
    va_end(arguments);
}

void append(char *buffer, size_t size, const char *format, ...) {
    const size_t used = strlen(buffer);
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(buffer + used, size - used, format, arguments);
    va_end(arguments);
}
