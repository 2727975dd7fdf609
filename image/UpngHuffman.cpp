// Canonical Huffman codes as lookup tables for the PNG decoder's inflate.

#include "image/UpngInflate.h"

namespace {

uint32_t reverseBits(uint32_t code, unsigned length)
{
    uint32_t reversed = 0;
    for (unsigned i = 0; i < length; ++i) {
        reversed = (reversed << 1) | ((code >> i) & 1u);
    }
    return reversed;
}

} // namespace

bool huffman_tree_create_lengths(UpngHuffman& code, const uint8_t* lengths, unsigned count,
                                 unsigned maxRootBits)
{
    unsigned perLength[UPNG_MAX_CODE_BITS + 1] = {};
    for (unsigned s = 0; s < count; ++s) {
        ++perLength[lengths[s]];
    }
    perLength[0] = 0;
    unsigned maxLength = 0;
    long left = 1;
    for (unsigned len = 1; len <= UPNG_MAX_CODE_BITS; ++len) {
        left = left * 2 - long(perLength[len]);
        if (left < 0) {
            return false;
        }
        if (perLength[len] != 0) {
            maxLength = len;
        }
    }
    code.rootBits = maxLength < maxRootBits ? maxLength : maxRootBits;
    code.subBits = maxLength - code.rootBits;
    const uint32_t unused = uint32_t(maxLength) << 16;
    const uint32_t rootSize = 1u << code.rootBits;
    const uint32_t subSize = 1u << code.subBits;
    for (uint32_t i = 0; i < rootSize; ++i) {
        code.entries[i] = unused;
    }
    uint32_t nextCode[UPNG_MAX_CODE_BITS + 1] = {};
    for (unsigned len = 1, value = 0; len <= UPNG_MAX_CODE_BITS; ++len) {
        value = (value + perLength[len - 1]) << 1;
        nextCode[len] = value;
    }
    uint32_t used = rootSize;
    for (unsigned s = 0; s < count; ++s) {
        const unsigned len = lengths[s];
        if (len == 0) {
            continue;
        }
        const uint32_t reversed = reverseBits(nextCode[len]++, len);
        const uint32_t entry = s | uint32_t(len) << 16;
        if (len <= code.rootBits) {
            for (uint32_t i = reversed; i < rootSize; i += 1u << len) {
                code.entries[i] = entry;
            }
            continue;
        }
        uint32_t& link = code.entries[reversed & (rootSize - 1)];
        if (!(link & UPNG_HUFFMAN_LINK)) {
            for (uint32_t i = 0; i < subSize; ++i) {
                code.entries[used + i] = unused;
            }
            link = UPNG_HUFFMAN_LINK | used;
            used += subSize;
        }
        uint32_t* sub = code.entries + (link & 0xFFFF);
        for (uint32_t i = reversed >> code.rootBits; i < subSize; i += 1u << (len - code.rootBits)) {
            sub[i] = entry;
        }
    }
    return true;
}
