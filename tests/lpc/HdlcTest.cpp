#include "lpc/hdlc.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "lpc/LinkOctets.h"

namespace {

using namespace linktest;

struct Link
{
    Link() { HDLC_init(&ctx, putOctet, onFrame, this); }

    static void putOctet(char octet, void* user) { static_cast<Link*>(user)->line.push_back(uint8_t(octet)); }
    static void onFrame(uint8_t* frame, uint16_t length, void* user)
    {
        static_cast<Link*>(user)->frames.emplace_back(frame, frame + length);
    }

    void feed(const Octets& octets)
    {
        for (uint8_t b : octets) {
            HDLC_octetReceived(&ctx, b);
        }
    }

    HDLC_Context_t ctx{};
    Octets line;
    std::vector<Octets> frames;
};

TEST(HdlcTransmit, WorkedExamplesHoldByteForByte)
{
    Link link;
    HDLC_transmit(&link.ctx, kHeartbeat.data(), static_cast<uint16_t>(kHeartbeat.size()));
    EXPECT_EQ(link.line, kHeartbeatFrame);

    link.line.clear();
    const Octets flagAndEscape = {0x7E, 0x7D};
    HDLC_transmit(&link.ctx, flagAndEscape.data(), 2);
    EXPECT_EQ(link.line, (Octets{0x7E, 0x7D, 0x5E, 0x7D, 0x5D, 0xF1, 0xCD, 0x7E}));

    link.line.clear();
    HDLC_transmit(&link.ctx, nullptr, 0);
    EXPECT_EQ(link.line, (Octets{0x7E, 0x00, 0x00, 0x7E}));
}

TEST(HdlcTransmit, SendsNothingWithoutAnOctetFunction)
{
    HDLC_Context_t ctx{};
    HDLC_init(&ctx, nullptr, nullptr, nullptr);
    HDLC_transmit(&ctx, kHeartbeat.data(), static_cast<uint16_t>(kHeartbeat.size()));
    SUCCEED();
}

TEST(HdlcTransmit, ItsFramesComeBackThroughTheReceiver)
{
    Link sender;
    Octets payload;
    for (int i = 0; i < 253; ++i) {
        payload.push_back(static_cast<uint8_t>(i * 37 + 0x7D));
    }
    HDLC_transmit(&sender.ctx, payload.data(), static_cast<uint16_t>(payload.size()));
    EXPECT_EQ(sender.line, frameOf(payload));

    Link receiver;
    receiver.feed(sender.line);
    ASSERT_EQ(receiver.frames.size(), 1u);
    EXPECT_EQ(receiver.frames[0], payload);
}

Octets filled(size_t n, uint8_t value)
{
    return Octets(n, value);
}

Octets withoutOpeningFlag(const Octets& frame)
{
    return Octets(frame.begin() + 1, frame.end());
}

struct ReceiveRow
{
    const char* name;
    Octets input;
    std::vector<Octets> frames;
    uint32_t dropped;
};

TEST(HdlcReceive, DecoderTable)
{
    Octets damaged = kHeartbeatFrame;
    damaged[11] ^= 0x01;
    // Cut inside the FCS: the frame lost its last two octets.
    Octets truncated(kHeartbeatFrame.begin(), kHeartbeatFrame.end() - 2);

    const ReceiveRow rows[] = {
        {"heartbeat", kHeartbeatFrame, {kHeartbeat}, 0},
        {"empty payload", {0x7E, 0x00, 0x00, 0x7E}, {{}}, 0},
        {"flags only", {0x7E, 0x7E, 0x7E}, {}, 0},
        {"frames sharing a flag", frameOf({1}) + withoutOpeningFlag(frameOf({2})), {{1}, {2}}, 0},
        {"garbage before the first flag", Octets{0x01, 0x02, 0x03} + kHeartbeatFrame, {kHeartbeat}, 3},
        {"one stray octet", Octets{0x7E, 0x55} + kHeartbeatFrame, {kHeartbeat}, 0},
        {"two stray octets", Octets{0x7E, 0x55, 0x66} + kHeartbeatFrame, {kHeartbeat}, 2},
        {"bad FCS", damaged + kHeartbeatFrame, {kHeartbeat}, 10},
        {"escape then flag aborts", Octets{0x7E, 0x01, 0x02, 0x7D, 0x7E} + kHeartbeatFrame, {kHeartbeat}, 0},
        {"truncated, not closed", truncated, {}, 0},
        {"truncated, closed by the next frame", truncated + kHeartbeatFrame, {kHeartbeat}, 9},
        {"escaped flag in payload", frameOf({0x7E, 0x7D, 0x20}), {{0x7E, 0x7D, 0x20}}, 0},
        {"largest payload", frameOf(filled(253, 0x11)), {filled(253, 0x11)}, 0},
        {"payload of 254", frameOf(filled(254, 0x11)) + kHeartbeatFrame, {kHeartbeat}, 0},
        {"payload of 255", frameOf(filled(255, 0x11)) + kHeartbeatFrame, {kHeartbeat}, 0},
        {"payload of 300", frameOf(filled(300, 0x11)) + kHeartbeatFrame, {kHeartbeat}, 46},
        {"payload of 600", frameOf(filled(600, 0x22)), {}, 602 - 512},
    };
    for (const ReceiveRow& row : rows) {
        SCOPED_TRACE(row.name);
        Link link;
        link.feed(row.input);
        EXPECT_EQ(link.frames, row.frames);
        EXPECT_EQ(link.ctx.droppedBytes.load(), row.dropped);
    }
}

TEST(HdlcReceive, AnyOctetAfterAnEscapeIsTakenXor20)
{
    // 7D 41 is not how a sender escapes, but it still stores 61.
    const Octets payload = {0x61, 0x7E};
    const uint16_t fcs = fcs16(payload);
    Link link;
    link.feed({0x7E, 0x7D, 0x41, 0x7D, 0x5E, static_cast<uint8_t>(fcs), static_cast<uint8_t>(fcs >> 8), 0x7E});
    ASSERT_EQ(link.frames.size(), 1u);
    EXPECT_EQ(link.frames[0], payload);
}

TEST(HdlcReceive, SplitFeedingMakesNoDifference)
{
    const Octets stream = Octets{0x13} + kHeartbeatFrame + frameOf({0x7D, 0x7E}) + kHeartbeatFrame;
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        Link link;
        link.feed(Octets(stream.begin(), stream.begin() + cut));
        link.feed(Octets(stream.begin() + cut, stream.end()));
        EXPECT_EQ(link.frames, (std::vector<Octets>{kHeartbeat, {0x7D, 0x7E}, kHeartbeat})) << "cut at " << cut;
    }
}

TEST(HdlcReceive, ResetClearsStateButKeepsTheFunctions)
{
    Link link;
    link.feed(Octets{0x7E, 0x55, 0x66, 0x7E, 0x01, 0x7D});
    EXPECT_EQ(link.ctx.droppedBytes.load(), 2u);
    HDLC_reset(&link.ctx);
    EXPECT_EQ(link.ctx.droppedBytes.load(), 0u);
    EXPECT_FALSE(link.ctx.escaped);
    EXPECT_EQ(link.ctx.rxCount, 0u);
    link.feed(kHeartbeatFrame);
    EXPECT_EQ(link.frames, std::vector<Octets>{kHeartbeat});
    HDLC_transmit(&link.ctx, nullptr, 0);
    EXPECT_EQ(link.line.size(), 4u);
}

TEST(HdlcReceive, DroppedCountIsReadableWhileFeeding)
{
    Link link;
    Octets bad = kHeartbeatFrame;
    bad[3] ^= 0xFF;
    constexpr int kFrames = 2000;
    std::thread reader([&] {
        for (int i = 0; i < kFrames; ++i) {
            link.feed(bad);
        }
    });
    uint32_t last = 0;
    for (int i = 0; i < 10000; ++i) {
        const uint32_t now = link.ctx.droppedBytes.load();
        EXPECT_GE(now, last);
        last = now;
    }
    reader.join();
    EXPECT_EQ(link.ctx.droppedBytes.load(), kFrames * 10u);
}

} // namespace
