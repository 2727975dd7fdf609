// One fuzz case of the PNG decoder: arbitrary octets as a PNG file held in
// memory, decoded, and the record checked against the decoder's promises.
// Shared by the libFuzzer target and the corpus replay test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "image/ImageLimits.h"
#include "image/Upng.h"

namespace pngfuzz {

// Where the octets of each decoded buffer are summed, so a short buffer shows.
inline volatile unsigned gTouched;

// Decodes data as a PNG file; returns "" when the decoder kept its
// promises, else what it broke.
inline std::string decodeOne(const uint8_t* data, size_t size)
{
    upng_decoder* upng = upng_new_from_bytes(data, size);
    if (!upng) {
        return "no record";
    }
    const upng_error error = upng_decode(upng);
    std::string failure;
    if (error == UPNG_OK) {
        const uint64_t bits = uint64_t(upng_get_width(upng)) * upng_get_height(upng) * upng_get_bpp(upng);
        if (upng_get_size(upng) != (bits + 7) / 8 || !upng_get_buffer(upng)) {
            failure = "buffer size differs from the image's";
        } else if (upng_get_width(upng) > IMAGE_MAX_SIDE || upng_get_height(upng) > IMAGE_MAX_SIDE) {
            failure = "image beyond the caps decoded";
        } else if (upng->source) {
            failure = "source kept after decoding";
        }
        unsigned sum = 0;
        for (unsigned long i = 0; i < upng_get_size(upng); ++i) {
            sum += upng_get_buffer(upng)[i];
        }
        gTouched = sum;
    } else if (error > UPNG_UNSUPPORTED_FORMAT || upng_get_error_line(upng) == 0) {
        failure = "unknown error or no error line";
    } else if (upng_get_buffer(upng) || upng_get_size(upng) != 0) {
        failure = "buffer left after an error";
    }
    if (failure.empty() && upng_decode(upng) != error) {
        failure = "second decoding gave another result";
    }
    upng_free(upng);
    return failure;
}

// The input as a file, and, so that mutations reach deep into inflate
// without first breaking the chunk layout, its octets after the first three
// as the compressed data of an image whose size and format those three pick.
inline std::string runOne(const uint8_t* data, size_t size)
{
    const std::string failure = decodeOne(data, size);
    if (!failure.empty() || size < 3) {
        return failure;
    }
    static const uint8_t mFormats[12][2] = {{2, 8}, {2, 16}, {6, 8}, {6, 16}, {0, 1}, {0, 2},
                                            {0, 4}, {0, 8},  {4, 1}, {4, 2},  {4, 4}, {4, 8}};
    const uint8_t* format = mFormats[data[2] % 12];
    std::string png("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0", 19);
    png += char(data[0] % 64);
    png.append("\0\0\0", 3);
    png += char(data[1] % 64);
    png += {char(format[1]), char(format[0]), 0, 0, 0};
    png.append(4, '\0'); // CRC
    const uint32_t length = uint32_t(size - 3);
    png += {char(length >> 24), char(length >> 16), char(length >> 8), char(length)};
    png += "IDAT";
    png.append(reinterpret_cast<const char*>(data) + 3, size - 3);
    png.append(4, '\0'); // CRC
    return decodeOne(reinterpret_cast<const uint8_t*>(png.data()), png.size());
}

} // namespace pngfuzz
