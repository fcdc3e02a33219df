// Page counting of the CUPS filter: PNG images in the stream it hands on, however the
// stream is cut into reads.
#include "../filter/png_pages.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

namespace {

const std::string SIGNATURE = "\x89PNG\r\n\x1a\n"s;

std::string chunk(const std::string &type, const std::string &data) {
    const uint32_t length = uint32_t(data.size());
    std::string bytes = {char(length >> 24), char(length >> 16), char(length >> 8), char(length)};
    return bytes + type + data + "CRC!";
}

// An image as Ghostscript writes one: header, data, end; its data may hold any bytes,
// also a PNG signature or the word IEND.
std::string image(const std::string &data = "pixels") {
    return SIGNATURE + chunk("IHDR", std::string(13, '\0')) + chunk("IDAT", data) +
           chunk("IEND", "");
}

struct Stream_Case {
    const char *what;
    std::string stream;
    int images;  // complete images
    int printed; // pages reported
};

const Stream_Case stream_cases[] = {
    {"nothing", "", 0, 0},
    {"one image", image(), 1, 1},
    {"three images", image() + image("IEND") + image(SIGNATURE + "IEND"), 3, 3},
    {"large chunk", image(std::string(200000, 'x')) + image(), 2, 2},
    {"text copied unchanged", "Plain text\n", 0, 1},
    {"one byte", "x", 0, 1},
    {"signature only: data reached the printer", SIGNATURE, 0, 1},
    {"image cut before its end", image().substr(0, image().size() - 3), 0, 1},
    {"image without its IEND", SIGNATURE + chunk("IHDR", std::string(13, '\0')), 0, 1},
    {"a chunk of 2 GiB that never ends",
     SIGNATURE + "\x7f\xff\xff\xffIDAT"s + std::string(100000, 'x'), 0, 1},
    {"junk after an image is not a page", image() + "junk after it", 1, 1},
    {"chunk length beyond 2^31 stops the count",
     SIGNATURE + "\x80\0\0\0IDAT"s + std::string(8, 'x') + image(), 0, 1},
    {"chunk type that is no type stops the count", image() + SIGNATURE + "\0\0\0\0I D "s + image(),
     1, 1},
};

TEST(PngPages, CountsWholeImagesWhateverTheReads) {
    for (const Stream_Case &row : stream_cases) {
        SCOPED_TRACE(row.what);
        // Whole, byte by byte, and cut once at every place.
        for (size_t cut = 0; cut <= row.stream.size(); cut += row.stream.size() > 400 ? 997 : 1) {
            Png_Pages pages = {};
            const auto *bytes = reinterpret_cast<const uint8_t *>(row.stream.data());
            png_pages_feed(pages, bytes, cut);
            png_pages_feed(pages, bytes + cut, row.stream.size() - cut);
            ASSERT_EQ(pages.images, row.images) << "cut at " << cut;
            ASSERT_EQ(png_pages_printed(pages), row.printed) << "cut at " << cut;
        }
        Png_Pages pages = {};
        for (char byte : row.stream)
            png_pages_feed(pages, reinterpret_cast<const uint8_t *>(&byte), 1);
        EXPECT_EQ(pages.images, row.images);
    }
}

} // namespace
