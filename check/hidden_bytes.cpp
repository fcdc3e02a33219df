// What the settings reader sees that a person does not.
#include "check.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

namespace {

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

} // namespace

// A byte-order mark, a no-break space, other non-ASCII or control bytes, and what people take
// for comments or quoting. Only the lines the filter reads count: those before the printer's
// section, and the section itself.

void name_hidden_bytes(const Check &check, int section_line) {
    const bool cr_only = lines_end_in_cr(check.path);
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
