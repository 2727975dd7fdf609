// The request exchange against the simulated board: matching, retransmission,
// stale replies, the response queue's bound, sequence numbers, statistics.

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "DriverFixture.h"

namespace {

const char* const kWarning = "Response timeout. Re-transmitting message";

TEST_F(DriverTest, AnsweredRequestCountsOneSuccess)
{
    const API_Message_t sent = request(0, 1);
    board.device().access([](SimDeviceState& s) { s.uptimeSeconds = 0x01020304; });
    API_Message_t response{};
    ASSERT_EQ(driver.executeRPC(sent, response), LPCDriver::NoError);

    EXPECT_EQ(response.ID, 0);
    EXPECT_EQ(response.Type, API_TYPE_RESPONSE);
    EXPECT_EQ(response.SeqNo, sent.SeqNo);
    ASSERT_EQ(response.Size, 5);
    EXPECT_EQ(std::vector<uint8_t>(response.Data, response.Data + 5), (std::vector<uint8_t>{1, 1, 2, 3, 4}));

    const auto log = board.requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].message.SeqNo, sent.SeqNo);
    EXPECT_EQ(log[0].message.Size, 1);
    const LpcStats stats = driver.getStats();
    EXPECT_EQ(stats.successes, 1u);
    EXPECT_EQ(stats.retransmitted + stats.failures, 0u);
    EXPECT_EQ(countLines(logs, kWarning), 0);
}

TEST_F(DriverTest, SilentBoardFailsAfterTwoTransmissionsAndTwoWarnings)
{
    board.setSilent(true);
    const API_Message_t sent = heartbeat();
    API_Message_t response{};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(driver.executeRPC(sent, response), LPCDriver::Timeout);
    EXPECT_GE(msSince(start), 295.0);

    const auto log = board.requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].message.SeqNo, sent.SeqNo);
    EXPECT_EQ(log[1].message.SeqNo, sent.SeqNo);
    EXPECT_EQ(countLines(logs, "Response timeout. Re-transmitting message (attempt 1 of 2)"), 1);
    EXPECT_EQ(countLines(logs, "Response timeout. Re-transmitting message (attempt 2 of 2)"), 1);
    const LpcStats stats = driver.getStats();
    EXPECT_EQ(stats.failures, 1u);
    EXPECT_EQ(stats.successes + stats.retransmitted, 0u);
}

TEST_F(DriverTest, ReplyToSecondTransmissionCountsAsRetransmitted)
{
    board.dropNextRequests(1);
    board.forceReply(0, 0, 4, {0});
    API_Message_t response{};
    EXPECT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::InvalidMessageType);

    const auto log = board.requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(log[0].lost);
    EXPECT_FALSE(log[1].lost);
    EXPECT_EQ(countLines(logs, "(attempt 1 of 2)"), 1);
    const LpcStats stats = driver.getStats();
    EXPECT_EQ(stats.retransmitted, 1u);
    EXPECT_EQ(stats.successes + stats.failures, 0u);
}

TEST_F(DriverTest, ErrorAboveEightIsReportedAsUnknownError)
{
    for (int error : {8, 9, 10, 11, 200, 255}) {
        board.forceReply(0, 0, error, {0});
        API_Message_t response{};
        EXPECT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::UnknownError) << error;
    }
    EXPECT_EQ(driver.getStats().successes, 6u);
}

TEST_F(DriverTest, ReplyWithWrongSeqNoOrIdIsDiscardedAndRetransmissionAnswered)
{
    board.replyWithWrongSeqNo(1);
    API_Message_t response{};
    EXPECT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::NoError);
    board.replyWithWrongId(1);
    const API_Message_t sent = heartbeat();
    EXPECT_EQ(driver.executeRPC(sent, response), LPCDriver::NoError);
    EXPECT_EQ(response.ID, sent.ID);
    EXPECT_EQ(response.SeqNo, sent.SeqNo);
    EXPECT_EQ(driver.getStats().retransmitted, 2u);
    EXPECT_EQ(board.requests().size(), 4u);
}

// A reply to an earlier request that gave up arrives while the next request
// waits: it is discarded and the wait goes on only for the time left of the
// receive timeout, so the next reply, later than that, is not taken; nor
// past the deadline of an admitted request.
TEST_F(DriverTest, LateReplyWithStaleSeqNoDoesNotExtendTheWait)
{
    driver.setReceiveTimeout(600);
    driver.setTransmitRetries(1);
    API_Message_t response{};
    for (const bool admitted : {false, true}) {
        SCOPED_TRACE(admitted);
        const LpcStats before = driver.getStats();
        board.delayReplies(900); // the reply to A comes at about 900 ms
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::Timeout);

        if (admitted) {
            driver.refuseRequests();
            driver.admitUntil(start + std::chrono::milliseconds(1200));
        }
        board.delayReplies(750); // B goes out at about 600 ms, its reply at 1350
        EXPECT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::Timeout);
        EXPECT_GT(msSince(start), 1150.0); // B's wait was used up
        const LpcStats stats = driver.getStats();
        EXPECT_EQ(stats.successes - before.successes, 0u);
        EXPECT_EQ(stats.failures - before.failures, 2u);
    }
}

// Makes the nth response of a stream from the waiting request's ID and
// SeqNo and an earlier request that was answered.
using ForeignMaker = API_Message_t (*)(uint8_t id, uint16_t seqNo, const API_Message_t& earlier, int n);

API_Message_t responseTo(uint8_t id, uint16_t seqNo)
{
    API_Message_t message{};
    message.ID = id;
    message.Type = API_TYPE_RESPONSE;
    message.SeqNo = seqNo;
    message.Size = 1;
    return message;
}

struct ForeignCase {
    const char* name;
    bool download; // the waiting request is a firmware download's first segment
    ForeignMaker make;

    friend void PrintTo(const ForeignCase& c, std::ostream* out) { *out << c.name; }
};

const ForeignMaker kForeignSeqNos = [](uint8_t id, uint16_t seqNo, const API_Message_t&, int n) {
    return responseTo(id, static_cast<uint16_t>(seqNo + 1000 + n % 1000));
};

class DriverForeignStreamTest : public DriverTest, public ::testing::WithParamInterface<ForeignCase> {};

// A board that answers nothing but sends a response to no request every
// 50 ms: each transmission discards them and waits no longer than its
// receive timeout in all, so the request ends with 9; once the stream
// stops, the next request is answered.
TEST_P(DriverForeignStreamTest, RequestEndsWithTimeoutAndTheNextIsAnswered)
{
    const ForeignCase& c = GetParam();
    driver.setDebugEnable(true);
    API_Message_t response{};
    const API_Message_t earlier = heartbeat();
    ASSERT_EQ(driver.executeRPC(earlier, response), LPCDriver::NoError);
    // The waiting request draws the number after the earlier one's.
    const uint16_t seqNo = earlier.SeqNo == 65534 ? 0 : static_cast<uint16_t>(earlier.SeqNo + 1);
    const uint8_t id = c.download ? 12 : 0;
    board.setSilent(true);
    board.sendMessagesEvery(50, [make = c.make, id, seqNo, earlier](int n) { return make(id, seqNo, earlier, n); });

    const int received = countLines(logs, "[LPCDriver] Response received");
    const auto start = std::chrono::steady_clock::now();
    if (c.download)
        EXPECT_EQ(driver.updateFirmware(std::vector<unsigned char>(10, 1)), LPCDriver::Timeout);
    else
        EXPECT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::Timeout);
    const double took = msSince(start);
    EXPECT_GE(took, c.download ? 1995.0 : 295.0); // two transmissions' receive timeouts
    EXPECT_LT(took, c.download ? 4000.0 : 2000.0);
    EXPECT_GE(countLines(logs, "[LPCDriver] Response received") - received, 2);
    EXPECT_EQ(countLines(logs, "(attempt 2 of 2)"), 1);
    const auto log = board.requests();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1].message.SeqNo, seqNo);
    EXPECT_EQ(log[2].message.SeqNo, seqNo);
    const LpcStats stats = driver.getStats();
    EXPECT_EQ(stats.successes, 1u);
    EXPECT_EQ(stats.failures, 1u);
    EXPECT_EQ(stats.retransmitted, 0u);

    board.sendMessagesEvery(0, nullptr);
    board.setSilent(false);
    EXPECT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::NoError);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, DriverForeignStreamTest,
    ::testing::Values(ForeignCase{"ForeignSeqNos", false, kForeignSeqNos},
                      ForeignCase{"ForeignIds", false,
                                  [](uint8_t id, uint16_t seqNo, const API_Message_t&, int) {
                                      return responseTo(id ^ 0x80, seqNo);
                                  }},
                      ForeignCase{"StaleReplies", false,
                                  [](uint8_t, uint16_t, const API_Message_t& earlier, int) {
                                      return responseTo(earlier.ID, earlier.SeqNo);
                                  }},
                      ForeignCase{"DownloadSegment", true, kForeignSeqNos}),
    [](const ::testing::TestParamInfo<ForeignCase>& info) { return std::string(info.param.name); });

// Five responses that nobody claims stay queued, a sixth is dropped: the
// answer to the next request is found only among the first five.
TEST_F(DriverTest, ResponseQueueKeepsFiveUnclaimedResponses)
{
    driver.setDebugEnable(true);
    board.setSilent(true);
    for (int kept : {5, 6}) {
        SCOPED_TRACE(kept);
        const int before = countLines(logs, "[LPCDriver] Response received");
        const API_Message_t sent = heartbeat();
        for (int i = 1; i <= kept; ++i) {
            API_Message_t unclaimed{};
            unclaimed.Type = API_TYPE_RESPONSE;
            unclaimed.SeqNo = i == kept ? sent.SeqNo : static_cast<uint16_t>(sent.SeqNo + 1000 + i);
            unclaimed.Size = 1;
            board.sendMessage(unclaimed);
        }
        ASSERT_TRUE(waitForLines(logs, "[LPCDriver] Response received", before + kept, 2000));
        API_Message_t response{};
        EXPECT_EQ(driver.executeRPC(sent, response), kept == 5 ? LPCDriver::NoError : LPCDriver::Timeout);
    }
}

TEST_F(DriverTest, DamagedReplyIsCountedAndRetransmitted)
{
    board.corruptNextFcs();
    API_Message_t response{};
    EXPECT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::NoError);
    const LpcStats stats = driver.getStats();
    EXPECT_EQ(stats.droppedBytes, 10u); // 7 header octets, SubID and the FCS
    EXPECT_EQ(stats.retransmitted, 1u);
}

TEST_F(DriverTest, OversizedRequestIsNotSent)
{
    API_Message_t sent = heartbeat();
    sent.Size = 250;
    API_Message_t response{};
    EXPECT_EQ(driver.executeRPC(sent, response), LPCDriver::SendFailed);
    EXPECT_EQ(countLines(logs, "(attempt 2 of 2)"), 1);
    EXPECT_EQ(driver.getStats().failures, 1u);
    EXPECT_TRUE(board.requests().empty());
}

TEST_F(DriverTest, SequenceNumberSkips65535AndWraps)
{
    while (driver.getNextSeqNumber() != 65534) {
    }
    API_Message_t response{};
    ASSERT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::NoError);
    ASSERT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::NoError);
    const auto log = board.requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].message.SeqNo, 0);
    EXPECT_EQ(log[1].message.SeqNo, 1);
}

// Two threads drawing at once never get the same number.
TEST(DriverSequence, ConcurrentDrawsAreDistinct)
{
    constexpr int kDraws = 30000;
    LPCDriver driver;
    std::vector<uint16_t> drawn(2 * kDraws);
    std::atomic<int> ready{0};
    const auto draw = [&](int half) {
        ++ready;
        while (ready < 2) {
        }
        for (int i = 0; i < kDraws; ++i)
            drawn[half * kDraws + i] = driver.getNextSeqNumber();
    };
    std::thread other(draw, 1);
    draw(0);
    other.join();
    EXPECT_EQ(std::set<uint16_t>(drawn.begin(), drawn.end()).size(), drawn.size());
}

TEST_F(DriverTest, StatisticsInBothReportForms)
{
    API_Message_t response{};
    ASSERT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::NoError);
    board.corruptNextFcs();
    ASSERT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::NoError);
    board.setSilent(true);
    ASSERT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::Timeout);

    const LpcStats stats = driver.getStats();
    EXPECT_EQ(stats.toIni(), "\n[serial]\ndroppedBytes = 10\n\n[packets]\nsuccesses = 1\nfailures = 1\n"
                             "retransmitted = 1\ntotal = 3\n");
    EXPECT_EQ(stats.toJson().dump(),
              R"({"packets":{"failures":1,"retransmitted":1,"successes":1,"total":3},"serial":{"droppedBytes":10}})");
}

TEST_F(DriverTest, ConcurrentCallersNeverGetEachOthersReplies)
{
    board.device().access([](SimDeviceState& s) {
        s.uptimeSeconds = 123456;
        for (size_t i = 0; i < s.peripheralPower.size(); ++i)
            s.peripheralPower[i] = i % 2;
    });
    board.dropEveryNthRequest(9);

    constexpr int kThreads = 4;
    constexpr int kRequests = 20;
    std::vector<std::thread> callers;
    std::vector<int> mismatches(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < kRequests; ++i) {
                const uint8_t rail = static_cast<uint8_t>((t * kRequests + i) % 15);
                const API_Message_t sent = t % 2 ? request(1, 1, {rail}) : request(0, 1);
                API_Message_t response{};
                const bool ok = driver.executeRPC(sent, response) == LPCDriver::NoError &&
                                response.ID == sent.ID && response.SeqNo == sent.SeqNo;
                const bool content = t % 2 ? response.Size == 3 && response.Data[1] == rail && response.Data[2] == rail % 2
                                           : response.Size == 5 && response.Data[3] == 0xE2 && response.Data[4] == 0x40;
                mismatches[t] += !(ok && content);
            }
        });
    }
    for (auto& caller : callers)
        caller.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(mismatches[t], 0) << "thread " << t;
    const LpcStats stats = driver.getStats();
    EXPECT_EQ(stats.successes + stats.retransmitted, static_cast<size_t>(kThreads * kRequests));
    EXPECT_GT(stats.retransmitted, 0u);
}

TEST(LPCDriverErrors, StrerrorTexts)
{
    const std::pair<int, const char*> table[] = {
        {0, "No error"},
        {1, "General/Hardware error"},
        {2, "Malformed packet received"},
        {3, "The requested API ID is invalid, or not supported"},
        {4, "Wrong or unsupported message Type"},
        {5, "An invalid command was requested"},
        {6, "Command parameter is invalid or out of range"},
        {7, "Unexpected message size"},
        {8, "Unknown error"},
        {9, "A response was not received within the timeout period"},
        {10, "Failed to send the API message"},
        {11, "Failed to open resource"},
        {12, "Unspecified Error"},
        {-1, "Unspecified Error"},
    };
    for (const auto& [code, text] : table)
        EXPECT_EQ(LPCDriver::strerror(static_cast<LPCDriver::ErrorCode>(code)), text) << code;
}

} // namespace
