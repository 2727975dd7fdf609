// One fuzz case of the BMP reader: arbitrary bytes read as a file with each
// combination of flags. A read either fills the record within the caps, with
// an output of every row it promises, or leaves the record cleared. Shared
// by the libFuzzer target and the corpus replay test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "image/Bmpread.h"
#include "image/ImageLimits.h"

namespace bmpfuzz {

inline bool powerOfTwo(int32_t n)
{
    return n > 0 && (n & (n - 1)) == 0;
}

// Returns an empty string when the reader kept its promises, else what broke.
inline std::string runOne(const uint8_t* data, size_t size)
{
    for (int flags = 0; flags < 8; ++flags) {
        bmpread_image image{-1, -1, -1, nullptr};
        const int result = bmpread_bytes(data, size, flags, &image);
        if (result == 0) {
            if (image.width != 0 || image.height != 0 || image.bits != 0 || image.data != nullptr) {
                return "a refusal left the record filled";
            }
            continue;
        }
        if (result != 1 || image.data == nullptr) {
            return "a read returned neither 0 nor 1 with data";
        }
        if (image.width < 1 || image.height < 1 || uint32_t(image.width) > IMAGE_MAX_SIDE
            || uint32_t(image.height) > IMAGE_MAX_SIDE) {
            return "a read gave a size outside the caps";
        }
        if ((flags & BMPREAD_ANY_SIZE) == 0 && (!powerOfTwo(image.width) || !powerOfTwo(image.height))) {
            return "a size not a power of two passed without flag 4";
        }
        if (image.bits != 1 && image.bits != 4 && image.bits != 8 && image.bits != 24) {
            return "a read reported unsupported bits";
        }
        // Touching every promised byte lets the address sanitizer see a short output.
        const size_t row = 3 * size_t(image.width);
        const size_t stride = (flags & BMPREAD_BYTE_ALIGN) != 0 ? row : (row + 3) / 4 * 4;
        volatile unsigned char sink = 0;
        for (size_t i = 0; i < stride * size_t(image.height); ++i) {
            sink = sink ^ image.data[i];
        }
        bmpread_free(&image);
        if (image.data != nullptr) {
            return "free left the record filled";
        }
    }
    return "";
}

} // namespace bmpfuzz
