#pragma once
// The wire encodings of the microcontroller's requests and replies: a
// builder that appends arguments after the sub-identifier, and a reader for
// the values of a reply. Multi-octet integers are big-endian unless named
// otherwise; an int argument is sent as its low octets.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lpc/api_message.h"

// Builds one request message (Type 0, Error 0, SeqNo left to the sender).
// Octets beyond Data's capacity are not written; fits() then turns false and
// the request must not be sent.
class LpcRequest {
public:
    LpcRequest(uint8_t id, uint8_t subId)
    {
        API_message_init(&mMessage, id, API_TYPE_REQUEST, API_ERROR_NONE, 0);
        mMessage.Data[mMessage.Size++] = subId;
    }

    LpcRequest& u8(unsigned value)
    {
        const uint8_t octet = uint8_t(value);
        return append(&octet, 1);
    }
    LpcRequest& be16(unsigned value)
    {
        const uint8_t octets[] = {uint8_t(value >> 8), uint8_t(value)};
        return append(octets, sizeof octets);
    }
    LpcRequest& be32(uint32_t value)
    {
        const uint8_t octets[] = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
        return append(octets, sizeof octets);
    }
    // Bits 0-23, least significant octet first.
    LpcRequest& le24(uint32_t value)
    {
        const uint8_t octets[] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16)};
        return append(octets, sizeof octets);
    }
    LpcRequest& le32(uint32_t value)
    {
        const uint8_t octets[] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
        return append(octets, sizeof octets);
    }
    LpcRequest& le64(uint64_t value)
    {
        uint8_t octets[8];
        for (int i = 0; i < 8; ++i)
            octets[i] = uint8_t(value >> (8 * i));
        return append(octets, sizeof octets);
    }
    LpcRequest& octets(const void* data, size_t count) { return append(static_cast<const uint8_t*>(data), count); }

    bool fits() const { return mFits; }
    const API_Message_t& message() const { return mMessage; }

private:
    LpcRequest& append(const uint8_t* data, size_t count)
    {
        if (count > size_t(API_DATA_SIZE - mMessage.Size)) {
            mFits = false;
            return *this;
        }
        std::memcpy(mMessage.Data + mMessage.Size, data, count);
        mMessage.Size = uint16_t(mMessage.Size + count);
        return *this;
    }

    API_Message_t mMessage;
    bool mFits = true;
};

// Reads values from a reply's Data by index. The caller has checked Size
// against the last octet it reads.
class LpcReply {
public:
    explicit LpcReply(const API_Message_t& message) : mMessage(message) {}

    uint16_t size() const { return mMessage.Size; }
    const uint8_t* data() const { return mMessage.Data; }
    uint8_t u8(size_t i) const { return mMessage.Data[i]; }
    uint16_t be16(size_t i) const { return uint16_t(u8(i) << 8 | u8(i + 1)); }
    int16_t s16(size_t i) const { return int16_t(be16(i)); }
    uint32_t be32(size_t i) const { return uint32_t(be16(i)) << 16 | be16(i + 2); }
    uint32_t le32(size_t i) const
    {
        return uint32_t(u8(i)) | uint32_t(u8(i + 1)) << 8 | uint32_t(u8(i + 2)) << 16 | uint32_t(u8(i + 3)) << 24;
    }
    uint64_t le64(size_t i) const { return uint64_t(le32(i)) | uint64_t(le32(i + 4)) << 32; }

private:
    const API_Message_t& mMessage;
};
