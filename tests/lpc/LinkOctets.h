// Frame building for link tests, written out apart from the code under test
// so that a fault in the framing cannot hide behind itself.
#pragma once

#include <cstdint>
#include <vector>

namespace linktest {

using Octets = std::vector<uint8_t>;

// The heartbeat request with sequence number 0x1234 and its frame on the line.
const Octets kHeartbeat = {0x00, 0x00, 0x00, 0x12, 0x34, 0x00, 0x01, 0x00};
const Octets kHeartbeatFrame = {0x7E, 0x00, 0x00, 0x00, 0x12, 0x34, 0x00, 0x01, 0x00, 0x7D, 0x5D, 0x06, 0x7E};
// What the host answers to a frame too short or too small for its Size.
const Octets kMalformedReplyFrame = {0x7E, 0xFF, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x76, 0x10, 0x7E};

inline uint16_t fcs16(const Octets& data)
{
    uint16_t r = 0xFFFF;
    for (uint8_t b : data) {
        r ^= b;
        for (int i = 0; i < 8; ++i) {
            r = (r & 1) ? static_cast<uint16_t>((r >> 1) ^ 0x8408) : static_cast<uint16_t>(r >> 1);
        }
    }
    return static_cast<uint16_t>(~r);
}

// A frame as a sender puts it on the line.
inline Octets frameOf(const Octets& payload)
{
    Octets raw = payload;
    const uint16_t fcs = fcs16(payload);
    raw.push_back(static_cast<uint8_t>(fcs));
    raw.push_back(static_cast<uint8_t>(fcs >> 8));
    Octets line = {0x7E};
    for (uint8_t b : raw) {
        if (b == 0x7E || b == 0x7D) {
            line.push_back(0x7D);
            b ^= 0x20;
        }
        line.push_back(b);
    }
    line.push_back(0x7E);
    return line;
}

inline Octets operator+(Octets a, const Octets& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace linktest
