// The decoder's inflate against zlib's deflate, and hand-made streams for
// each way a stream can be malformed.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>
#include <zlib.h>

#include "image/PngFiles.h"
#include "image/UpngCheck.h"
#include "image/UpngInflate.h"

namespace {

struct Inflated {
    uint32_t check;
    Bytes out;
};

Inflated inflate(const Bytes& stream, size_t outSize)
{
    static std::unique_ptr<UpngInflateTables> tables(new UpngInflateTables);
    Bytes out(outSize, '\x5A');
    const uint32_t check =
        upng_zlib_inflate(*tables, reinterpret_cast<uint8_t*>(&out[0]), out.size(),
                          reinterpret_cast<const uint8_t*>(stream.data()), stream.size());
    return {check, out};
}

Bytes sample(int kind, size_t size, std::mt19937& random)
{
    Bytes data(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        switch (kind) {
        case 0: // incompressible
            data[i] = char(random());
            break;
        case 1: // a small alphabet in runs
            data[i] = i > 0 && random() % 3 ? data[i - 1] : char('a' + random() % 6);
            break;
        default: // repeats of earlier stretches at every distance
            data[i] = i > 300 && random() % 8 ? data[i - 1 - random() % 300] : char(random() % 40);
            break;
        }
    }
    return data;
}

TEST(UpngInflate, MatchesZlibAtEveryLevelAndStrategy)
{
    std::mt19937 random(35);
    std::set<int> firstBlockTypes;
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED}) {
        for (int level = 0; level <= 9; ++level) {
            for (int kind = 0; kind < 3; ++kind) {
                for (size_t size : {size_t(0), size_t(1), size_t(4000), size_t(70000)}) {
                    const Bytes data = sample(kind, size, random);
                    const Bytes stream = zlibCompress(data, level, strategy);
                    firstBlockTypes.insert((uint8_t(stream[2]) >> 1) & 3);
                    // The Adler-32 trailer is not read, so the stream decodes without it too.
                    for (const Bytes& input : {stream, stream.substr(0, stream.size() - 4)}) {
                        const Inflated inflated = inflate(input, data.size());
                        ASSERT_EQ(inflated.check, UPNG_CHECK_NONE) << "strategy " << strategy << " level " << level
                                                                   << " kind " << kind << " size " << size;
                        ASSERT_EQ(inflated.out, data) << "strategy " << strategy << " level " << level << " kind "
                                                      << kind << " size " << size;
                    }
                }
            }
        }
    }
    EXPECT_EQ(firstBlockTypes, (std::set<int>{0, 1, 2})) << "stored, fixed and dynamic blocks";
}

// A fixed-code symbol (RFC 1951's table of fixed literal/length codes).
DeflateBits& fixed(DeflateBits& bits, unsigned symbol)
{
    if (symbol < 144) {
        return bits.code(0x30 + symbol, 8);
    }
    if (symbol < 256) {
        return bits.code(0x190 + symbol - 144, 9);
    }
    if (symbol < 280) {
        return bits.code(symbol - 256, 7);
    }
    return bits.code(0xC0 + symbol - 280, 8);
}

// A final dynamic block whose code-length code gives each of the 19
// symbols 5 bits (symbol s is the code s), followed by the given
// code-length symbols with their extra bits.
DeflateBits dynamicBlock(unsigned hlit, unsigned hdist, const std::vector<std::pair<unsigned, unsigned>>& symbols,
                         unsigned codeLengthBits = 5)
{
    DeflateBits bits;
    bits.bits(1, 1).bits(2, 2).bits(hlit - 257, 5).bits(hdist - 1, 5).bits(19 - 4, 4);
    for (int i = 0; i < 19; ++i) {
        bits.bits(codeLengthBits, 3);
    }
    const unsigned extraBits[3] = {2, 3, 7};
    for (const auto& symbol : symbols) {
        bits.code(symbol.first, 5);
        if (symbol.first >= 16) {
            bits.bits(symbol.second, extraBits[symbol.first - 16]);
        }
    }
    return bits;
}

// Literal 65 and end of block with 2-bit codes 00 and 01: codes 10 and 11
// stay unused. No distance codes.
DeflateBits incompleteCodeBlock()
{
    return dynamicBlock(257, 1, {{18, 65 - 11}, {2, 0}, {18, 127}, {18, 190 - 138 - 11}, {2, 0}, {0, 0}});
}

TEST(UpngInflate, HandMadeStreams)
{
    DeflateBits fixedRepeat, fixedTooFar, fixedBadDistance, fixedSkips, truncated, notFinal, overlong;
    fixed(fixed(fixedRepeat.bits(1, 1).bits(1, 2), 'A'), 257).code(0, 5); // A, then 3 from distance 1
    fixed(fixedRepeat, 256);
    fixed(fixed(fixedTooFar.bits(1, 1).bits(1, 2), 'A'), 257).code(1, 5); // distance 2 after 1 octet
    fixed(fixed(fixedBadDistance.bits(1, 1).bits(1, 2), 'A'), 257).code(30, 5);
    fixed(fixed(fixed(fixed(fixedSkips.bits(1, 1).bits(1, 2), 286), 'A'), 287), 256);
    fixed(truncated.bits(1, 1).bits(1, 2), 'A');
    fixed(fixed(notFinal.bits(0, 1).bits(1, 2), 'A'), 256);
    fixed(fixed(fixed(overlong.bits(1, 1).bits(1, 2), 'A'), 'B'), 256);
    const Bytes stored = DeflateBits().bits(1, 1).bits(0, 2).octets(Bytes("\x02\0\xFD\xFF" "AB", 6)).zlib();
    struct Case {
        const char* name;
        Bytes stream;
        size_t outSize;
        uint32_t check;
        Bytes out;
    };
    const Case cases[] = {
        {"stored", stored, 2, UPNG_CHECK_NONE, "AB"},
        {"stored, empty", DeflateBits().bits(1, 1).octets(Bytes("\0\0\xFF\xFF", 4)).zlib(), 0, UPNG_CHECK_NONE, ""},
        {"stored, bad complement", DeflateBits().bits(1, 1).octets(Bytes("\x02\0\xFC\xFF" "AB", 6)).zlib(), 2,
         UPNG_CHECK_STORED_LENGTH, ""},
        {"stored, three octets of length", DeflateBits().bits(1, 1).octets(Bytes("\x02\0\xFD", 3)).zlib(), 2,
         UPNG_CHECK_STORED_SHORT, ""},
        {"stored, data cut", stored.substr(0, stored.size() - 1), 2, UPNG_CHECK_STORED_DATA, ""},
        {"block type 3", DeflateBits().bits(1, 1).bits(3, 2).zlib(), 0, UPNG_CHECK_BLOCK_TYPE, ""},
        {"fixed, overlapping copy", fixedRepeat.zlib(), 4, UPNG_CHECK_NONE, "AAAA"},
        {"fixed, 286 and 287 skipped", fixedSkips.zlib(), 1, UPNG_CHECK_NONE, "A"},
        {"fixed, distance before the start", fixedTooFar.zlib(), 4, UPNG_CHECK_DISTANCE_TOO_FAR, ""},
        {"fixed, distance symbol 30", fixedBadDistance.zlib(), 4, UPNG_CHECK_DISTANCE_SYMBOL, ""},
        {"fixed, no end of block", truncated.zlib(), 1, UPNG_CHECK_INPUT_PAST_END, ""},
        {"no final block", notFinal.zlib(), 1, UPNG_CHECK_STORED_SHORT, ""}, // zero bits read as stored
        {"output past the buffer", overlong.zlib(), 1, UPNG_CHECK_OUTPUT_OVERFLOW, ""},
        {"output short of the buffer", overlong.zlib(), 3, UPNG_CHECK_OUTPUT_SHORT, ""},
        {"incomplete code, unused bits give 0", incompleteCodeBlock().code(0, 2).code(2, 2).code(1, 2).zlib(),
         2, UPNG_CHECK_NONE, Bytes("A\0", 2)},
        {"repeat with no previous length", dynamicBlock(257, 1, {{16, 0}}).zlib(), 1,
         UPNG_CHECK_REPEAT_NO_PREVIOUS, ""},
        {"repeat past the lengths", dynamicBlock(257, 1, {{18, 127}, {18, 127}}).zlib(), 1,
         UPNG_CHECK_REPEAT_PAST_END, ""},
        {"no end-of-block length", dynamicBlock(257, 1, {{18, 127}, {18, 109}}).zlib(), 1,
         UPNG_CHECK_NO_END_OF_BLOCK, ""},
        {"over-subscribed literal code", dynamicBlock(257, 1, {{1, 0}, {1, 0}, {1, 0}, {18, 127}, {18, 104}, {1, 0}, {0, 0}}).zlib(),
         1, UPNG_CHECK_LITERAL_CODE, ""},
        {"over-subscribed code-length code", dynamicBlock(257, 1, {}, 1).zlib(), 1, UPNG_CHECK_CODE_LENGTH_CODE, ""},
        {"zlib header cut", Bytes("\x78", 1), 0, UPNG_CHECK_ZLIB_SHORT, ""},
        {"zlib check", Bytes("\x78\x02\x03\x00", 4), 0, UPNG_CHECK_ZLIB_HEADER_CHECK, ""},
        {"zlib method", Bytes("\x79\x18\x03\x00", 4), 0, UPNG_CHECK_ZLIB_METHOD, ""},
        {"zlib window", Bytes("\x88\x98\x03\x00", 4), 0, UPNG_CHECK_ZLIB_WINDOW, ""},
        {"zlib dictionary", Bytes("\x78\xBB\0\0\0\0\x03\x00", 8), 0, UPNG_CHECK_ZLIB_DICTIONARY, ""},
    };
    for (const Case& c : cases) {
        const Inflated inflated = inflate(c.stream, c.outSize);
        EXPECT_EQ(inflated.check, c.check) << c.name;
        if (c.check == UPNG_CHECK_NONE) {
            EXPECT_EQ(inflated.out, c.out) << c.name;
        }
    }
}

} // namespace
