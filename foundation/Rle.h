#pragma once
// Zero-run codec for LCD bitmaps. The microcontroller decodes the same
// format, so the byte layout is a wire format. Each control octet is followed
// by the literal octets it announces:
//   00LLLLLL  L literals follow (1..63)
//   01ZZZZZZ  Z zero octets (1..63; 0x40 decodes as nothing)
//   1ZZZLLLL  Z zero octets (0..7), then L literals follow (0..15)
//   0x00, 0x80 are invalid.
// Pure functions: no state, no allocation, callable from any thread at once.

#include <cstdint>
#include <vector>

// Encodes n octets of src into dst, which has room for cap octets. Returns
// the octets written, or 0 for empty input or when the code does not fit.
int RLC_compress(const uint8_t* src, int n, uint8_t* dst, int cap);
// Decodes n octets of src into dst (room for cap). Returns the octets
// written; 0 for empty input, an invalid control octet or output beyond cap.
// Input that ends inside announced literals yields what was written so far.
int RLC_uncompress(const uint8_t* src, int n, uint8_t* dst, int cap);

class RLE
{
public:
    RLE() = delete;

    // Replace out with the result, sized within twice the input's length.
    // Return false (out empty) when the result would be empty or larger.
    static bool compress(const std::vector<uint8_t>& in, std::vector<uint8_t>& out);
    static bool uncompress(const std::vector<uint8_t>& in, std::vector<uint8_t>& out);
};
