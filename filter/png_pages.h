// Counts the pages of the PNG stream that the filter hands to the printer: one PNG image per
// page, each ended by its IEND chunk. The count walks the chunks' lengths and types, so no
// text a job prints can move it.
#pragma once

#include <cstddef>
#include <cstdint>

struct Png_Pages {
    enum State : uint8_t { SIGNATURE, CHUNK_HEAD, CHUNK_REST, NOT_PNG } state;
    uint8_t head[8]; // the signature or a chunk's length and type, as far as they came
    size_t head_used;
    uint64_t chunk_rest; // bytes of the current chunk's data and CRC still to pass
    bool last_chunk;     // the current chunk is an IEND
    uint64_t bytes;      // all bytes seen
    int images;          // complete images
};

// None of these goes into the filter's dynamic symbol table.
#pragma GCC visibility push(hidden)

// Walks the next bytes of the stream.
void png_pages_feed(Png_Pages &pages, const uint8_t *bytes, size_t count);
// Walks the next bytes up to the end of the next complete image at most; returns the bytes
// walked, so that a caller can cut the stream into its pages.
size_t png_pages_walk(Png_Pages &pages, const uint8_t *bytes, size_t count);

// Pages the printer gets: the complete images; for data with no complete image (a job copied
// unchanged, an image cut short or never ended), one, so that no job escapes the count.
int png_pages_printed(const Png_Pages &pages);

#pragma GCC visibility pop
