#pragma once
// The simulated board's own encoders and replies: values big-endian unless
// named otherwise. Kept apart from the driver's code on purpose.

#include <cstdint>
#include <utility>
#include <vector>

#include "sim/SimDevice.h"

namespace sim {

constexpr int kErrorMalformed = 2;
constexpr int kErrorInvalidId = 3;
constexpr int kErrorInvalidType = 4;
constexpr int kErrorInvalidCommand = 5;
constexpr int kErrorOutOfRange = 6;
constexpr int kErrorSize = 7;

inline SimReply ok(std::vector<uint8_t> values = {})
{
    return SimReply{0, std::move(values)};
}

inline SimReply fail(int error)
{
    return SimReply{error, {}};
}

inline std::vector<uint8_t> be16(uint16_t value)
{
    return {uint8_t(value >> 8), uint8_t(value)};
}

inline std::vector<uint8_t> be32(uint32_t value)
{
    return {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
}

inline uint16_t readBe16(const std::vector<uint8_t>& a, size_t i)
{
    return uint16_t(a[i] << 8 | a[i + 1]);
}

inline uint32_t readBe32(const std::vector<uint8_t>& a, size_t i)
{
    return uint32_t(readBe16(a, i)) << 16 | readBe16(a, i + 2);
}

inline std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// At a reset: checks a firmware download's length and CRC, installs it and
// reports the outcome in the boot status.
void installFirmware(SimDeviceState& state);

} // namespace sim
