#include "foundation/Crc.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const std::vector<uint8_t> digits{'1', '2', '3', '4', '5', '6', '7', '8', '9'};

} // namespace

TEST(Crc32, CheckValuesAndContinuation)
{
    EXPECT_EQ(CRC32_update(0, digits.data(), 9), 0xCBF43926u);
    EXPECT_EQ(CRC32_update(0xFFFFFFFF, digits.data(), 9), 0xD202D277u);
    EXPECT_EQ(CRC::CRC32_update(0, digits), 0xCBF43926u);
    for (uint32_t start : {0u, 1u, 0xFFFFFFFFu, 0x12345678u}) {
        EXPECT_EQ(CRC32_update(start, nullptr, 0), start);
        EXPECT_EQ(CRC::CRC32_update(start, {}), start);
    }
    // Continuing over the second half equals the CRC of the whole.
    const uint32_t head = CRC32_update(0, digits.data(), 4);
    EXPECT_EQ(CRC32_update(head, digits.data() + 4, 5), 0xCBF43926u);
}

TEST(Crc16, FcsCheckAndGoodResidue)
{
    const uint16_t fcs = CRC16_update(0xFFFF, digits.data(), 9);
    EXPECT_EQ(fcs, 0x6F91);
    EXPECT_EQ(static_cast<uint16_t>(~fcs), 0x906E);
    std::vector<uint8_t> framed = digits;
    framed.push_back(0x6E);
    framed.push_back(0x90);
    EXPECT_EQ(CRC::CRC16_update(0xFFFF, framed), 0xF0B8);
    // Octet by octet, as the framing feeds it.
    uint16_t r = 0xFFFF;
    for (uint8_t octet : digits) {
        r = CRC16_update(r, &octet, 1);
    }
    EXPECT_EQ(r, 0x6F91);
}

TEST(Crc8, DallasMaximCheckValue)
{
    EXPECT_EQ(CRC8_update(0, digits.data(), 9), 0xA1);
    EXPECT_EQ(CRC::CRC8_update(0, digits), 0xA1);
    EXPECT_EQ(CRC8_update(0x5A, nullptr, 0), 0x5A);
}
