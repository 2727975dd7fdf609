// Inflate for the PNG decoder. Input is read through a 64-bit bit buffer that
// is refilled once per symbol; near the end of the input it is padded with
// zero octets, and consuming any padding is reported as reading past the end.

#include "image/UpngInflate.h"

#include <cstring>

#include "image/UpngCheck.h"

namespace {

const uint16_t LENGTH_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t LENGTH_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t DISTANCE_BASE[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                    33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t DISTANCE_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which a dynamic block lists its code-length code's lengths.
const uint8_t CLCL[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

constexpr unsigned END_OF_BLOCK = 256;
constexpr unsigned LAST_LENGTH_SYMBOL = 285;
constexpr unsigned LAST_DISTANCE_SYMBOL = 29;

// The fixed codes of DEFLATE's block type 1, built once.
struct FixedCodes {
    uint32_t literalEntries[1u << 9];
    uint32_t distanceEntries[1u << 5];
    UpngHuffman FIXED_DEFLATE_CODE_TREE;
    UpngHuffman FIXED_DISTANCE_TREE;

    FixedCodes()
    {
        uint8_t lengths[UPNG_LITERAL_SYMBOLS];
        for (unsigned s = 0; s < UPNG_LITERAL_SYMBOLS; ++s) {
            lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
        }
        FIXED_DEFLATE_CODE_TREE.entries = literalEntries;
        huffman_tree_create_lengths(FIXED_DEFLATE_CODE_TREE, lengths, UPNG_LITERAL_SYMBOLS, 9);
        std::memset(lengths, 5, UPNG_DISTANCE_SYMBOLS);
        FIXED_DISTANCE_TREE.entries = distanceEntries;
        huffman_tree_create_lengths(FIXED_DISTANCE_TREE, lengths, UPNG_DISTANCE_SYMBOLS, 5);
    }
};

const FixedCodes& fixedCodes()
{
    static const FixedCodes codes;
    return codes;
}

uint64_t loadLittleEndian64(const uint8_t* p)
{
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    return word;
}

// LSB-first bit reader. After refill() at least 56 bits are buffered, enough
// for a length, its extra bits, a distance and its extra bits.
struct BitReader {
    const uint8_t* in;
    const uint8_t* end;
    uint64_t bits = 0;
    unsigned count = 0;
    unsigned padded = 0; // zero octets appended past the end of the input

    void refill()
    {
        if (end - in >= 8) {
            // Bits above count may hold part of the next octet; a later
            // refill ORs the same octet into the same place.
            bits |= loadLittleEndian64(in) << count;
            in += (63 - count) >> 3;
            count |= 56;
            return;
        }
        while (count <= 56) {
            if (in < end) {
                bits |= uint64_t(*in++) << count;
            } else {
                ++padded;
            }
            count += 8;
        }
    }
    bool pastEnd() const { return count < padded * 8; }
    uint32_t take(unsigned n)
    {
        const uint32_t value = uint32_t(bits & ((uint64_t(1) << n) - 1));
        bits >>= n;
        count -= n;
        return value;
    }
    unsigned decode(const UpngHuffman& code)
    {
        uint32_t entry = code.entries[bits & ((1u << code.rootBits) - 1)];
        if (entry & UPNG_HUFFMAN_LINK) {
            const uint32_t index = uint32_t(bits >> code.rootBits) & ((1u << code.subBits) - 1);
            entry = code.entries[(entry & 0xFFFF) + index];
        }
        take((entry >> 16) & 0xFF);
        return entry & 0xFFFF;
    }
};

struct Inflater {
    BitReader reader;
    uint8_t* out;
    size_t outSize;
    size_t pos = 0;

    uint32_t storedBlock();
    // Reads total code lengths coded with lengthCode, runs expanded.
    uint32_t readLengths(const UpngHuffman& lengthCode, uint8_t* lengths, unsigned total);
    // Reads a dynamic block's codes into the tables.
    uint32_t dynamicCodes(UpngInflateTables& tables, UpngHuffman& literal, UpngHuffman& distance);
    uint32_t inflate_huffman(const UpngHuffman& literal, const UpngHuffman& distance);
};

uint32_t Inflater::storedBlock()
{
    BitReader& r = reader;
    r.take(r.count % 8);
    if (r.padded > r.count / 8) {
        return UPNG_CHECK_INPUT_PAST_END;
    }
    const uint8_t* p = r.in - (r.count / 8 - r.padded);
    r.bits = 0;
    r.count = 0;
    r.padded = 0;
    if (r.end - p < 4) {
        return UPNG_CHECK_STORED_SHORT;
    }
    const unsigned length = p[0] | unsigned(p[1]) << 8;
    const unsigned complement = p[2] | unsigned(p[3]) << 8;
    if (length + complement != 0xFFFF) {
        return UPNG_CHECK_STORED_LENGTH;
    }
    p += 4;
    if (size_t(r.end - p) < length) {
        return UPNG_CHECK_STORED_DATA;
    }
    if (outSize - pos < length) {
        return UPNG_CHECK_OUTPUT_OVERFLOW;
    }
    std::memcpy(out + pos, p, length);
    pos += length;
    r.in = p + length;
    return UPNG_CHECK_NONE;
}

uint32_t Inflater::readLengths(const UpngHuffman& lengthCode, uint8_t* lengths, unsigned total)
{
    BitReader& r = reader;
    unsigned i = 0;
    while (i < total) {
        r.refill();
        if (r.pastEnd()) {
            return UPNG_CHECK_INPUT_PAST_END;
        }
        const unsigned symbol = r.decode(lengthCode);
        if (symbol < 16) {
            lengths[i++] = uint8_t(symbol);
            continue;
        }
        uint8_t value = 0;
        unsigned repeat;
        if (symbol == 16) {
            if (i == 0) {
                return UPNG_CHECK_REPEAT_NO_PREVIOUS;
            }
            value = lengths[i - 1];
            repeat = 3 + r.take(2);
        } else if (symbol == 17) {
            repeat = 3 + r.take(3);
        } else {
            repeat = 11 + r.take(7);
        }
        if (repeat > total - i) {
            return UPNG_CHECK_REPEAT_PAST_END;
        }
        std::memset(lengths + i, value, repeat);
        i += repeat;
    }
    return UPNG_CHECK_NONE;
}

uint32_t Inflater::dynamicCodes(UpngInflateTables& tables, UpngHuffman& literal, UpngHuffman& distance)
{
    BitReader& r = reader;
    r.refill();
    const unsigned hlit = r.take(5) + 257;
    const unsigned hdist = r.take(5) + 1;
    const unsigned hclen = r.take(4) + 4;
    uint8_t codeLengths[19] = {};
    for (unsigned i = 0; i < hclen; ++i) {
        r.refill();
        codeLengths[CLCL[i]] = uint8_t(r.take(3));
    }
    UpngHuffman lengthCode{tables.codeLength, 0, 0};
    if (!huffman_tree_create_lengths(lengthCode, codeLengths, 19, 7)) {
        return UPNG_CHECK_CODE_LENGTH_CODE;
    }
    uint8_t lengths[UPNG_LITERAL_SYMBOLS + UPNG_DISTANCE_SYMBOLS] = {};
    if (const uint32_t check = readLengths(lengthCode, lengths, hlit + hdist)) {
        return check;
    }
    if (lengths[END_OF_BLOCK] == 0) {
        return UPNG_CHECK_NO_END_OF_BLOCK;
    }
    uint8_t literalLengths[UPNG_LITERAL_SYMBOLS] = {};
    uint8_t distanceLengths[UPNG_DISTANCE_SYMBOLS] = {};
    std::memcpy(literalLengths, lengths, hlit);
    std::memcpy(distanceLengths, lengths + hlit, hdist);
    literal = UpngHuffman{tables.literal, 0, 0};
    distance = UpngHuffman{tables.distance, 0, 0};
    if (!huffman_tree_create_lengths(literal, literalLengths, UPNG_LITERAL_SYMBOLS,
                                     UPNG_LITERAL_ROOT_BITS)) {
        return UPNG_CHECK_LITERAL_CODE;
    }
    if (!huffman_tree_create_lengths(distance, distanceLengths, UPNG_DISTANCE_SYMBOLS,
                                     UPNG_DISTANCE_ROOT_BITS)) {
        return UPNG_CHECK_DISTANCE_CODE;
    }
    return UPNG_CHECK_NONE;
}

uint32_t Inflater::inflate_huffman(const UpngHuffman& literal, const UpngHuffman& distance)
{
    BitReader& r = reader;
    for (;;) {
        r.refill();
        if (r.pastEnd()) {
            return UPNG_CHECK_INPUT_PAST_END;
        }
        const unsigned symbol = r.decode(literal);
        if (symbol < END_OF_BLOCK) {
            if (pos == outSize) {
                return UPNG_CHECK_OUTPUT_OVERFLOW;
            }
            out[pos++] = uint8_t(symbol);
            continue;
        }
        if (symbol == END_OF_BLOCK) {
            return UPNG_CHECK_NONE;
        }
        if (symbol > LAST_LENGTH_SYMBOL) {
            continue; // 286 and 287 carry no length
        }
        const size_t length = LENGTH_BASE[symbol - 257] + r.take(LENGTH_EXTRA[symbol - 257]);
        const unsigned distanceSymbol = r.decode(distance);
        if (distanceSymbol > LAST_DISTANCE_SYMBOL) {
            return UPNG_CHECK_DISTANCE_SYMBOL;
        }
        const size_t back = DISTANCE_BASE[distanceSymbol] + r.take(DISTANCE_EXTRA[distanceSymbol]);
        if (back > pos) {
            return UPNG_CHECK_DISTANCE_TOO_FAR;
        }
        if (length > outSize - pos) {
            return UPNG_CHECK_OUTPUT_OVERFLOW;
        }
        uint8_t* to = out + pos;
        const uint8_t* from = to - back;
        if (back >= length) {
            std::memcpy(to, from, length);
        } else {
            // An overlapping copy repeats the last `back` octets.
            for (size_t i = 0; i < length; ++i) {
                to[i] = from[i];
            }
        }
        pos += length;
    }
}

uint32_t zlibHeaderCheck(const uint8_t* src, size_t srcSize)
{
    if (srcSize < 2) {
        return UPNG_CHECK_ZLIB_SHORT;
    }
    if ((src[0] * 256u + src[1]) % 31 != 0) {
        return UPNG_CHECK_ZLIB_HEADER_CHECK;
    }
    if ((src[0] & 0x0F) != 8) {
        return UPNG_CHECK_ZLIB_METHOD;
    }
    if ((src[0] >> 4) > 7) {
        return UPNG_CHECK_ZLIB_WINDOW;
    }
    if (src[1] & 0x20) {
        return UPNG_CHECK_ZLIB_DICTIONARY;
    }
    return UPNG_CHECK_NONE;
}

} // namespace

uint32_t upng_zlib_inflate(UpngInflateTables& tables, uint8_t* out, size_t outSize,
                           const uint8_t* src, size_t srcSize)
{
    if (const uint32_t check = zlibHeaderCheck(src, srcSize)) {
        return check;
    }
    Inflater inflater{BitReader{src + 2, src + srcSize}, out, outSize};
    BitReader& r = inflater.reader;
    bool final = false;
    while (!final) {
        r.refill();
        final = r.take(1) != 0;
        const unsigned type = r.take(2);
        uint32_t check = UPNG_CHECK_NONE;
        if (type == 0) {
            check = inflater.storedBlock();
        } else if (type == 1) {
            check = inflater.inflate_huffman(fixedCodes().FIXED_DEFLATE_CODE_TREE,
                                             fixedCodes().FIXED_DISTANCE_TREE);
        } else if (type == 2) {
            UpngHuffman literal{};
            UpngHuffman distance{};
            check = inflater.dynamicCodes(tables, literal, distance);
            if (check == UPNG_CHECK_NONE) {
                check = inflater.inflate_huffman(literal, distance);
            }
        } else {
            check = UPNG_CHECK_BLOCK_TYPE;
        }
        if (check != UPNG_CHECK_NONE) {
            return check;
        }
    }
    if (r.pastEnd()) {
        return UPNG_CHECK_INPUT_PAST_END;
    }
    return inflater.pos == outSize ? UPNG_CHECK_NONE : UPNG_CHECK_OUTPUT_SHORT;
}
