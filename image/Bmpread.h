#pragma once
// Reader of uncompressed BMP files at 1, 4, 8 and 24 bits per pixel into
// 8-bit RGB triples. The header is read at fixed offsets (the classic
// 40-byte information header's layout); the palette always has 2^bits
// entries whatever the header declares. A refusal prints short debug lines
// on standard output, worded as the board's tools have always printed them.
// Sizes are capped by image/ImageLimits.h. Plain functions with no state of
// their own: any thread may call them on its own record.

#include <cstddef>
#include <cstdint>

// Flags of bmpread, a bit set.
constexpr int BMPREAD_TOP_DOWN = 1;    // the first output row is the top of the picture
constexpr int BMPREAD_BYTE_ALIGN = 2;  // output rows are exactly 3 × width bytes, not padded to 4
constexpr int BMPREAD_ANY_SIZE = 4;    // width and height need not be powers of two

struct bmpread_image
{
    int32_t width;   // pixels per row, at least 1
    int32_t height;  // rows, always positive
    int32_t bits;    // bits per pixel of the file: 1, 4, 8 or 24
    // Red, green, blue per pixel; each row 3 × width bytes, padded to a
    // multiple of four unless BMPREAD_BYTE_ALIGN was given. Owned by the
    // record until bmpread_free.
    unsigned char* data;
};

// Reads the BMP file at path (a regular file of at most IMAGE_MAX_FILE
// bytes). Returns 1 with the record filled, else 0 with the record cleared;
// a missing path or image returns 0 and touches nothing.
int bmpread(const char* path, int flags, bmpread_image* image);

// The same over a file's bytes held in memory.
int bmpread_bytes(const unsigned char* bytes, size_t size, int flags, bmpread_image* image);

// Frees the data and clears the record; a null pointer is ignored.
void bmpread_free(bmpread_image* image);
