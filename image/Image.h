#pragma once
// Loads an image file into the LCD's 1-bit bitmap. The kind follows the
// path's last extension: raw bitmaps (".bin", taken byte for byte, their
// size written in the name as _<width>x<height>), PNG and BMP images, which
// are reduced to black and white by a fixed threshold. Plain functions with
// no state of their own: any thread may call them on its own record.

#include <cstddef>
#include <cstdint>

// The most bytes of a raw file: what one bitmap transfer to the board carries.
constexpr uint64_t IMAGE_MAX_RAW_FILE = 65535;

struct Image
{
    int32_t width;
    int32_t height;
    int32_t depth;       // bits per pixel of data: 1 after every successful open
    unsigned char* data; // owned from a successful Image_open until Image_close
    // Bytes in data: height × ceil(width / 8) for PNG and BMP, rows top
    // first, leftmost pixel in the most significant bit, 1 for dark; the
    // whole file for a raw bitmap, whatever its name says.
    size_t size;
};

// Fills the record and returns 0, or returns a negative code with nothing in
// the record to use or release:
//  -1 no path or record; no or an unknown extension; a raw or BMP file
//     that cannot be read (missing, not a regular file, over its cap) or a
//     BMP the reader refuses; no PNG decoder record;
//  -2 the PNG decoder's error (a missing PNG included); a raw name without
//     the "_" or the "x" of its size;
//  -3 no memory, or sizes beyond 32-bit arithmetic;
//  -4 a raw file read short.
int Image_open(const char* path, Image* image);

// Frees data and zeroes width, height, data and size; depth is kept.
void Image_close(Image* image);
