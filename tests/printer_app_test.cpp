// The printer application's media names and page placement.
#include "../printer-app/jobs.h"
#include "../printer-app/media.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

std::string size_name(const Paper_Conf &paper) {
    char name[64];
    pwg_size_name(paper, name, sizeof name);
    return name;
}

TEST(PrinterAppMedia, EveryTableEntryIsFoundAgainByItsNameInItsSource) {
    for (const Paper_Source &source : paper_sources)
        for (const Paper_Conf *entry = source.table; entry->name != nullptr; ++entry) {
            SCOPED_TRACE(std::string(source.word) + "/" + entry->name);
            EXPECT_EQ(paper_for(source.word, size_name(*entry).c_str()), entry);
        }
}

struct Name_Case {
    const char *paper_source, *media_size, *pwg_name;
};

// Registered names where the table's size is theirs, else the table's own dimensions; a size
// a little off a registered one, and a landscape envelope, keep their own.
const Name_Case name_cases[] = {
    {"AUTO", "A4", "iso_a4_210x297mm"},
    {"AUTO", "LT", "na_letter_8.5x11in"},
    {"AUTO", "PC", "jpn_hagaki_100x148mm"},
    {"AUTO", "PP100", "om_small-photo_100x150mm"},
    {"AUTO", "A3+", "custom_a3plus_329x483.02mm"},
    {"AUTO", "ENV10", "custom_env10_241.3x104.78mm"},
    {"ROLL", "4X6", "custom_4x6_99.98x152.4mm"},
    {"ROLL", "L", "oe_photo-l_3.5x5in"},
};

TEST(PrinterAppMedia, SizesAreNamedFromTheTablesDimensions) {
    for (const Name_Case &row : name_cases) {
        SCOPED_TRACE(std::string(row.paper_source) + "/" + row.media_size);
        EXPECT_EQ(size_name(*call_paper_conf(row.paper_source, row.media_size)), row.pwg_name);
    }
}

TEST(PrinterAppMedia, SourcesAndSizesOfferedOnce) {
    std::set<std::string> sources;
    for (const Paper_Source &source : paper_sources) {
        const char *pwg = pwg_source(source.word);
        ASSERT_NE(pwg, nullptr) << source.word;
        EXPECT_STREQ(paper_source_of(pwg), source.word);
        sources.insert(pwg);
    }
    EXPECT_EQ(sources.size(), size_t(PAPER_SOURCE_COUNT));
    EXPECT_EQ(sources.count("auto"), 0u) << "PAPPL offers auto itself";

    char names[PAPPL_MAX_MEDIA][64];
    const int count = all_size_names(names, PAPPL_MAX_MEDIA);
    EXPECT_EQ(count, 34);
    EXPECT_EQ(std::set<std::string>(names, names + count).size(), size_t(count));
    // A size the source's table lacks is refused, as is an unknown source.
    EXPECT_EQ(paper_for("ROLL", "custom_envdl_219.99x110mm"), nullptr);
    EXPECT_EQ(paper_for("TAUTO", "iso_a3_297x420mm"), nullptr);
    EXPECT_EQ(paper_for("CASSETTE", "iso_a4_210x297mm"), nullptr);
}

struct Place_Case {
    pappl_scaling_t scaling;
    int page_width, page_height; // points
    Page_Place expected;
};

// On A4 at 72 dpi: 595x841 points.
const Place_Case place_cases[] = {
    {PAPPL_SCALING_NONE, 300, 300, {1, 0, 0}},
    {PAPPL_SCALING_AUTO, 300, 300, {1, 147.5, 270.5}},
    {PAPPL_SCALING_AUTO_FIT, 300, 300, {1, 0, 0}},
    {PAPPL_SCALING_FIT, 300, 300, {595.0 / 300, 0, 123}},
    {PAPPL_SCALING_FILL, 300, 300, {841.0 / 300, -123, 0}},
    {PAPPL_SCALING_AUTO, 1000, 1000, {0.595, 0, 123}},
    {PAPPL_SCALING_AUTO_FIT, 1000, 1000, {0.595, 0, 123}},
    {PAPPL_SCALING_NONE, 1000, 1000, {1, 0, 0}},
    {PAPPL_SCALING_AUTO, 612, 792, {595.0 / 612, 0, (841 - 792 * 595.0 / 612) / 2}},
    // The media's own size, to within a point, stays where it is whatever the scaling.
    {PAPPL_SCALING_FILL, 596, 842, {1, 0, 0}},
    {PAPPL_SCALING_FIT, 594, 840, {1, 0, 0}},
    {PAPPL_SCALING_FIT, 0, 0, {1, 0, 0}},
};

TEST(PrinterAppScaling, PagesArePlacedByPrintScaling) {
    for (const Place_Case &row : place_cases) {
        SCOPED_TRACE(std::to_string(row.scaling) + " " + std::to_string(row.page_width) + "x" +
                     std::to_string(row.page_height));
        const Page_Place place = place_page(row.scaling, row.page_width, row.page_height, 595, 841);
        EXPECT_NEAR(place.scale, row.expected.scale, 1e-9);
        EXPECT_NEAR(place.x, row.expected.x, 1e-9);
        EXPECT_NEAR(place.y, row.expected.y, 1e-9);
    }
}

} // namespace
