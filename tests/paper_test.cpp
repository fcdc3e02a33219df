// The paper tables and their lookup.
#include "paper.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>
#include <vector>

namespace {

struct Lookup_Case {
    const char *paper_source;
    const char *media_size;
    int width, height; // 0, 0: no entry
};

const Lookup_Case lookup_cases[] = {
    {nullptr, "A4", 2976, 4209},     {"", "A4", 2976, 4209},      {"AUTO", "A4", 2976, 4209},
    {"AUTO", "L", 1260, 1800},       {"ROLL", "L", 1261, 1800},   {"ROLL", "4X6", 1417, 2160},
    {"AUTO", "4X6", 0, 0},           {"TROLL", "NC", 1261, 779},  {"TR3300", "NC", 1261, 779},
    {"TR820", "NC", 1261, 779},      {"TAUTO", "PC", 1417, 2098}, {"T4AUTO", "2L", 1800, 2522},
    {"AUTO", "PANORAM", 2976, 8419}, {"auto", "A4", 0, 0},        {"AUTO ", "A4", 0, 0},
    {"ROLLX", "A4", 0, 0},           {"AUTO", "", 0, 0},          {"AUTO", "a4", 0, 0},
    {"ROLL", "PHOTO", 0, 0},         {"AUTO", "A4 ", 0, 0},       {"TR3300", "A5", 0, 0},
    {"TR820", "A5", 0, 0},           {"TROLL", "A5", 0, 0},
};

TEST(Paper, LookupFindsTheEntryOfTheSourcesTable) {
    for (const Lookup_Case &row : lookup_cases) {
        SCOPED_TRACE(std::string(row.paper_source ? row.paper_source : "(null)") + "/" +
                     row.media_size);
        const Paper_Conf *entry = call_paper_conf(row.paper_source, row.media_size);
        ASSERT_EQ(entry != nullptr, row.width != 0);
        if (entry == nullptr) continue;
        EXPECT_STREQ(entry->name, row.media_size);
        EXPECT_EQ(entry->paper_width, row.width);
        EXPECT_EQ(entry->paper_height, row.height);
    }
    EXPECT_EQ(call_paper_conf("T4AUTO", "A4")->area_width, 3047);
    EXPECT_EQ(call_paper_conf("T4AUTO", "A4")->area_height, 4322);
}

// Entry counts, names in order, and column sums worked out from the printed tables, plain
// and weighted by the entry's position: a mistyped value or two swapped values show.
struct Table_Case {
    const char *paper_source;
    const Paper_Conf *table;
    int entries;
    long sums[6];
    long weighted_sums[6];
    std::string names;
};

const Table_Case table_cases[] = {
    {"AUTO",
     paper_auto,
     30,
     {72746, 100460, 69749, 92651, 1260, 2025},
     {1126630, 1527286, 1075885, 1405159, 19530, 31617},
     "A4 A5 A6 A3 A3+ B5 B4 PC DPC PHOTO L ENVC3 ENVC4 ENVY1 ENVY2 ENVY3 ENVY4 LT LGL EXE HLT "
     "INDEX5 INDEX8 ENV10 ENVDL ENVC6 ENV5X8 PP100 PP200 PANORAM "},
    {"ROLL",
     paper_roll,
     16,
     {39568, 52602, 38224, 52602, 672, 0},
     {299652, 380442, 288228, 380442, 5712, 0},
     "A4 A5 A6 A3 A3+ B5 B4 PC DPC LT LGL 4X6 L LL 2L NC "},
    {"TROLL",
     paper_roll_trim,
     9,
     {20804, 27628, 21443, 27628, 0, 0},
     {84051, 102659, 87246, 102659, 0, 0},
     "A4 A3 A3+ PC 4X6 L LL 2L NC "},
    {"TAUTO",
     paper_auto_trim,
     2,
     {4393, 6307, 4535, 5827, 0, 84},
     {5810, 8405, 6023, 7685, 0, 126},
     "A4 PC "},
    {"T4AUTO",
     paper_auto_trim_4,
     6,
     {16326, 23428, 16752, 24011, 0, 0},
     {48156, 69177, 49647, 71319, 0, 0},
     "A4 A3 A3+ PC L 2L "},
};

TEST(Paper, TablesHoldEveryValueAndEndInTheTerminator) {
    for (const Table_Case &row : table_cases) {
        long sums[6] = {}, weighted_sums[6] = {};
        int entries = 0;
        std::string names;
        const Paper_Conf *entry = row.table;
        for (; entry->name != nullptr; ++entry, ++entries) {
            const int32_t values[6] = {entry->paper_width, entry->paper_height, entry->area_width,
                                       entry->area_height, entry->area_left,    entry->area_top};
            for (int i = 0; i < 6; ++i) {
                sums[i] += values[i];
                weighted_sums[i] += (entries + 1) * values[i];
            }
            names += std::string(entry->name) + " ";
            EXPECT_EQ(call_paper_conf(row.paper_source, entry->name), entry); // names are unique
        }
        EXPECT_EQ(entries, row.entries);
        EXPECT_EQ(names, row.names);
        EXPECT_EQ(std::vector<long>(sums, sums + 6), std::vector<long>(row.sums, row.sums + 6));
        EXPECT_EQ(std::vector<long>(weighted_sums, weighted_sums + 6),
                  std::vector<long>(row.weighted_sums, row.weighted_sums + 6));
        EXPECT_EQ(entry->paper_width + entry->paper_height + entry->area_width +
                      entry->area_height + entry->area_left + entry->area_top,
                  -6);
    }
}

TEST(Paper, RoundOffRoundsHalfUpWithinIntRange) {
    const struct {
        double x;
        int rounded;
    } rows[] = {{2.5, 3},
                {2.49, 2},
                {-0.7, 0},
                {-1.6, -1},
                {1e12, INT_MAX},
                {-1e12, INT_MIN},
                {NAN, 0},
                {INFINITY, INT_MAX},
                {2147483646.6, INT_MAX},
                {-2147483648.6, INT_MIN},
                {2147483647.5, INT_MAX},
                {2147483646.4, 2147483646},
                {-2147483648.5, INT_MIN},
                {-2147483649.5, INT_MIN},
                {-2147483647.6, -2147483647}};
    for (const auto &row : rows)
        EXPECT_EQ(round_off(row.x), row.rounded) << row.x;
}

} // namespace
