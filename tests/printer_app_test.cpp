// The printer application's media names, page and image placement, the bounds it sets on
// what clients send, and its image decoder.
#include "../printer-app/access.h"
#include "../printer-app/image_decoder.h"
#include "../printer-app/job_plan.h"
#include "../printer-app/media.h"
#include "../printer-app/upstream_guards.h"

#include "../filter/settings.h"

#include <crypt.h>
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <png.h>
#include <unistd.h>
#include <zlib.h>

#include <set>
#include <string>
#include <vector>

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

// The images' places on an A4 page at 360 dpi with 42-unit margins (2976x4209 pixels).
const Image_Page A4_360 = {
    Image_Format::PNG, 2976, 4209, 360, false, Image_Scaling::AUTO, 3, 42, 42, 42, 42, 1000000000};

struct Image_Place_Case {
    const char *what;
    Image_Scaling scaling;
    int orientation, width, height, ppi;
    Image_Place expected;
};

const Image_Place_Case image_place_cases[] = {
    {"small, at its own resolution, centred",
     Image_Scaling::AUTO,
     3,
     360,
     180,
     360,
     {1308, 2014, 360, 180, 3}},
    {"without a resolution: fitted to the printable area",
     Image_Scaling::AUTO,
     3,
     100,
     50,
     0,
     {42, 1381, 2892, 1446, 3}},
    {"larger than the page: fitted",
     Image_Scaling::AUTO_FIT,
     3,
     6000,
     3000,
     360,
     {42, 1381, 2892, 1446, 3}},
    {"fill covers the whole page, cut at its sides",
     Image_Scaling::FILL,
     3,
     100,
     50,
     0,
     {-2721, 0, 8418, 4209, 3}},
    {"none at 200 ppi when it has no resolution",
     Image_Scaling::NONE,
     3,
     200,
     100,
     0,
     {1308, 2014, 360, 180, 3}},
    {"turned a quarter, sides swapped",
     Image_Scaling::FIT,
     4,
     100,
     50,
     0,
     {457, 42, 2062, 4125, 4}},
    {"no orientation asked: a wide image on a tall page is turned",
     Image_Scaling::FIT,
     0,
     100,
     50,
     0,
     {457, 42, 2062, 4125, 4}},
    {"an image of absurd size still gets numbers that fit",
     Image_Scaling::NONE,
     3,
     2000000000,
     1,
     1,
     {42 + (2892 - (1 << 30)) / 2, 1924, 1 << 30, 360, 3}},
};

TEST(PrinterAppImages, ImagesArePlacedByScalingAndOrientation) {
    for (const Image_Place_Case &row : image_place_cases) {
        SCOPED_TRACE(row.what);
        Image_Page page = A4_360;
        page.scaling = row.scaling;
        page.orientation = row.orientation;
        const Image_Place place = place_image(page, row.width, row.height, row.ppi);
        EXPECT_EQ(place.x, row.expected.x);
        EXPECT_EQ(place.y, row.expected.y);
        EXPECT_EQ(place.width, row.expected.width);
        EXPECT_EQ(place.height, row.expected.height);
        EXPECT_EQ(place.orientation, row.expected.orientation);
    }
}

TEST(PrinterAppImages, TheHelpersCommandLineCarriesThePageWhole) {
    Image_Page page = A4_360;
    page.format = Image_Format::JPEG;
    page.max_pixels = largest_page_pixels(1440);
    char values[IMAGE_PAGE_ARGUMENTS][24];
    image_page_arguments(page, values);
    std::vector<char *> arguments;
    for (auto &value : values)
        arguments.push_back(value);
    Image_Page parsed;
    ASSERT_TRUE(parse_image_page(IMAGE_PAGE_ARGUMENTS, arguments.data(), &parsed));
    EXPECT_TRUE(parsed.format == page.format && parsed.width == page.width &&
                parsed.height == page.height && parsed.resolution == page.resolution &&
                parsed.grey == page.grey && parsed.scaling == page.scaling &&
                parsed.orientation == page.orientation && parsed.margin_left == page.margin_left &&
                parsed.margin_top == page.margin_top && parsed.margin_right == page.margin_right &&
                parsed.margin_bottom == page.margin_bottom && parsed.max_pixels == page.max_pixels);
    EXPECT_FALSE(parse_image_page(IMAGE_PAGE_ARGUMENTS - 1, arguments.data(), &parsed));
    char negative[] = "-1";
    arguments[1] = negative;
    EXPECT_FALSE(parse_image_page(IMAGE_PAGE_ARGUMENTS, arguments.data(), &parsed));
}

// An image file made here: a PNG of width x height, or one that only claims that size (its IDAT
// holds one row), or a JPEG, progressive or not, whose frame may claim another size than its
// data holds.
std::string png_chunk(const char *type, const std::string &data) {
    std::string chunk;
    for (int shift = 24; shift >= 0; shift -= 8)
        chunk += char(data.size() >> shift);
    const std::string typed = type + data;
    const uLong crc = crc32(0, reinterpret_cast<const Bytef *>(typed.data()), uInt(typed.size()));
    chunk += typed;
    for (int shift = 24; shift >= 0; shift -= 8)
        chunk += char(crc >> shift);
    return chunk;
}

std::string png_claiming(uint32_t width, uint32_t height) {
    std::string header;
    for (uint32_t value : {width, height})
        for (int shift = 24; shift >= 0; shift -= 8)
            header += char(value >> shift);
    header += std::string("\x08\x02\x00\x00\x00", 5); // 8-bit RGB
    Bytef row[64];
    uLongf length = sizeof row;
    const Bytef zeros[16] = {};
    compress(row, &length, zeros, sizeof zeros);
    return "\x89PNG\r\n\x1a\n" + png_chunk("IHDR", header) +
           png_chunk("IDAT", std::string(reinterpret_cast<char *>(row), length)) +
           png_chunk("IEND", "");
}

// The CRC of the chunk before IEND (12 bytes), changed.
std::string bad_last_crc(std::string png) {
    png[png.size() - 13] ^= 1;
    return png;
}

std::string png_file(uint32_t width, uint32_t height, bool interlaced = false) {
    std::string bytes;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(
        png, &bytes,
        [](png_structp p, png_bytep data, size_t length) {
            static_cast<std::string *>(png_get_io_ptr(p))
                ->append(reinterpret_cast<char *>(data), length);
        },
        nullptr);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB_ALPHA,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const int passes = png_set_interlace_handling(png);
    std::vector<uint8_t> row(width * 4, 0); // black, transparent on the left half
    for (uint32_t x = width / 2; x < width; ++x)
        row[x * 4 + 3] = 255;
    for (int pass = 0; pass < passes; ++pass)
        for (uint32_t y = 0; y < height; ++y)
            png_write_row(png, row.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return bytes;
}

std::string jpeg_file(int width, int height, bool progressive, int claimed = 0) {
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    jpeg_compress_struct jpeg;
    jpeg_error_mgr errors;
    jpeg.err = jpeg_std_error(&errors);
    jpeg_create_compress(&jpeg);
    jpeg_mem_dest(&jpeg, &buffer, &size);
    jpeg.image_width = width;
    jpeg.image_height = height;
    jpeg.input_components = 3;
    jpeg.in_color_space = JCS_RGB;
    jpeg_set_defaults(&jpeg);
    if (progressive) jpeg_simple_progression(&jpeg);
    jpeg_start_compress(&jpeg, TRUE);
    std::vector<uint8_t> row(width * 3, 128);
    for (int y = 0; y < height; ++y) {
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&jpeg, rows, 1);
    }
    jpeg_finish_compress(&jpeg);
    jpeg_destroy_compress(&jpeg);
    std::string bytes(reinterpret_cast<char *>(buffer), size);
    free(buffer);
    if (claimed > 0) { // the frame header's height and width
        const size_t frame = bytes.find(progressive ? "\xff\xc2" : "\xff\xc0");
        for (int i = 0; i < 2; ++i) {
            bytes[frame + 5 + 2 * i] = char(claimed >> 8);
            bytes[frame + 6 + 2 * i] = char(claimed & 0xff);
        }
    }
    return bytes;
}

struct Decode_Case {
    const char *what;
    std::string file;
    Image_Format format;
    bool grey;
    int status;
    const char *page; // "WIDTHxHEIGHT grey|colour" of the page written, "" for none
};

// A small page (100x140 at 72 dpi, no margins) keeps the rows quick.
const Decode_Case decode_cases[] = {
    {"a PNG with transparency, in colour", png_file(40, 20), Image_Format::PNG, false,
     IMAGE_PRINTED, "100x140 colour"},
    {"a PNG, in grey", png_file(40, 20), Image_Format::PNG, true, IMAGE_PRINTED, "100x140 grey"},
    {"a PNG claiming 65535 x 65535: refused before decoding", png_claiming(65535, 65535),
     Image_Format::PNG, false, IMAGE_TOO_LARGE, ""},
    {"a PNG cut short", png_file(40, 20).substr(0, 60), Image_Format::PNG, false, IMAGE_DAMAGED,
     ""},
    {"a PNG without its IEND", png_file(40, 20).substr(0, png_file(40, 20).size() - 12),
     Image_Format::PNG, false, IMAGE_DAMAGED, ""},
    {"a PNG with a bad CRC", bad_last_crc(png_file(40, 20)), Image_Format::PNG, false,
     IMAGE_DAMAGED, ""},
    {"an interlaced PNG, held whole", png_file(40, 20, true), Image_Format::PNG, false,
     IMAGE_PRINTED, "100x140 colour"},
    {"an interlaced PNG cut short", png_file(40, 20, true).substr(0, 80), Image_Format::PNG, false,
     IMAGE_DAMAGED, ""},
    {"a JPEG", jpeg_file(64, 48, false), Image_Format::JPEG, false, IMAGE_PRINTED,
     "100x140 colour"},
    {"a progressive JPEG", jpeg_file(64, 48, true), Image_Format::JPEG, true, IMAGE_PRINTED,
     "100x140 grey"},
    {"a JPEG cut short", jpeg_file(64, 48, false).substr(0, 400), Image_Format::JPEG, false,
     IMAGE_DAMAGED, ""},
    {"a progressive JPEG claiming 16384 x 16384: more memory than it may use",
     jpeg_file(16, 16, true, 16384), Image_Format::JPEG, false, IMAGE_TOO_COSTLY, ""},
    {"a JPEG claiming more pixels than any page", jpeg_file(16, 16, false, 65000),
     Image_Format::JPEG, false, IMAGE_TOO_LARGE, ""},
    {"not an image", "%!PS\n", Image_Format::PNG, false, IMAGE_DAMAGED, ""},
};

// The pages written, as "WIDTHxHEIGHT grey|colour".
std::string png_page(const std::string &bytes) {
    if (bytes.size() < 26 || bytes.compare(12, 4, "IHDR") != 0) return "";
    const auto number = [&](size_t at) {
        return std::to_string(uint32_t(uint8_t(bytes[at])) << 24 | uint8_t(bytes[at + 1]) << 16 |
                              uint8_t(bytes[at + 2]) << 8 | uint8_t(bytes[at + 3]));
    };
    return number(16) + "x" + number(20) + (bytes[25] == 0 ? " grey" : " colour");
}

TEST(PrinterAppImages, DecodedOrRefusedWithAReason) {
    for (const Decode_Case &row : decode_cases) {
        SCOPED_TRACE(row.what);
        Image_Page page = {row.format, 100, 140, 72, row.grey, Image_Scaling::AUTO,
                           3,          0,   0,   0,  0,        largest_page_pixels(1440)};
        FILE *in = fmemopen(const_cast<char *>(row.file.data()), row.file.size(), "rb");
        char *written = nullptr;
        size_t length = 0;
        FILE *out = open_memstream(&written, &length);
        EXPECT_EQ(decode_image(in, out, page), row.status);
        fclose(in);
        fclose(out);
        EXPECT_EQ(png_page(std::string(written, length)), row.page);
        free(written);
    }
}

struct Plan_Case {
    const char *what;
    const char *size, *source; // the job's media-col; source null: not asked
    Job_Asked asked;           // (media_source follows source)
    int resolution;            // printer-resolution when asked
    pappl_color_mode_t colour;
    const char *planned_source; // null: refused
    int planned_resolution, planned_ink;
};

// The printer's defaults: A4 from the main tray at 720 dpi, offering 360, 720, 1440.
const bool NO = false, YES = true;
const char *const A4 = "iso_a4_210x297mm", *const FOUR_BY_SIX = "custom_4x6_99.98x152.4mm";
// clang-format off
const Plan_Case plan_cases[] = {
    {"nothing asked: the default tray and resolution", A4, nullptr, {}, 0,
     PAPPL_COLOR_MODE_COLOR, "AUTO", 720, INK_COLOR},
    {"a size the default tray lacks: the first source with it", FOUR_BY_SIX, nullptr, {}, 0,
     PAPPL_COLOR_MODE_AUTO, "ROLL", 720, INK_COLOR},
    {"auto as the source: the same", FOUR_BY_SIX, "auto", {}, 0,
     PAPPL_COLOR_MODE_COLOR, "ROLL", 720, INK_COLOR},
    {"a source named: that source", A4, "main-roll", {}, 0,
     PAPPL_COLOR_MODE_MONOCHROME, "ROLL", 720, INK_MONO},
    {"a source named that lacks the size", FOUR_BY_SIX, "main", {}, 0,
     PAPPL_COLOR_MODE_COLOR, nullptr, 0, 0},
    {"a size in no table", "iso_a0_841x1189mm", nullptr, {}, 0,
     PAPPL_COLOR_MODE_COLOR, nullptr, 0, 0},
    {"draft: the coarsest", A4, nullptr, {NO, NO, NO, NO, IPP_QUALITY_DRAFT}, 0,
     PAPPL_COLOR_MODE_BI_LEVEL, "AUTO", 360, INK_MONO},
    {"high: the finest", A4, nullptr, {NO, NO, NO, NO, IPP_QUALITY_HIGH}, 0,
     PAPPL_COLOR_MODE_COLOR, "AUTO", 1440, INK_COLOR},
    {"a resolution asked wins over quality", A4, nullptr, {NO, YES, NO, NO, IPP_QUALITY_HIGH}, 360,
     PAPPL_COLOR_MODE_COLOR, "AUTO", 360, INK_COLOR},
    {"page overrides", A4, nullptr, {NO, NO, NO, YES, 0}, 0,
     PAPPL_COLOR_MODE_COLOR, nullptr, 0, 0},
};
// clang-format on

// What a job asks becomes the page the rasterizer is told, or a refusal with a reason.
TEST(PrinterAppPlan, JobsPlannedFromWhatTheyAsk) {
    pappl_pr_driver_data_t driver = {};
    driver.num_resolution = 3;
    driver.x_resolution[0] = 360, driver.x_resolution[1] = 720, driver.x_resolution[2] = 1440;
    driver.x_default = 720;
    snprintf(driver.media_default.source, sizeof driver.media_default.source, "main");
    for (const Plan_Case &row : plan_cases) {
        SCOPED_TRACE(row.what);
        pappl_pr_options_t options = {};
        snprintf(options.media.size_name, sizeof options.media.size_name, "%s", row.size);
        snprintf(options.media.source, sizeof options.media.source, "%s",
                 row.source != nullptr ? row.source : "main");
        options.printer_resolution[0] = options.printer_resolution[1] = row.resolution;
        options.print_color_mode = row.colour;
        Job_Asked asked = row.asked;
        asked.media_source = row.source != nullptr;
        Job_Page page = {};
        const char *why = nullptr;
        const bool planned = plan_page(options, driver, asked, &page, &why);
        EXPECT_EQ(planned, row.planned_source != nullptr) << (why != nullptr ? why : "");
        if (!planned) {
            EXPECT_NE(why, nullptr);
            continue;
        }
        EXPECT_STREQ(page.source, row.planned_source);
        EXPECT_EQ(page.conf.resolution, row.planned_resolution);
        EXPECT_EQ(page.conf.ink, row.planned_ink);
        // PAPPL's "to the end" and an unset copy count
        EXPECT_EQ(page.first_page, 1u);
        EXPECT_EQ(page.copies, 1);
    }
}

TEST(PrinterAppBounds, TheLargestPageAtTheFinestResolution) {
    // A3+ (4663 x 6846 units) at 1440 dpi, each side rounded up.
    EXPECT_EQ(largest_page_pixels(1440), uint64_t(18652) * 27384);
    EXPECT_EQ(largest_page_pixels(360), uint64_t(4663) * 6846);
}

struct Raster_Case {
    const char *what;
    Raster_Header header;
    bool refused;
};

const int OFFERED[] = {360, 720, 1440};
const Raster_Case raster_cases[] = {
    {"A4 at 360 dpi in colour", {360, 360, 2976, 4209, 24, 2976 * 3}, false},
    {"A3+ at 1440 dpi in grey", {1440, 1440, 18652, 27384, 8, 18652}, false},
    {"a panorama's length at 720 dpi", {720, 720, 5952, 16838, 8, 5952}, false},
    {"5000 dpi: not offered", {5000, 5000, 41333, 58458, 24, 41333 * 3}, true},
    {"300 dpi: not offered", {300, 300, 2480, 3508, 24, 2480 * 3}, true},
    {"unequal resolutions", {360, 720, 2976, 8418, 24, 2976 * 3}, true},
    {"wider than any media", {360, 360, 5000, 4209, 24, 5000 * 3}, true},
    {"longer than any media", {360, 360, 2976, 9000, 24, 2976 * 3}, true},
    {"lines longer than the width says", {360, 360, 2976, 4209, 24, 2976 * 3 + 1}, true},
    {"lines of a bit depth not offered", {360, 360, 2976, 4209, 1, 372}, true},
    {"no width", {360, 360, 0, 4209, 24, 0}, true},
};

TEST(PrinterAppBounds, RasterPagesWithinWhatThePrinterOffers) {
    for (const Raster_Case &row : raster_cases) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(raster_page_fault(row.header, OFFERED, 3) != nullptr, row.refused);
    }
}

// IPP attributes as bytes: a value tag, a name and a value with two-byte lengths.
std::string ipp_attribute(uint8_t tag, const std::string &name, const std::string &value) {
    std::string bytes(1, char(tag));
    bytes += char(name.size() >> 8);
    bytes += char(name.size());
    bytes += name;
    bytes += char(value.size() >> 8);
    bytes += char(value.size());
    return bytes + value;
}

std::string nested(int depth, const std::string &inner = "") {
    std::string bytes = std::string("\x02\x00\x00\x02\x00\x00\x00\x01\x01", 9) +
                        ipp_attribute(0x34, "media-col", "");
    for (int i = 1; i < depth; ++i)
        bytes += ipp_attribute(0x4a, "", "a") + ipp_attribute(0x34, "", "");
    bytes += inner;
    for (int i = 0; i < depth; ++i)
        bytes += ipp_attribute(0x37, "", "");
    return bytes + "\x03";
}

struct Nesting_Case {
    const char *what;
    std::string bytes;
    bool too_deep;
};

const Nesting_Case nesting_cases[] = {
    {"ten levels", nested(MAX_COLLECTION_DEPTH), false},
    {"eleven levels", nested(MAX_COLLECTION_DEPTH + 1), true},
    {"100,000 levels", nested(100000), true},
    {"collection tags inside names and values count for nothing",
     nested(2, ipp_attribute(0x4a, "", std::string(40, '\x34')) +
                   ipp_attribute(0x44, std::string(300, '\x34'), std::string(300, '\x34'))),
     false},
    {"an extension tag that opens a collection counts",
     nested(MAX_COLLECTION_DEPTH, ipp_attribute(0x4a, "", "b") +
                                      std::string("\x7f\x00\x00\x00\x34", 5) +
                                      ipp_attribute(0x34, "", "").substr(1)),
     true},
    {"after the attributes, document data is not IPP", nested(1) + std::string(50, '\x34'), false},
};

TEST(PrinterAppGuards, CollectionsNestedTooDeepAreRefusedAsTheyCome) {
    for (const Nesting_Case &row : nesting_cases) {
        SCOPED_TRACE(row.what);
        for (size_t piece : {size_t(1), size_t(7), row.bytes.size()}) { // in pieces as reads give
            Ipp_Scan scan = {};
            for (size_t at = 0; at < row.bytes.size(); at += piece)
                scan_ipp(scan, reinterpret_cast<const uint8_t *>(row.bytes.data()) + at,
                         std::min(piece, row.bytes.size() - at));
            EXPECT_EQ(scan.too_deep, row.too_deep) << "in pieces of " << piece;
        }
    }
}

TEST(PrinterAppGuards, HostNamesThisMachineOrNothing) {
    char name[256] = "";
    gethostname(name, sizeof name);
    const struct {
        std::string host;
        bool ours;
    } rows[] = {
        {"localhost:8631", true},
        {"LOCALHOST.", true},
        {"127.0.0.1:8631", true},
        {"[::1]:8631", true},
        {std::string(name), true},
        {std::string(name) + ".local:8631", true},
        {"", true}, // HTTP/1.0
        {"7f000001.attacker.example:8631", false},
        {"127.0.0.1.attacker.example", false},
        {"printer.local", false},
        {"[::2]:8631", false},
        {"192.0.2.7", false},
        {"[::1", false},
    };
    for (const auto &row : rows)
        EXPECT_EQ(host_is_ours(row.host.c_str()), row.ours) << row.host;
}

struct Access_Case {
    const char *what;
    Request_Facts facts;
    bool allowed;
};

// What a client without a name and password may do when the printer is shared.
const Access_Case access_cases[] = {
    {"print", {true, IPP_OP_PRINT_JOB, false, false, false}, true},
    {"create a job", {true, IPP_OP_CREATE_JOB, false, false, false}, true},
    {"send a document to its own job", {true, IPP_OP_SEND_DOCUMENT, true, true, false}, true},
    {"send a document to another's job", {true, IPP_OP_SEND_DOCUMENT, true, false, false}, false},
    {"cancel its own job", {true, IPP_OP_CANCEL_JOB, true, true, false}, true},
    {"cancel another's job", {true, IPP_OP_CANCEL_JOB, true, false, false}, false},
    {"read another's job", {true, IPP_OP_GET_JOB_ATTRIBUTES, true, false, false}, false},
    {"list its own jobs", {true, IPP_OP_GET_JOBS, false, false, true}, true},
    {"list everyone's jobs", {true, IPP_OP_GET_JOBS, false, false, false}, false},
    {"pause the printer", {true, IPP_OP_PAUSE_PRINTER, false, false, false}, false},
    {"change its defaults", {true, IPP_OP_SET_PRINTER_ATTRIBUTES, false, false, false}, false},
    {"shut the server down", {true, IPP_OP_SHUTDOWN_ALL_PRINTERS, false, false, false}, false},
    {"delete the printer", {true, IPP_OP_DELETE_PRINTER, false, false, false}, false},
    {"use a web form", {false, IPP_OP_PRINT_JOB, false, false, false}, false},
};

TEST(PrinterAppAccess, StrangersPrintAndFollowTheirOwnJobsOnly) {
    for (const Access_Case &row : access_cases)
        EXPECT_EQ(allowed_unauthenticated(row.facts), row.allowed) << row.what;
}

TEST(PrinterAppAccess, PasswordsFromTheUsersFile) {
    char path[] = "users-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    // "secret" and "other", as crypt(3) hashes them.
    const std::string users = "# the administrators\n"
                              "admin:" +
                              std::string(crypt("secret", "$6$saltsalt$")) +
                              "\n"
                              "clerk:" +
                              std::string(crypt("other", "$6$pepper$")) +
                              "\n"
                              "locked:*\n";
    ASSERT_EQ(write(fd, users.data(), users.size()), ssize_t(users.size()));
    close(fd);
    const struct {
        const char *name, *password;
        bool matches;
    } rows[] = {
        {"admin", "secret", true}, {"admin", "Secret", false},          {"admin", "", false},
        {"clerk", "other", true},  {"clerk", "secret", false},          {"nobody", "secret", false},
        {"locked", "", false},     {"# the administrators", "", false},
    };
    for (const auto &row : rows)
        EXPECT_EQ(password_matches(path, row.name, row.password), row.matches)
            << row.name << " / " << row.password;
    EXPECT_FALSE(password_matches("no-such-users-file", "admin", "secret"));
    unlink(path);
}

} // namespace
