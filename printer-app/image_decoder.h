// The printer application's image decoder: a JPEG or PNG job becomes one PNG page of the
// printer's page size, the image placed on it as print-scaling and orientation-requested
// ask. It runs inside the rasterizer's confinement, in the helper's child, never in the
// server: an image is untrusted input, and libjpeg and libpng are large.
#pragma once

#include <cstdint>
#include <cstdio>

enum class Image_Format : uint8_t { PNG, JPEG };
// As IPP's print-scaling.
enum class Image_Scaling : uint8_t { NONE, AUTO, AUTO_FIT, FIT, FILL };

struct Image_Page {
    Image_Format format;
    int width, height; // the page, in pixels
    int resolution;    // dots per inch
    bool grey;
    Image_Scaling scaling;
    int orientation; // IPP orientation-requested: 3 portrait, 4 landscape (turned a quarter
                     // counter-clockwise), 5 reverse-landscape, 6 reverse-portrait; 0 chooses
    int margin_left, margin_top, margin_right, margin_bottom; // the printable area, in pixels
    uint64_t max_pixels;                                      // the most pixels an image may have
};

// The decoder's exit statuses, which the helper reports to the server.
const int IMAGE_PRINTED = 0;
const int IMAGE_TOO_LARGE = 10;   // more than max_pixels
const int IMAGE_DAMAGED = 11;     // a cut or corrupt file, a bad CRC
const int IMAGE_UNSUPPORTED = 12; // a kind of image the decoder does not print
const int IMAGE_TOO_COSTLY = 13;  // decoding would need more memory than IMAGE_MEMORY_BYTES

// What decoding may use: the image is kept (every n-th row and column of a larger one) in at
// most IMAGE_HOLD_BYTES, and libjpeg's own buffers (a progressive JPEG keeps all of its
// coefficients, two bytes for each sample) in at most IMAGE_MEMORY_BYTES. Together they stay
// well below the rasterizer's address space limit, so a decompression bomb fails with a reason
// long before that limit, and long before the host's memory, is reached.
const uint64_t IMAGE_HOLD_BYTES = uint64_t(256) << 20;
const uint64_t IMAGE_MEMORY_BYTES = uint64_t(512) << 20;

// Where the image goes on the page: its rectangle in page pixels (which may reach past the
// page: it is cut there), and how it is turned, as orientation-requested (3 to 6).
struct Image_Place {
    int x, y, width, height;
    int orientation;
};
// For an image of width x height pixels, ppi its own resolution (0: unknown). Fit and fill
// scale it into the printable area or over the whole page; none prints it at its own
// resolution (200 ppi when unknown); auto and auto-fit print it so when it fits and fit it
// otherwise (auto fills a page without margins). The image is centred.
Image_Place place_image(const Image_Page &page, int width, int height, int ppi);
// Whether an orientation turns the image a quarter.
bool turned(int orientation);

// Reads the image from `in` and writes the page to `out`; returns an exit status above.
int decode_image(FILE *in, FILE *out, const Image_Page &page);

// Pages the application writes itself (images, raster) go to a printer on a local link, so
// their PNG encoding is made quick: the sub filter and zlib's level 1 write a 1440 dpi A3+
// page in 3 s, libpng's defaults (every filter tried on each row, level 6) in 10 s.
struct png_struct_def;
void quick_png(png_struct_def *png);

// The page as the helper's command line carries it, and back.
const int IMAGE_PAGE_ARGUMENTS = 13;
void image_page_arguments(const Image_Page &page, char (&arguments)[IMAGE_PAGE_ARGUMENTS][24]);
bool parse_image_page(int count, char *const *arguments, Image_Page *page);
