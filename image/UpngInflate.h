#pragma once
// The PNG decoder's own zlib and DEFLATE decompression. It checks the zlib
// header but not the Adler-32 trailer, and decodes into a buffer of known
// size that the stream must fill exactly.
//
// Pure functions over caller-owned memory: nothing is allocated here, so
// the caller bounds every buffer. Callable from any thread at once with
// distinct tables.

#include <cstddef>
#include <cstdint>

// One canonical Huffman code as a lookup table. The primary table is indexed
// by the next rootBits input bits; longer codes continue in subtables of
// 2^subBits entries. An entry holds the symbol (or, with UPNG_HUFFMAN_LINK,
// the offset of its subtable) in bits 0-15 and the code's length in bits
// 16-23. Bit sequences that reach no code (an incomplete code) decode as
// symbol 0 and take as many bits as the code's longest length.
struct UpngHuffman {
    uint32_t* entries;
    unsigned rootBits;
    unsigned subBits;
};

constexpr uint32_t UPNG_HUFFMAN_LINK = 1u << 24;
constexpr unsigned UPNG_MAX_CODE_BITS = 15;
constexpr unsigned UPNG_LITERAL_SYMBOLS = 288;
constexpr unsigned UPNG_DISTANCE_SYMBOLS = 32;
constexpr unsigned UPNG_LITERAL_ROOT_BITS = 10;
constexpr unsigned UPNG_DISTANCE_ROOT_BITS = 8;

// Room for the codes of one dynamic block. A subtable holds at most
// 2^(15 - root bits) entries and each symbol starts at most one, so these
// sizes bound every table that lengths of at most 15 bits can build.
struct UpngInflateTables {
    uint32_t literal[(1u << UPNG_LITERAL_ROOT_BITS) +
                     UPNG_LITERAL_SYMBOLS * (1u << (UPNG_MAX_CODE_BITS - UPNG_LITERAL_ROOT_BITS))];
    uint32_t distance[(1u << UPNG_DISTANCE_ROOT_BITS) +
                      UPNG_DISTANCE_SYMBOLS * (1u << (UPNG_MAX_CODE_BITS - UPNG_DISTANCE_ROOT_BITS))];
    uint32_t codeLength[1u << 7];
};

// Builds the canonical code of count symbols with the given lengths (0 = not
// used, at most 15) into code.entries, whose room the caller sized for
// maxRootBits as UpngInflateTables does. Returns false when the lengths
// over-subscribe the code; an incomplete code is accepted.
bool huffman_tree_create_lengths(UpngHuffman& code, const uint8_t* lengths, unsigned count,
                                 unsigned maxRootBits);

// Inflates the zlib stream src[0, srcSize) into out[0, outSize). Returns 0
// when the stream's blocks fill out exactly, else the upng_check that
// failed (all of them malformed data).
uint32_t upng_zlib_inflate(UpngInflateTables& tables, uint8_t* out, size_t outSize,
                           const uint8_t* src, size_t srcSize);
