#include "image_decoder.h"

#include <jpeglib.h>
// after jpeglib.h, which it needs
#include <jerror.h>
#include <png.h>

#include <csetjmp>
#include <cstdlib>
#include <cstring>

namespace {

// The image as kept: every `step`-th row and column of the source, one or three bytes a pixel
// as the page takes them.
struct Held_Image {
    uint8_t *pixels;
    int width, height, depth, step;
    int source_width, source_height;
};

uint64_t ceil_div(uint64_t a, uint64_t b) {
    return (a + b - 1) / b;
}

// Keeps a source of width x height pixels in at most IMAGE_HOLD_BYTES.
bool hold_image(Held_Image &held, int width, int height, int depth) {
    int step = 1;
    while (ceil_div(width, step) * ceil_div(height, step) * depth > IMAGE_HOLD_BYTES)
        ++step;
    held = {nullptr, int(ceil_div(width, step)), int(ceil_div(height, step)), depth, step, width,
            height};
    held.pixels = static_cast<uint8_t *>(malloc(size_t(held.width) * held.height * depth));
    return held.pixels != nullptr;
}

uint8_t luminance(unsigned red, unsigned green, unsigned blue) {
    return uint8_t((red * 77 + green * 150 + blue * 29) >> 8);
}

// Takes source row y (channels: 1 grey, 2 grey and alpha, 3 RGB, 4 RGB and alpha) into the
// held image when it is one of the rows kept: transparency over white paper, in the page's
// colours.
void hold_row(Held_Image &held, int y, const uint8_t *row, int channels) {
    if (y % held.step != 0 || y / held.step >= held.height) return;
    uint8_t *out = held.pixels + size_t(y / held.step) * held.width * held.depth;
    for (int x = 0; x < held.width; ++x, out += held.depth) {
        const uint8_t *in = row + size_t(x) * held.step * channels;
        unsigned red = in[0], green = in[0], blue = in[0], alpha = 255;
        if (channels >= 3) {
            green = in[1];
            blue = in[2];
        }
        if (channels == 2 || channels == 4) alpha = in[channels - 1];
        red = (red * alpha + 255 * (255 - alpha)) / 255;
        green = (green * alpha + 255 * (255 - alpha)) / 255;
        blue = (blue * alpha + 255 * (255 - alpha)) / 255;
        if (held.depth == 1) {
            out[0] = channels <= 2 ? uint8_t(red) : luminance(red, green, blue);
        } else {
            out[0] = uint8_t(red);
            out[1] = uint8_t(green);
            out[2] = uint8_t(blue);
        }
    }
}

// libpng's errors end the decoding through its jump buffer; the reason is kept, and so are
// the buffers to free then (in memory, which a jump leaves as it was).
struct Png_Errors {
    int status;
    uint8_t *row;
    png_bytep *rows;
};

void png_failed(png_structp png, png_const_charp) {
    Png_Errors *errors = static_cast<Png_Errors *>(png_get_error_ptr(png));
    if (errors->status == IMAGE_PRINTED) errors->status = IMAGE_DAMAGED;
    png_longjmp(png, 1);
}

void png_warned(png_structp, png_const_charp) {}

// Reads the image's rows into the held image: row by row, or, for an interlaced image (which
// libpng hands over only whole), all at once within the decoder's bound. A failure ends the
// decoding through png_error, its status in errors, which also holds the rows to free.
void hold_png_rows(png_structp png, Png_Errors &errors, Held_Image &held, png_uint_32 width,
                   png_uint_32 height, int channels, int passes) {
    if (passes == 1) {
        errors.row = static_cast<uint8_t *>(malloc(size_t(width) * channels));
        if (errors.row == nullptr) {
            errors.status = IMAGE_TOO_COSTLY;
            png_error(png, "no memory");
        }
        for (png_uint_32 y = 0; y < height; ++y) {
            png_read_row(png, errors.row, nullptr);
            hold_row(held, int(y), errors.row, channels);
        }
    } else { // interlaced: libpng needs the whole image at once
        const uint64_t bytes = uint64_t(width) * height * channels;
        errors.rows = bytes <= IMAGE_HOLD_BYTES
                          ? static_cast<png_bytep *>(malloc(sizeof(png_bytep) * height))
                          : nullptr;
        errors.row = errors.rows == nullptr ? nullptr : static_cast<uint8_t *>(malloc(bytes));
        if (errors.row == nullptr) {
            errors.status = IMAGE_TOO_COSTLY;
            png_error(png, "interlaced image too large to hold");
        }
        for (png_uint_32 y = 0; y < height; ++y)
            errors.rows[y] = errors.row + size_t(y) * width * channels;
        png_read_image(png, errors.rows);
        for (png_uint_32 y = 0; y < height; ++y)
            hold_row(held, int(y), errors.rows[y], channels);
    }
}

// The PNG job into the held image. A cut file or a bad CRC is damage; libpng's own limit on
// a chunk's memory stays in force.
int read_png(FILE *in, const Image_Page &page, Held_Image &held, int *ppi) {
    Png_Errors errors = {IMAGE_PRINTED, nullptr, nullptr};
    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, &errors, png_failed, png_warned);
    png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return IMAGE_TOO_COSTLY;
    }
    if (setjmp(png_jmpbuf(png))) {
        free(errors.row);
        free(errors.rows);
        png_destroy_read_struct(&png, &info, nullptr);
        return errors.status;
    }
    png_set_user_limits(png, 0x7fffffff, 0x7fffffff); // the page's bound, below, decides
    png_init_io(png, in);
    png_read_info(png, info);
    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    if (uint64_t(width) * height > page.max_pixels) {
        errors.status = IMAGE_TOO_LARGE;
        png_error(png, "too large");
    }
    png_uint_32 x_per_metre, y_per_metre;
    int unit;
    if (png_get_pHYs(png, info, &x_per_metre, &y_per_metre, &unit) && unit == PNG_RESOLUTION_METER)
        *ppi = int(x_per_metre * 0.0254 + 0.5);
    png_set_expand(png);
    png_set_strip_16(png);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const int channels = png_get_channels(png, info);
    if (png_get_rowbytes(png, info) != size_t(width) * channels) {
        errors.status = IMAGE_UNSUPPORTED;
        png_error(png, "unexpected row layout");
    }
    if (!hold_image(held, int(width), int(height), page.grey ? 1 : 3)) {
        errors.status = IMAGE_TOO_COSTLY;
        png_error(png, "no memory");
    }
    hold_png_rows(png, errors, held, width, height, channels, passes);
    png_read_end(png, nullptr);
    free(errors.row);
    free(errors.rows);
    png_destroy_read_struct(&png, &info, nullptr);
    return IMAGE_PRINTED;
}

// libjpeg's errors end the decoding through a jump buffer; so do the warnings that mean the
// data is cut or corrupt, which libjpeg would otherwise print over as grey.
struct Jpeg_Errors {
    jpeg_error_mgr manager;
    jmp_buf jump;
    int status;
    uint8_t *row;
};

[[noreturn]] void jpeg_failed(j_common_ptr common) {
    Jpeg_Errors *errors = reinterpret_cast<Jpeg_Errors *>(common->err);
    const int code = errors->manager.msg_code;
    if (errors->status == IMAGE_PRINTED)
        errors->status =
            code == JERR_OUT_OF_MEMORY || code == JERR_NO_BACKING_STORE || code == JERR_TFILE_CREATE
                ? IMAGE_TOO_COSTLY
            : code == JERR_CONVERSION_NOTIMPL || code == JERR_BAD_IN_COLORSPACE ? IMAGE_UNSUPPORTED
                                                                                : IMAGE_DAMAGED;
    longjmp(errors->jump, 1);
}

void jpeg_message(j_common_ptr common, int level) {
    const int code = common->err->msg_code;
    if (level < 0 && (code == JWRN_JPEG_EOF || code == JWRN_HUFF_BAD_CODE ||
                      code == JWRN_MUST_RESYNC || code == JWRN_BOGUS_PROGRESSION))
        jpeg_failed(common);
}

// CMYK as Adobe's applications write it (inverted: 255 is no ink), or plain, into RGB.
void cmyk_to_rgb(uint8_t *row, int width, bool inverted) {
    for (int x = 0; x < width; ++x) {
        unsigned cmyk[4];
        for (int i = 0; i < 4; ++i)
            cmyk[i] = inverted ? row[4 * x + i] : 255u - row[4 * x + i];
        for (int i = 0; i < 3; ++i)
            row[3 * x + i] = uint8_t(cmyk[i] * cmyk[3] / 255);
    }
}

int read_jpeg(FILE *in, const Image_Page &page, Held_Image &held, int *ppi) {
    jpeg_decompress_struct jpeg;
    Jpeg_Errors errors;
    memset(&jpeg, 0, sizeof jpeg);
    jpeg.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = jpeg_failed;
    errors.manager.emit_message = jpeg_message;
    errors.status = IMAGE_PRINTED;
    errors.row = nullptr;
    if (setjmp(errors.jump)) {
        free(errors.row);
        jpeg_destroy_decompress(&jpeg);
        return errors.status;
    }
    jpeg_create_decompress(&jpeg);
    jpeg.mem->max_memory_to_use = long(IMAGE_MEMORY_BYTES);
    jpeg_stdio_src(&jpeg, in);
    jpeg_read_header(&jpeg, TRUE);
    if (uint64_t(jpeg.image_width) * jpeg.image_height > page.max_pixels) {
        errors.status = IMAGE_TOO_LARGE;
        jpeg_failed(reinterpret_cast<j_common_ptr>(&jpeg));
    }
    if (jpeg.density_unit == 1) *ppi = jpeg.X_density;
    if (jpeg.density_unit == 2) *ppi = int(jpeg.X_density * 2.54 + 0.5);
    const bool cmyk = jpeg.jpeg_color_space == JCS_CMYK || jpeg.jpeg_color_space == JCS_YCCK;
    jpeg.out_color_space = cmyk ? JCS_CMYK : jpeg.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&jpeg);
    const int width = int(jpeg.output_width);
    errors.row = static_cast<uint8_t *>(malloc(size_t(width) * jpeg.output_components));
    if (errors.row == nullptr ||
        !hold_image(held, width, int(jpeg.output_height), page.grey ? 1 : 3)) {
        errors.status = IMAGE_TOO_COSTLY;
        jpeg_failed(reinterpret_cast<j_common_ptr>(&jpeg));
    }
    while (jpeg.output_scanline < jpeg.output_height) {
        const int y = int(jpeg.output_scanline);
        JSAMPROW rows[1] = {errors.row};
        if (jpeg_read_scanlines(&jpeg, rows, 1) != 1) break;
        if (cmyk) cmyk_to_rgb(errors.row, width, jpeg.saw_Adobe_marker);
        hold_row(held, y, errors.row, cmyk ? 3 : jpeg.output_components);
    }
    jpeg_finish_decompress(&jpeg);
    free(errors.row);
    jpeg_destroy_decompress(&jpeg);
    return IMAGE_PRINTED;
}

// The held pixel shown at (u, v) of the turned image, itself of the held image's size.
const uint8_t *turned_pixel(const Held_Image &held, int orientation, int64_t u, int64_t v) {
    int64_t x = u, y = v;
    if (orientation == 6) {
        x = held.width - 1 - u;
        y = held.height - 1 - v;
    } else if (orientation == 4) { // a quarter turn counter-clockwise
        x = held.width - 1 - v;
        y = u;
    } else if (orientation == 5) { // a quarter turn clockwise
        x = v;
        y = held.height - 1 - u;
    }
    return held.pixels + (size_t(y) * held.width + size_t(x)) * held.depth;
}

struct Png_Output {
    int status;
};

void output_failed(png_structp png, png_const_charp) {
    static_cast<Png_Output *>(png_get_error_ptr(png))->status = 1;
    png_longjmp(png, 1);
}

// Writes the page: white, with the held image on its place, row by row.
int write_page(FILE *out, const Image_Page &page, const Held_Image &held,
               const Image_Place &place) {
    Png_Output output = {IMAGE_PRINTED};
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, &output, output_failed, nullptr);
    png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
    const size_t row_bytes = size_t(page.width) * held.depth;
    uint8_t *row = info == nullptr ? nullptr : static_cast<uint8_t *>(malloc(row_bytes));
    if (row == nullptr) {
        png_destroy_write_struct(&png, &info);
        return IMAGE_TOO_COSTLY;
    }
    if (setjmp(png_jmpbuf(png))) {
        free(row);
        png_destroy_write_struct(&png, &info);
        return output.status;
    }
    png_init_io(png, out);
    quick_png(png);
    png_set_IHDR(png, info, png_uint_32(page.width), png_uint_32(page.height), 8,
                 held.depth == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    const png_uint_32 per_metre = png_uint_32(page.resolution / 0.0254 + 0.5);
    png_set_pHYs(png, info, per_metre, per_metre, PNG_RESOLUTION_METER);
    png_write_info(png, info);
    const int64_t turned_width = turned(place.orientation) ? held.height : held.width;
    const int64_t turned_height = turned(place.orientation) ? held.width : held.height;
    const int first_x = place.x > 0 ? place.x : 0;
    const int64_t end_x = int64_t(place.x) + place.width;
    const int last_x = end_x < page.width ? int(end_x) : page.width;
    for (int y = 0; y < page.height; ++y) {
        memset(row, 0xff, row_bytes);
        const int64_t v = y - int64_t(place.y);
        if (v >= 0 && v < place.height) {
            const int64_t image_v = v * turned_height / place.height;
            for (int x = first_x; x < last_x; ++x) {
                const int64_t image_u = (x - int64_t(place.x)) * turned_width / place.width;
                memcpy(row + size_t(x) * held.depth,
                       turned_pixel(held, place.orientation, image_u, image_v), held.depth);
            }
        }
        png_write_row(png, row);
    }
    png_write_end(png, info);
    free(row);
    png_destroy_write_struct(&png, &info);
    return fflush(out) == 0 ? IMAGE_PRINTED : 1;
}

} // namespace

int decode_image(FILE *in, FILE *out, const Image_Page &page) {
    Held_Image held = {nullptr, 0, 0, 0, 1, 0, 0};
    int ppi = 0;
    const int status = page.format == Image_Format::PNG ? read_png(in, page, held, &ppi)
                                                        : read_jpeg(in, page, held, &ppi);
    if (status != IMAGE_PRINTED) {
        free(held.pixels);
        return status;
    }
    // The place is found for the source's own size; the held image is sampled to fill it.
    const int written =
        write_page(out, page, held, place_image(page, held.source_width, held.source_height, ppi));
    free(held.pixels);
    return written;
}
