// The filter with the real Ghostscript: what reaches the printer must be clean PNG data.
#include "filter_run.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <vector>

namespace {

struct Png_Image {
    unsigned width, height, bit_depth, colour_type; // from the IHDR chunk
    unsigned channels;                              // 1 grey, 3 RGB
    std::vector<unsigned char> pixels;              // decoded by libpng, unconverted
    bool pngcheck_ok;
};

unsigned big_endian(const std::string &bytes, size_t at) {
    return unsigned((unsigned char)bytes[at]) << 24 | unsigned((unsigned char)bytes[at + 1]) << 16 |
           unsigned((unsigned char)bytes[at + 2]) << 8 | (unsigned char)bytes[at + 3];
}

// Splits a stream of PNG files, as Ghostscript writes them one per page, and decodes each.
// Anything that is not PNG data, anywhere in the stream, fails the test.
std::vector<Png_Image> read_png_stream(const std::string &stream) {
    std::vector<Png_Image> images;
    const std::string signature = "\x89PNG\r\n\x1a\n";
    for (size_t start = 0; start < stream.size();) {
        EXPECT_EQ(stream.compare(start, 8, signature), 0) << "no PNG at byte " << start;
        size_t at = start + 8;
        for (bool end = false; !end && at + 12 <= stream.size();) {
            end = stream.compare(at + 4, 4, "IEND") == 0;
            at += 12 + big_endian(stream, at);
        }
        const std::string file = stream.substr(start, at - start);
        if (stream.compare(start, 8, signature) != 0 || file.size() < 33) return images;
        const unsigned colour_type = (unsigned char)file[25];
        Png_Image image{big_endian(file, 16),
                        big_endian(file, 20),
                        (unsigned char)file[24],
                        colour_type,
                        colour_type == PNG_COLOR_TYPE_GRAY ? 1u : 3u,
                        {},
                        false};
        png_image decoded{};
        decoded.version = PNG_IMAGE_VERSION;
        if (png_image_begin_read_from_memory(&decoded, file.data(), file.size())) {
            decoded.format = image.channels == 1 ? PNG_FORMAT_GRAY : PNG_FORMAT_RGB;
            image.pixels.resize(PNG_IMAGE_SIZE(decoded));
            png_image_finish_read(&decoded, nullptr, image.pixels.data(), 0, nullptr);
        }
        EXPECT_EQ(image.pixels.size(), size_t(image.width) * image.height * image.channels);
        char path[] = "/tmp/ravofilter-png-XXXXXX";
        FILE *out = fdopen(mkstemp(path), "wb");
        fwrite(file.data(), 1, file.size(), out);
        fclose(out);
        image.pngcheck_ok = system(("pngcheck -q " + std::string(path)).c_str()) == 0;
        remove(path);
        images.push_back(std::move(image));
        start = at;
    }
    return images;
}

// Paints the left half of each page red and leaves the right half white.
const std::string PAGE = "clippath pathbbox /top exch def /right exch def pop pop\n"
                         "1 0 0 setrgbcolor 0 0 right 2 div top rectfill showpage\n";
const std::string SECTION = "[Quorvin 7X Series]\n";

struct Real_Case {
    std::string job;
    std::optional<std::string> settings;
    unsigned pages, width, height;
    bool grey;
};

const Real_Case real_cases[] = {
    {"%!PS\n" + PAGE, SECTION + "ink=COLOR\nresolution=72\nmediasize=A4\n", 1, 595, 841, false},
    {"%!PS\n" + PAGE + PAGE, SECTION + "ink=MONO\nresolution=72\nmediasize=A4\n", 2, 595, 841,
     true},
    {"\x04%!PS\n" + PAGE, SECTION + "ink=COLOR\nresolution=72\npapersource=ROLL\nmediasize=A6\n", 1,
     297, 419, false},
    {"%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 100 100\n" + PAGE, std::nullopt, 1, 2976, 4209,
     false},
    {"%!PS\n(hello) print (world) ==\n" + PAGE,
     SECTION + "ink=COLOR\nresolution=72\nmediasize=A4\n", 1, 595, 841, false},
};

TEST(RealGhostscript, PostScriptBecomesOnePngPerPage) {
    for (const Real_Case &row : real_cases) {
        SCOPED_TRACE(row.job.substr(0, 24));
        Filter_Run run = run_filter({.job = row.job, .settings = row.settings, .gs = "real"});
        EXPECT_EQ(run.status, 0) << run.err;
        const std::vector<Png_Image> images = read_png_stream(run.out);
        ASSERT_EQ(images.size(), row.pages);
        for (const Png_Image &image : images) {
            EXPECT_TRUE(image.pngcheck_ok);
            EXPECT_EQ(image.width, row.width);
            EXPECT_EQ(image.height, row.height);
            EXPECT_EQ(image.bit_depth, 8u);
            EXPECT_EQ(image.colour_type, row.grey ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB);
            if (image.pixels.size() != size_t(image.width) * image.height * image.channels)
                continue; // undecodable: already reported while reading the stream
            // Red comes out mid grey (130 with colour management). The middle row: a quarter
            // across is painted, three quarters across is white.
            const std::vector<int> red = row.grey ? std::vector{128} : std::vector{255, 0, 0};
            const int tolerance = row.grey ? 60 : 1;
            const size_t middle = size_t(image.height / 2) * image.width, quarter = image.width / 4;
            for (unsigned channel = 0; channel < image.channels; ++channel) {
                EXPECT_NEAR(image.pixels[(middle + quarter) * image.channels + channel],
                            red[channel], tolerance);
                EXPECT_EQ(image.pixels[(middle + 3 * quarter) * image.channels + channel], 255);
            }
        }
        // What the job prints goes to standard error, never into the PNG data.
        EXPECT_EQ(run.err.find("hello") == std::string::npos,
                  row.job.find("(hello)") == std::string::npos);
    }
}

TEST(RealGhostscript, OtherJobsPassAndBrokenPostScriptFails) {
    const std::string text = "Plain text, not %!PS\n";
    Filter_Run copied = run_filter({.job = text, .gs = "real"});
    EXPECT_EQ(copied.status, 0);
    EXPECT_EQ(copied.out, text);
    Filter_Run broken = run_filter({.job = "%!PS\nnot-an-operator\n" + PAGE, .gs = "real"});
    EXPECT_EQ(broken.status, 2);
    EXPECT_NE(broken.err.find("undefined"), std::string::npos);
}

} // namespace
