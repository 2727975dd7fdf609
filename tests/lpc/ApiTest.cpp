#include "lpc/api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <vector>

#include "lpc/LinkOctets.h"
#include "lpc/PtyPair.h"
#include "lpc/SerialPort.h"

namespace {

using namespace linktest;
using Clock = std::chrono::steady_clock;

struct Received
{
    uint8_t id;
    int type;
    int error;
    uint16_t seqNo;
    Octets data;
};

// A burst of indications, as a chatty peer would send them.
Octets filledFrames()
{
    Octets burst;
    for (int i = 0; i < 8; ++i) {
        burst = burst + frameOf({0x0A, 0x02, 0x00, 0x00, static_cast<uint8_t>(i), 0x00, 0x01, 0x03});
    }
    return burst;
}

class ApiTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(API_init(&ctx, &port, pty.slaveName().c_str(), 115200, onMessage, this));
        // Short quiet periods keep the tests quick; the link itself uses 1 s.
        ASSERT_TRUE(port.setReadTimeout(100));
    }
    void TearDown() override { API_uninit(&ctx); }

    static void onMessage(API_Message_t* message, void* user)
    {
        auto* self = static_cast<ApiTest*>(user);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->messages.push_back({message->ID, message->Type, message->Error, message->SeqNo,
                                  Octets(message->Data, message->Data + message->Size)});
    }

    size_t messageCount()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return messages.size();
    }

    // Runs API_tick until n messages arrived, or for at most a few seconds.
    void tickUntil(size_t n)
    {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (messageCount() < n && Clock::now() < deadline) {
            API_tick(&ctx);
        }
    }

    Octets sendAndCapture(const API_Message_t& m, int expectedResult)
    {
        EXPECT_EQ(API_send(&ctx, &m), expectedResult);
        return pty.receive(100000, 200);
    }

    PtyPair pty;
    SerialPort port;
    API_Context_t ctx{};
    std::mutex mutex;
    std::vector<Received> messages;
};

TEST_F(ApiTest, SendFramesTheHeartbeat)
{
    API_Message_t m;
    API_message_init(&m, 0, API_TYPE_REQUEST, API_ERROR_NONE, 0x1234);
    m.Data[0] = 0;
    m.Size = 1;
    EXPECT_EQ(sendAndCapture(m, 8), kHeartbeatFrame);
}

TEST_F(ApiTest, SendRefusesMessagesTooBigForTheBuffer)
{
    API_Message_t m;
    API_message_init(&m, 9, API_TYPE_REQUEST, API_ERROR_NONE, 7);
    std::memset(m.Data, 0x7E, sizeof m.Data);
    m.Size = 249;
    Octets payload = {9, 0, 0, 0, 7, 0, 249};
    payload.resize(256, 0x7E);
    EXPECT_EQ(sendAndCapture(m, 256), frameOf(payload));

    m.Size = 250;
    EXPECT_TRUE(sendAndCapture(m, 0).empty());
    m.Size = 0xFFFF;
    EXPECT_TRUE(sendAndCapture(m, 0).empty());
}

TEST_F(ApiTest, TickDeliversEachMessageOnce)
{
    const Octets response = {0x07, 0x01, 0x00, 0xBE, 0xEF, 0x00, 0x02, 0x01, 0x7E};
    const Octets indication = {0x0A, 0x02, 0x00, 0x00, 0x05, 0x00, 0x01, 0x03};
    const Octets stream = Octets{0x00, 0x42, 0x7D} + frameOf(response) + frameOf(indication);
    std::thread peer([&] {
        const size_t half = stream.size() / 2;
        pty.send(Octets(stream.begin(), stream.begin() + half));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pty.send(Octets(stream.begin() + half, stream.end()));
    });
    tickUntil(2);
    peer.join();

    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].id, 0x07);
    EXPECT_EQ(messages[0].type, API_TYPE_RESPONSE);
    EXPECT_EQ(messages[0].error, 0);
    EXPECT_EQ(messages[0].seqNo, 0xBEEF);
    EXPECT_EQ(messages[0].data, (Octets{0x01, 0x7E}));
    EXPECT_EQ(messages[1].id, 0x0A);
    EXPECT_EQ(messages[1].type, API_TYPE_INDICATION);
    EXPECT_EQ(messages[1].data, Octets{0x03});
    // Nothing is answered to good frames.
    EXPECT_TRUE(pty.receive(1, 100).empty());
}

TEST_F(ApiTest, MalformedFramesDrawOneReplyEachAndNoCallback)
{
    const Octets tooShort[] = {{}, {0x01}, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06}};
    const Octets sizeBeyondFrame = {0x07, 0x01, 0x00, 0x00, 0x01, 0x00, 0x03, 0x01, 0x02};
    Octets stream = {0x7E, 0x00, 0x00, 0x7E};
    for (const Octets& payload : tooShort) {
        stream = stream + frameOf(payload);
    }
    stream = stream + frameOf(sizeBeyondFrame);
    pty.send(stream);
    API_tick(&ctx);

    EXPECT_EQ(messageCount(), 0u);
    Octets expected;
    for (int i = 0; i < 5; ++i) {
        expected = expected + kMalformedReplyFrame;
    }
    EXPECT_EQ(pty.receive(expected.size() + 1, 300), expected);
}

TEST_F(ApiTest, TickReturnsOnRequestWhileThePeerKeepsSending)
{
    ASSERT_TRUE(port.setReadTimeout(1000));
    const int flags = fcntl(pty.master(), F_GETFL);
    ASSERT_EQ(fcntl(pty.master(), F_SETFL, flags | O_NONBLOCK), 0);

    std::atomic<bool> flooding{true};
    std::thread peer([&] {
        const Octets chunk = filledFrames();
        while (flooding) {
            if (::write(pty.master(), chunk.data(), chunk.size()) < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    });
    std::atomic<bool> returned{false};
    std::thread reader([&] {
        API_tick(&ctx);
        returned = true;
    });

    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_FALSE(returned) << "the tick must keep going while octets arrive";
    const auto asked = Clock::now();
    ctx.stopRequested = true;
    reader.join();
    const auto took = Clock::now() - asked;
    flooding = false;
    peer.join();

    EXPECT_LT(took, std::chrono::milliseconds(500));
    EXPECT_GT(messageCount(), 0u);
}

TEST_F(ApiTest, RequestsAndRepliesNeverInterleaveOnTheLine)
{
    constexpr int kSenders = 3;
    constexpr int kPerSender = 150;
    constexpr int kMalformed = 60;

    std::atomic<bool> done{false};
    Octets line;
    std::thread collector([&] {
        while (!done) {
            const Octets got = pty.receive(1, 50);
            line.insert(line.end(), got.begin(), got.end());
        }
        const Octets rest = pty.receive(1000000, 200);
        line.insert(line.end(), rest.begin(), rest.end());
    });
    std::thread reader([&] {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!done && Clock::now() < deadline) {
            API_tick(&ctx);
        }
    });
    std::thread peer([&] {
        for (int i = 0; i < kMalformed; ++i) {
            pty.send({0x7E, 0x00, 0x00, 0x7E});
        }
    });
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            API_Message_t m;
            for (int i = 0; i < kPerSender; ++i) {
                API_message_init(&m, static_cast<uint8_t>(s), API_TYPE_REQUEST, 0, static_cast<uint16_t>(i));
                m.Size = 20;
                std::memset(m.Data, 0x7D, m.Size);
                EXPECT_EQ(API_send(&ctx, &m), 27);
            }
        });
    }
    for (std::thread& t : senders) {
        t.join();
    }
    peer.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    done = true;
    reader.join();
    collector.join();

    // Decode what the line carried with a receiver of its own.
    struct Count
    {
        int requests = 0;
        int replies = 0;
    } count;
    HDLC_Context_t rx{};
    HDLC_init(&rx, nullptr, [](uint8_t* frame, uint16_t length, void* user) {
        auto* c = static_cast<Count*>(user);
        const Octets payload(frame, frame + length);
        const Octets reply(kMalformedReplyFrame.begin() + 1, kMalformedReplyFrame.end() - 3);
        if (payload == reply) {
            ++c->replies;
        } else if (length == 27) {
            ++c->requests;
        }
    }, &count);
    for (uint8_t b : line) {
        HDLC_octetReceived(&rx, b);
    }
    EXPECT_EQ(rx.droppedBytes.load(), 0u);
    EXPECT_EQ(count.requests, kSenders * kPerSender);
    EXPECT_EQ(count.replies, kMalformed);
}

TEST_F(ApiTest, UninitClosesAndInitOpensAgain)
{
    pty.send({0x7E, 0x01, 0x02, 0x7E});
    API_tick(&ctx);
    EXPECT_EQ(ctx.hdlc.droppedBytes.load(), 2u);

    EXPECT_EQ(API_uninit(&ctx), 0);
    EXPECT_EQ(port.getUnderlying(), -1);
    EXPECT_EQ(ctx.hdlc.droppedBytes.load(), 0u);
    const auto start = Clock::now();
    API_tick(&ctx);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));

    ctx.stopRequested = true;
    ASSERT_TRUE(API_init(&ctx, &port, pty.slaveName().c_str(), 57600, onMessage, this));
    EXPECT_FALSE(ctx.stopRequested);
    ASSERT_TRUE(port.setReadTimeout(100));
    unsigned int baud = 0;
    ASSERT_TRUE(port.getBaudrate(baud));
    EXPECT_EQ(baud, 57600u);
    pty.send(frameOf({0x00, 0x01, 0x00, 0x00, 0x09, 0x00, 0x00}));
    tickUntil(1);
    ASSERT_EQ(messageCount(), 1u);
    EXPECT_EQ(messages[0].seqNo, 9);
}

TEST(ApiLayer, FailedOpenIsReportedThroughTheResult)
{
    SerialPort port;
    API_Context_t ctx{};
    EXPECT_FALSE(API_init(&ctx, &port, "/nonexistent/lpc", 115200, nullptr, nullptr));
    EXPECT_STREQ(API_serial_errorStr(&port), "No such file or directory");
    EXPECT_EQ(ctx.seqCounter, 0);
}

TEST(ApiLayer, ErrorStrings)
{
    EXPECT_STREQ(API_getErrorString(nullptr, API_ERROR_NONE), "No error.");
    EXPECT_STREQ(API_getErrorString(nullptr, API_ERROR_MALFORMED_PACKET), "Malformed packet received.");
    EXPECT_STREQ(API_getErrorString(nullptr, API_ERROR_UNEXPECTED_SIZE), "Unexpected message size.");
    EXPECT_STREQ(API_getErrorString(nullptr, API_ERROR_UNKNOWN), "Unknown Error.");
    EXPECT_STREQ(API_getErrorString(nullptr, static_cast<API_Error_t>(200)), "Unknown Error.");
    EXPECT_STREQ(API_getErrorString(nullptr, static_cast<API_Error_t>(-1)), "Unknown Error.");
}

TEST(ApiLayer, SequenceNumbersSkipZero)
{
    uint16_t counter = 0;
    EXPECT_EQ(API_getSeqNumber(&counter), 1);
    EXPECT_EQ(counter, 1);
    counter = 65534;
    EXPECT_EQ(API_getSeqNumber(&counter), 65535);
    EXPECT_EQ(API_getSeqNumber(&counter), 1);
    EXPECT_EQ(counter, 1);
}

} // namespace
