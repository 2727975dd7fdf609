#include "foundation/Rle.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

using Bytes = std::vector<uint8_t>;

namespace {

Bytes repeat(uint8_t value, size_t count)
{
    return Bytes(count, value);
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

Bytes encode(const Bytes& in, int cap)
{
    // Exactly cap octets on the heap, so a write past cap trips the sanitizer.
    std::unique_ptr<uint8_t[]> dst(new uint8_t[cap > 0 ? cap : 1]);
    const int n = RLC_compress(in.data(), static_cast<int>(in.size()), dst.get(), cap);
    return Bytes(dst.get(), dst.get() + n);
}

Bytes decode(const Bytes& in, int cap)
{
    std::unique_ptr<uint8_t[]> dst(new uint8_t[cap > 0 ? cap : 1]);
    const int n = RLC_uncompress(in.data(), static_cast<int>(in.size()), dst.get(), cap);
    return Bytes(dst.get(), dst.get() + n);
}

struct Vector {
    const char* name;
    Bytes plain;
    Bytes code;
};

Bytes literals(size_t count)
{
    Bytes out;
    for (size_t i = 0; i < count; ++i) {
        out.push_back(static_cast<uint8_t>(1 + i % 255));
    }
    return out;
}

} // namespace

TEST(RleCodec, WireVectors)
{
    const Bytes sixtyFive = literals(65);
    const Bytes twenty = literals(20);
    const std::vector<Vector> vectors{
        {"worked example", {0, 0, 0, 5, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7}, {0xB2, 5, 6, 0x49, 0x01, 7}},
        {"seventy zeros", repeat(0, 70), {0x7F, 0x47}},
        {"one zero", {0}, {0x41}},
        {"one literal", {5}, {0x01, 5}},
        {"final zero never held", {1, 0}, {0x01, 1, 0x41}},
        {"eight zeros too many to hold", concat({repeat(0, 8), {1}}), {0x48, 0x01, 1}},
        {"two zeros held", {1, 0, 0, 1}, {0x01, 1, 0xA1, 1}},
        {"three zeros held", {1, 0, 0, 0, 1}, {0x01, 1, 0xB1, 1}},
        {"seven zeros held", concat({repeat(0, 7), {9}}), {0xF1, 9}},
        {"sixty-five literals", sixtyFive,
         concat({{0x3F}, Bytes(sixtyFive.begin(), sixtyFive.begin() + 63), {0x02}, Bytes(sixtyFive.end() - 2, sixtyFive.end())})},
        {"held zeros cut literals at fifteen", concat({repeat(0, 3), twenty}),
         concat({{0xBF}, Bytes(twenty.begin(), twenty.begin() + 15), {0x05}, Bytes(twenty.begin() + 15, twenty.end())})},
        {"long zero run then short held remainder", concat({repeat(0, 65), {3}}), {0x7F, 0xA1, 3}},
    };
    for (const Vector& v : vectors) {
        SCOPED_TRACE(v.name);
        EXPECT_EQ(encode(v.plain, static_cast<int>(v.code.size())), v.code);
        EXPECT_EQ(decode(v.code, static_cast<int>(v.plain.size())), v.plain);
    }
}

TEST(RleCodec, EmptyInput)
{
    uint8_t dst[4] = {};
    EXPECT_EQ(RLC_compress(nullptr, 0, dst, 4), 0);
    EXPECT_EQ(RLC_uncompress(nullptr, 0, dst, 4), 0);
    Bytes out{1, 2};
    EXPECT_FALSE(RLE::compress({}, out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(RLE::uncompress({}, out));
    EXPECT_TRUE(out.empty());
}

TEST(RleCodec, MalformedInput)
{
    EXPECT_TRUE(decode({0x00}, 16).empty());
    EXPECT_TRUE(decode({0x80}, 16).empty());
    EXPECT_TRUE(decode({0x01, 7, 0x80, 1}, 16).empty());
    EXPECT_TRUE(decode({0x41, 0x00}, 16).empty());
    EXPECT_EQ(decode({0x40, 0x01, 7}, 16), (Bytes{7}));
    // Input ending inside announced literals yields what was written.
    EXPECT_EQ(decode({0x02, 5}, 16), (Bytes{5}));
    EXPECT_EQ(decode({0x93}, 16), (Bytes{0}));
    EXPECT_TRUE(decode({0x40}, 16).empty());
}

TEST(RleCodec, NeverWritesPastCap)
{
    const Bytes example{0, 0, 0, 5, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7};
    const Bytes code{0xB2, 5, 6, 0x49, 0x01, 7};
    for (int cap = 0; cap < static_cast<int>(code.size()); ++cap) {
        EXPECT_TRUE(encode(example, cap).empty()) << cap;
    }
    for (int cap = 0; cap < static_cast<int>(example.size()); ++cap) {
        EXPECT_TRUE(decode(code, cap).empty()) << cap;
    }
    // A zero run larger than the room left.
    EXPECT_TRUE(decode({0x7F}, 62).empty());
    EXPECT_EQ(decode({0x7F}, 63).size(), 63u);
}

TEST(RleCodec, VectorWrappersLimitDecodingToTwiceTheInput)
{
    const Bytes example{0, 0, 0, 5, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7};
    Bytes code;
    ASSERT_TRUE(RLE::compress(example, code));
    EXPECT_EQ(code, (Bytes{0xB2, 5, 6, 0x49, 0x01, 7}));
    Bytes out{9};
    EXPECT_FALSE(RLE::uncompress(code, out));
    EXPECT_TRUE(out.empty());

    const Bytes mostlyLiteral{1, 2, 0, 3, 4, 5, 0, 0, 6};
    ASSERT_TRUE(RLE::compress(mostlyLiteral, code));
    ASSERT_TRUE(RLE::uncompress(code, out));
    EXPECT_EQ(out, mostlyLiteral);
}

TEST(RleCodec, RandomBuffersRoundTrip)
{
    std::mt19937 random(20240517);
    for (int round = 0; round < 500; ++round) {
        const size_t size = 1 + random() % 600;
        const unsigned zeroPercent = random() % 101;
        Bytes plain(size);
        for (uint8_t& octet : plain) {
            octet = random() % 100 < zeroPercent ? 0 : static_cast<uint8_t>(1 + random() % 255);
        }
        // Worst case of the format stays within twice the input.
        const Bytes code = encode(plain, static_cast<int>(plain.size() * 2));
        ASSERT_FALSE(code.empty()) << "round " << round;
        // The encoder never writes the invalid or empty control octets.
        for (size_t i = 0; i < code.size();) {
            const uint8_t control = code[i++];
            ASSERT_TRUE(control != 0x00 && control != 0x40 && control != 0x80) << "round " << round;
            i += (control & 0x80) != 0 ? (control & 0x0F) : (control & 0x40) != 0 ? 0 : control;
        }
        ASSERT_EQ(decode(code, static_cast<int>(plain.size())), plain) << "round " << round;
    }
}
