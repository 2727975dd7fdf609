#include "lpc/api_message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Octets = std::vector<uint8_t>;

API_Message_t sentinelMessage()
{
    API_Message_t m;
    std::memset(&m, 0xA5, sizeof m);
    return m;
}

TEST(ApiMessage, HeartbeatSerialisesToItsWireForm)
{
    API_Message_t m = sentinelMessage();
    EXPECT_EQ(API_message_init(&m, 0, API_TYPE_REQUEST, API_ERROR_NONE, 0x1234), 0);
    EXPECT_EQ(m.Size, 0);
    EXPECT_EQ(m.Data[0], 0xA5);
    m.Data[0] = 0;
    m.Size = 1;
    uint8_t out[16];
    std::memset(out, 0xEE, sizeof out);
    ASSERT_EQ(API_message_serialise(&m, out), 8);
    EXPECT_EQ(Octets(out, out + 9), (Octets{0x00, 0x00, 0x00, 0x12, 0x34, 0x00, 0x01, 0x00, 0xEE}));
}

TEST(ApiMessage, SerialiseSendsOnlyTheLowOctetsOfTypeAndError)
{
    API_Message_t m = sentinelMessage();
    API_message_init(&m, 0xC3, 0x182, 0x207, 0xFFFE);
    m.Size = 3;
    m.Data[0] = 9;
    m.Data[1] = 8;
    m.Data[2] = 7;
    uint8_t out[16];
    ASSERT_EQ(API_message_serialise(&m, out), 10);
    EXPECT_EQ(Octets(out, out + 10), (Octets{0xC3, 0x82, 0x07, 0xFF, 0xFE, 0x00, 0x03, 9, 8, 7}));
}

TEST(ApiMessage, SerialiseRefusesASizeBeyondData)
{
    API_Message_t m = sentinelMessage();
    API_message_init(&m, 1, 0, 0, 1);
    m.Size = API_DATA_SIZE + 1;
    uint8_t out[300];
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(API_message_serialise(&m, out), 0);
    EXPECT_EQ(out[0], 0xEE);
}

struct DecodeRow
{
    const char* name;
    Octets wire;
    int result;
    uint16_t size;
};

TEST(ApiMessage, DecoderTable)
{
    Octets full = {0x05, 0x01, 0x00, 0x00, 0x01, 0x00, 0xFC};
    full.resize(7 + 252, 0x33);
    Octets oversize = {0x05, 0x01, 0x00, 0x00, 0x01, 0x00, 0xFD};
    oversize.resize(7 + 253, 0x33);

    const DecodeRow rows[] = {
        {"empty", {}, 0, 0},
        {"header cut short", {0x00, 0x01, 0x00, 0x12, 0x34, 0x00}, 0, 0},
        {"header only", {0x00, 0x01, 0x00, 0x12, 0x34, 0x00, 0x00}, 7, 0},
        {"one data octet", {0x00, 0x01, 0x00, 0x12, 0x34, 0x00, 0x01, 0x42}, 8, 1},
        {"octets beyond Size ignored", {0x00, 0x01, 0x00, 0x12, 0x34, 0x00, 0x01, 0x42, 0x43}, 8, 1},
        {"Size beyond the frame", {0x00, 0x01, 0x00, 0x12, 0x34, 0x00, 0x02, 0x42}, 0, 0},
        {"Size high octet", {0x00, 0x01, 0x00, 0x12, 0x34, 0x01, 0x00, 0x42}, 0, 0},
        {"Data full", full, 7 + 252, 252},
        {"Size beyond Data", oversize, 0, 0},
    };
    for (const DecodeRow& row : rows) {
        SCOPED_TRACE(row.name);
        API_Message_t m = sentinelMessage();
        const int result = API_message_deserialise(&m, row.wire.data(), static_cast<uint16_t>(row.wire.size()));
        EXPECT_EQ(result, row.result);
        if (result == 0) {
            // A refused frame leaves the message as it was.
            const API_Message_t untouched = sentinelMessage();
            EXPECT_EQ(std::memcmp(&m, &untouched, sizeof m), 0);
            continue;
        }
        EXPECT_EQ(m.ID, row.wire[0]);
        EXPECT_EQ(m.Type, row.wire[1]);
        EXPECT_EQ(m.Error, row.wire[2]);
        EXPECT_EQ(m.SeqNo, (row.wire[3] << 8) | row.wire[4]);
        EXPECT_EQ(m.Size, row.size);
        EXPECT_EQ(Octets(m.Data, m.Data + m.Size), Octets(row.wire.begin() + 7, row.wire.begin() + 7 + row.size));
        if (row.size < API_DATA_SIZE) {
            EXPECT_EQ(m.Data[row.size], 0xA5);
        }
    }
}

TEST(ApiMessage, TypeAndErrorDecodeWithoutSignExtension)
{
    const Octets wire = {0x81, 0x82, 0xFF, 0xAB, 0xCD, 0x00, 0x00};
    API_Message_t m = sentinelMessage();
    ASSERT_EQ(API_message_deserialise(&m, wire.data(), static_cast<uint16_t>(wire.size())), 7);
    EXPECT_EQ(m.ID, 0x81);
    EXPECT_EQ(m.Type, 130);
    EXPECT_EQ(m.Error, 255);
    EXPECT_EQ(m.SeqNo, 0xABCD);
    EXPECT_EQ(m.Size, 0);
}

} // namespace
