#include "image/UpngFilter.h"

#include <cstdlib>
#include <cstring>

#include "image/UpngCheck.h"

namespace {

uint8_t paeth(int left, int up, int upLeft)
{
    const int p = left + up - upLeft;
    const int toLeft = std::abs(p - left);
    const int toUp = std::abs(p - up);
    const int toUpLeft = std::abs(p - upLeft);
    if (toLeft <= toUp && toLeft <= toUpLeft) {
        return uint8_t(left);
    }
    return uint8_t(toUp <= toUpLeft ? up : upLeft);
}

// Reconstructs one row of length octets. scan may be recon itself (in
// place); prev is null above the first row, where the row above counts as
// zeros. unit is the distance to the corresponding octet of the pixel on
// the left.
bool unfilterRow(uint8_t* recon, const uint8_t* scan, const uint8_t* prev, size_t length,
                 size_t unit, uint8_t type)
{
    const size_t head = unit < length ? unit : length;
    switch (type) {
    case 0:
        if (recon != scan) {
            std::memcpy(recon, scan, length);
        }
        return true;
    case 1:
        for (size_t i = 0; i < head; ++i) {
            recon[i] = scan[i];
        }
        for (size_t i = unit; i < length; ++i) {
            recon[i] = uint8_t(scan[i] + recon[i - unit]);
        }
        return true;
    case 2:
        for (size_t i = 0; i < length; ++i) {
            recon[i] = uint8_t(scan[i] + (prev ? prev[i] : 0));
        }
        return true;
    case 3:
        for (size_t i = 0; i < head; ++i) {
            recon[i] = uint8_t(scan[i] + (prev ? prev[i] : 0) / 2);
        }
        for (size_t i = unit; i < length; ++i) {
            recon[i] = uint8_t(scan[i] + ((prev ? prev[i] : 0) + recon[i - unit]) / 2);
        }
        return true;
    case 4:
        for (size_t i = 0; i < head; ++i) {
            recon[i] = uint8_t(scan[i] + paeth(0, prev ? prev[i] : 0, 0));
        }
        for (size_t i = unit; i < length; ++i) {
            recon[i] = uint8_t(scan[i] + paeth(recon[i - unit], prev ? prev[i] : 0,
                                                prev ? prev[i - unit] : 0));
        }
        return true;
    default:
        return false;
    }
}

} // namespace

uint32_t unfilter(uint8_t* out, uint8_t* filtered, uint32_t width, uint32_t height,
                  unsigned bitsPerPixel)
{
    const size_t rowBits = size_t(width) * bitsPerPixel;
    const size_t rowBytes = (rowBits + 7) / 8;
    const size_t unit = (bitsPerPixel + 7) / 8;
    const bool packed = rowBits % 8 != 0;
    const uint8_t* prev = nullptr;
    for (size_t y = 0; y < height; ++y) {
        uint8_t* scan = filtered + y * (rowBytes + 1);
        // Rows with padding bits are rebuilt in place, then packed below.
        uint8_t* recon = packed ? scan + 1 : out + y * rowBytes;
        if (!unfilterRow(recon, scan + 1, prev, rowBytes, unit, scan[0])) {
            return UPNG_CHECK_FILTER_TYPE;
        }
        prev = recon;
    }
    if (!packed) {
        return UPNG_CHECK_NONE;
    }
    size_t outBit = 0;
    for (size_t y = 0; y < height; ++y) {
        const uint8_t* row = filtered + y * (rowBytes + 1) + 1;
        for (size_t bit = 0; bit < rowBits; ++bit, ++outBit) {
            const unsigned value = (row[bit / 8] >> (7 - bit % 8)) & 1u;
            uint8_t& target = out[outBit / 8];
            const uint8_t mask = uint8_t(0x80u >> (outBit % 8));
            target = uint8_t(value ? target | mask : target & ~mask);
        }
    }
    return UPNG_CHECK_NONE;
}
