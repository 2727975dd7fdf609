#include "foundation/Crc.h"

#include <array>

namespace {

constexpr std::array<uint32_t, 256> makeCrc32Table()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i;
        for (int bit = 0; bit < 8; ++bit) {
            r = (r & 1) != 0 ? (r >> 1) ^ 0xEDB88320u : r >> 1;
        }
        table[i] = r;
    }
    return table;
}

constexpr std::array<uint32_t, 256> crc32_table = makeCrc32Table();

} // namespace

uint32_t CRC32_update(uint32_t crc, const uint8_t* data, uint32_t len)
{
    if (len == 0) {
        return crc;
    }
    uint32_t r = ~crc;
    for (uint32_t i = 0; i < len; ++i) {
        r = (r >> 8) ^ crc32_table[(r ^ data[i]) & 0xFF];
    }
    return ~r;
}

uint16_t CRC16_update(uint16_t crc, const uint8_t* data, uint32_t len)
{
    uint16_t r = crc;
    for (uint32_t i = 0; i < len; ++i) {
        r ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            r = (r & 1) != 0 ? static_cast<uint16_t>((r >> 1) ^ 0x8408) : static_cast<uint16_t>(r >> 1);
        }
    }
    return r;
}

uint8_t CRC8_update(uint8_t crc, const uint8_t* data, uint32_t len)
{
    uint8_t r = crc;
    for (uint32_t i = 0; i < len; ++i) {
        uint8_t octet = data[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool feedback = ((r ^ octet) & 1) != 0;
            r = static_cast<uint8_t>(r >> 1);
            if (feedback) {
                r ^= 0x8C;
            }
            octet = static_cast<uint8_t>(octet >> 1);
        }
    }
    return r;
}

uint32_t CRC::CRC32_update(uint32_t crc, const std::vector<uint8_t>& data)
{
    return ::CRC32_update(crc, data.data(), static_cast<uint32_t>(data.size()));
}

uint16_t CRC::CRC16_update(uint16_t crc, const std::vector<uint8_t>& data)
{
    return ::CRC16_update(crc, data.data(), static_cast<uint32_t>(data.size()));
}

uint8_t CRC::CRC8_update(uint8_t crc, const std::vector<uint8_t>& data)
{
    return ::CRC8_update(crc, data.data(), static_cast<uint32_t>(data.size()));
}
