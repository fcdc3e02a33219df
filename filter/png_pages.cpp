#include "png_pages.h"

#include <cstring>

namespace {

const uint8_t PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
const uint32_t PNG_MAX_CHUNK_LENGTH = 0x7fffffff;
const uint64_t CRC_SIZE = 4;

bool is_chunk_type(const uint8_t *type) {
    for (int i = 0; i < 4; ++i)
        if (!((type[i] >= 'A' && type[i] <= 'Z') || (type[i] >= 'a' && type[i] <= 'z')))
            return false;
    return true;
}

// A whole signature or chunk head has come: checks it and says what follows.
void take_head(Png_Pages &pages) {
    pages.head_used = 0;
    if (pages.state == Png_Pages::SIGNATURE) {
        pages.state =
            memcmp(pages.head, PNG_SIGNATURE, 8) == 0 ? Png_Pages::CHUNK_HEAD : Png_Pages::NOT_PNG;
        return;
    }
    const uint32_t length = uint32_t(pages.head[0]) << 24 | uint32_t(pages.head[1]) << 16 |
                            uint32_t(pages.head[2]) << 8 | pages.head[3];
    if (length > PNG_MAX_CHUNK_LENGTH || !is_chunk_type(pages.head + 4)) {
        pages.state = Png_Pages::NOT_PNG;
        return;
    }
    pages.chunk_rest = length + CRC_SIZE;
    pages.last_chunk = memcmp(pages.head + 4, "IEND", 4) == 0;
    pages.state = Png_Pages::CHUNK_REST;
}

} // namespace

size_t png_pages_walk(Png_Pages &pages, const uint8_t *bytes, size_t count) {
    const size_t offered = count;
    while (count > 0 && pages.state != Png_Pages::NOT_PNG) {
        if (pages.state == Png_Pages::CHUNK_REST) {
            const size_t passed = pages.chunk_rest < count ? size_t(pages.chunk_rest) : count;
            pages.chunk_rest -= passed;
            bytes += passed;
            count -= passed;
            if (pages.chunk_rest > 0) break;
            if (pages.last_chunk) { // an image ends here
                ++pages.images;
                pages.state = Png_Pages::SIGNATURE;
                pages.bytes += offered - count;
                return offered - count;
            }
            pages.state = Png_Pages::CHUNK_HEAD;
            continue;
        }
        const size_t wanted = sizeof pages.head - pages.head_used;
        const size_t taken = wanted < count ? wanted : count;
        memcpy(pages.head + pages.head_used, bytes, taken);
        pages.head_used += taken;
        bytes += taken;
        count -= taken;
        if (pages.head_used == sizeof pages.head) take_head(pages);
    }
    pages.bytes += offered;
    return offered;
}

void png_pages_feed(Png_Pages &pages, const uint8_t *bytes, size_t count) {
    while (count > 0) {
        const size_t walked = png_pages_walk(pages, bytes, count);
        bytes += walked;
        count -= walked;
    }
}

int png_pages_printed(const Png_Pages &pages) {
    return pages.images > 0 ? pages.images : pages.bytes > 0 ? 1 : 0;
}
