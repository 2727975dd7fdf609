#pragma once
// CRC engines of the link to the microcontroller. Pure functions: no state,
// no allocation, callable from any thread at once.
//
// CRC32_update: the standard reflected CRC-32 in "continue" form (start at 0
//   for a fresh CRC, pass a previous result to extend it over more data).
// CRC16_update: the raw FCS-16 register (reflected 0x8408, no complement);
//   the caller seeds 0xFFFF and complements the final value.
// CRC8_update: the Dallas/Maxim CRC-8 register (reflected 0x8C).

#include <cstdint>
#include <vector>

uint32_t CRC32_update(uint32_t crc, const uint8_t* data, uint32_t len);
uint16_t CRC16_update(uint16_t crc, const uint8_t* data, uint32_t len);
uint8_t CRC8_update(uint8_t crc, const uint8_t* data, uint32_t len);

class CRC
{
public:
    CRC() = delete;

    // The free functions over a whole vector.
    static uint32_t CRC32_update(uint32_t crc, const std::vector<uint8_t>& data);
    static uint16_t CRC16_update(uint16_t crc, const std::vector<uint8_t>& data);
    static uint8_t CRC8_update(uint8_t crc, const std::vector<uint8_t>& data);
};
