#pragma once
// Builds BMP files byte by byte for the tests: a 14-byte file header and a
// 40-byte information header, then the palette and the rows exactly as the
// test writes them (padding included).

#include <cstdint>
#include <string>
#include <vector>

struct BmpSpec
{
    int32_t width;
    int32_t height;
    uint16_t bits;
    std::vector<uint8_t> palette; // blue, green, red, unused per entry
    std::vector<uint8_t> rows;    // as stored in the file
    uint32_t compression = 0;
    uint32_t coloursUsed = 0;
};

inline void putLe(std::vector<uint8_t>& out, size_t at, uint32_t value, int octets)
{
    for (int i = 0; i < octets; ++i) {
        out[at + i] = uint8_t(value >> (8 * i));
    }
}

inline std::vector<uint8_t> bmpFile(const BmpSpec& spec)
{
    std::vector<uint8_t> out(54);
    out[0] = 'B';
    out[1] = 'M';
    const uint32_t dataOffset = uint32_t(54 + spec.palette.size());
    putLe(out, 2, uint32_t(dataOffset + spec.rows.size()), 4);
    putLe(out, 10, dataOffset, 4);
    putLe(out, 14, 40, 4);
    putLe(out, 18, uint32_t(spec.width), 4);
    putLe(out, 22, uint32_t(spec.height), 4);
    putLe(out, 26, 1, 2);
    putLe(out, 28, spec.bits, 2);
    putLe(out, 30, spec.compression, 4);
    putLe(out, 46, spec.coloursUsed, 4);
    out.insert(out.end(), spec.palette.begin(), spec.palette.end());
    out.insert(out.end(), spec.rows.begin(), spec.rows.end());
    return out;
}

// A 2 × 2 picture at 24 bits; its bottom row (stored first when the height
// is positive) is 1,2,3 4,5,6 and its top row 7,8,9 10,11,12, stored blue,
// green, red.
inline BmpSpec twoByTwo(int32_t height)
{
    const std::vector<uint8_t> bottom = {3, 2, 1, 6, 5, 4, 0, 0};
    const std::vector<uint8_t> top = {9, 8, 7, 12, 11, 10, 0, 0};
    BmpSpec spec{2, height, 24, {}, {}};
    const auto& first = height > 0 ? bottom : top;
    const auto& second = height > 0 ? top : bottom;
    spec.rows = first;
    spec.rows.insert(spec.rows.end(), second.begin(), second.end());
    return spec;
}
