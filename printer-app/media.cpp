#include "media.h"

#include <cups/cups.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// PWG media-source keywords of the paper sources, by their words in the settings file. "auto"
// is not among them: PAPPL offers it itself, for "any source that holds the size".
struct Source_Name {
    const char *word;
    const char *pwg;
};
const Source_Name SOURCE_NAMES[] = {
    {"AUTO", "main"},    {"ROLL", "main-roll"},  {"TROLL", "alternate-roll"}, {"TR3300", "roll-1"},
    {"TR820", "roll-2"}, {"TAUTO", "alternate"}, {"T4AUTO", "photo"},
};
static_assert(sizeof SOURCE_NAMES / sizeof SOURCE_NAMES[0] == PAPER_SOURCE_COUNT,
              "every paper source has a PWG name");

const int HMM_TOLERANCE = 50; // half a millimetre

} // namespace

int units_to_hmm(int32_t units) {
    return round_off(double(units) * 2540.0 / PAPER_UNITS_PER_INCH);
}

const char *pwg_source(const char *paper_source) {
    for (const Source_Name &source : SOURCE_NAMES)
        if (strcmp(source.word, paper_source) == 0) return source.pwg;
    return nullptr;
}

const char *paper_source_of(const char *pwg) {
    for (const Source_Name &source : SOURCE_NAMES)
        if (strcmp(source.pwg, pwg) == 0) return source.word;
    return nullptr;
}

void pwg_size_name(const Paper_Conf &paper, char *name, size_t size) {
    const int width = units_to_hmm(paper.paper_width), length = units_to_hmm(paper.paper_height);
    pwg_media_t *registered = pwgMediaForSize(width, length);
    if (registered != nullptr && abs(registered->width - width) <= HMM_TOLERANCE &&
        abs(registered->length - length) <= HMM_TOLERANCE &&
        strncmp(registered->pwg, "custom_", 7) != 0) {
        snprintf(name, size, "%s", registered->pwg);
        return;
    }
    // Keywords take lower-case letters, digits, '-' and '.': "A3+" becomes "a3plus".
    char keyword[32] = "";
    size_t used = 0;
    for (const char *c = paper.name; *c != '\0' && used + 5 < sizeof keyword; ++c) {
        if (*c == '+') {
            memcpy(keyword + used, "plus", 4);
            used += 4;
        } else {
            keyword[used++] = char(*c >= 'A' && *c <= 'Z' ? *c - 'A' + 'a' : *c);
        }
    }
    keyword[used] = '\0';
    pwgFormatSizeName(name, size, "custom", keyword, width, length, "mm");
}

const Paper_Conf *paper_for(const char *paper_source, const char *pwg_name) {
    const Paper_Conf *entry = paper_source_table(paper_source);
    char name[64];
    for (; entry != nullptr && entry->name != nullptr; ++entry) {
        pwg_size_name(*entry, name, sizeof name);
        if (strcmp(name, pwg_name) == 0) return entry;
    }
    return nullptr;
}

int all_size_names(char names[][64], int capacity) {
    int count = 0;
    for (const Paper_Source &source : paper_sources)
        for (const Paper_Conf *entry = source.table; entry->name != nullptr; ++entry) {
            char name[64];
            pwg_size_name(*entry, name, sizeof name);
            bool known = false;
            for (int i = 0; i < count && !known; ++i)
                known = strcmp(names[i], name) == 0;
            if (!known && count < capacity) snprintf(names[count++], 64, "%s", name);
        }
    return count;
}
