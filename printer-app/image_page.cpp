// The image decoder's page: where an image goes on it, and how the server hands it to the
// helper on its command line. Plain functions, apart from the decoding itself.
#include "image_decoder.h"

#include <png.h>

#include <cstdio>
#include <cstdlib>

namespace {

const int DEFAULT_PPI = 200; // an image without a resolution printed unscaled, as PAPPL does

} // namespace

void quick_png(png_structp png) {
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_set_compression_level(png, 1);
}

bool turned(int orientation) {
    return orientation == 4 || orientation == 5;
}

Image_Place place_image(const Image_Page &page, int width, int height, int ppi) {
    int area_x = page.margin_left, area_y = page.margin_top;
    int area_width = page.width - page.margin_left - page.margin_right;
    int area_height = page.height - page.margin_top - page.margin_bottom;
    Image_Scaling scaling = page.scaling;
    if (scaling == Image_Scaling::FILL || area_width <= 0 || area_height <= 0) {
        area_x = area_y = 0;
        area_width = page.width;
        area_height = page.height;
    }
    int orientation = page.orientation;
    if (orientation < 3 || orientation > 6)
        orientation = width > height && page.width < page.height ? 4 : 3;
    const int64_t image_width = turned(orientation) ? height : width;
    const int64_t image_height = turned(orientation) ? width : height;
    if (scaling == Image_Scaling::AUTO || scaling == Image_Scaling::AUTO_FIT) {
        const bool fits = ppi > 0 && image_width * page.resolution / ppi <= area_width &&
                          image_height * page.resolution / ppi <= area_height;
        const bool borderless = page.margin_left == 0 && page.margin_top == 0 &&
                                page.margin_right == 0 && page.margin_bottom == 0;
        scaling = fits                                           ? Image_Scaling::NONE
                  : scaling == Image_Scaling::AUTO && borderless ? Image_Scaling::FILL
                                                                 : Image_Scaling::FIT;
    }
    if (ppi <= 0) ppi = DEFAULT_PPI;
    int64_t placed_width, placed_height;
    if (scaling == Image_Scaling::NONE) {
        placed_width = image_width * page.resolution / ppi;
        placed_height = image_height * page.resolution / ppi;
    } else {
        placed_width = area_width;
        placed_height = placed_width * image_height / image_width;
        if ((placed_height > area_height && scaling == Image_Scaling::FIT) ||
            (placed_height < area_height && scaling == Image_Scaling::FILL)) {
            placed_height = area_height;
            placed_width = placed_height * image_width / image_height;
        }
    }
    // An image far larger than the page is still placed by numbers that fit in an int.
    const int64_t most = int64_t(1) << 30;
    placed_width = placed_width < 1 ? 1 : placed_width > most ? most : placed_width;
    placed_height = placed_height < 1 ? 1 : placed_height > most ? most : placed_height;
    return {int(area_x + (area_width - placed_width) / 2),
            int(area_y + (area_height - placed_height) / 2), int(placed_width), int(placed_height),
            orientation};
}

void image_page_arguments(const Image_Page &page, char (&arguments)[IMAGE_PAGE_ARGUMENTS][24]) {
    const long long values[IMAGE_PAGE_ARGUMENTS] = {
        page.format == Image_Format::PNG ? 0 : 1,
        page.width,
        page.height,
        page.resolution,
        page.grey ? 1 : 0,
        int(page.scaling),
        page.orientation,
        page.margin_left,
        page.margin_top,
        page.margin_right,
        page.margin_bottom,
        (long long)(page.max_pixels >> 32),
        (long long)(page.max_pixels & 0xffffffff),
    };
    for (int i = 0; i < IMAGE_PAGE_ARGUMENTS; ++i)
        snprintf(arguments[i], sizeof arguments[i], "%lld", values[i]);
}

bool parse_image_page(int count, char *const *arguments, Image_Page *page) {
    if (count != IMAGE_PAGE_ARGUMENTS) return false;
    long long values[IMAGE_PAGE_ARGUMENTS];
    for (int i = 0; i < IMAGE_PAGE_ARGUMENTS; ++i) {
        char *end;
        values[i] = strtoll(arguments[i], &end, 10);
        if (end == arguments[i] || *end != '\0' || values[i] < 0 || values[i] > 0xffffffffLL)
            return false;
    }
    if (values[0] > 1 || values[1] < 1 || values[2] < 1 || values[3] < 1 || values[4] > 1 ||
        values[5] > int(Image_Scaling::FILL) || values[6] > 6 || values[1] > 0x7fffffff ||
        values[2] > 0x7fffffff)
        return false;
    *page = {values[0] == 0 ? Image_Format::PNG : Image_Format::JPEG,
             int(values[1]),
             int(values[2]),
             int(values[3]),
             values[4] == 1,
             Image_Scaling(values[5]),
             int(values[6]),
             int(values[7]),
             int(values[8]),
             int(values[9]),
             int(values[10]),
             uint64_t(values[11]) << 32 | uint64_t(values[12])};
    return true;
}
