// The simulated board's transport: lost replies, and line-speed pacing (each
// octet takes 10 bit times at the speed the host set, in both directions,
// against absolute deadlines).

#include <algorithm>

#include "DriverFixture.h"
#include "LinkOctets.h"
#include "lpc/SerialPort.h"

namespace {

// Milliseconds that octets take on the line at baud, 10 bits each.
double lineMs(size_t octets, int baud)
{
    return static_cast<double>(octets) * 10 * 1000.0 / baud;
}

// A heartbeat frame without escapes is 12 octets each way; escapes only add.
constexpr size_t kHeartbeatOctets = 12;
constexpr int kExchanges = 4;

TEST_F(DriverTest, LostReplyFollowsTheBoardsAction)
{
    board.dropEveryNthReply(2);
    API_Message_t response{};
    ASSERT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::NoError);
    // The board switches the rail on but loses its reply; the retransmission
    // is answered.
    ASSERT_EQ(driver.executeRPC(request(1, 0, {4, 1}), response), LPCDriver::NoError);
    EXPECT_EQ(board.device().access([](SimDeviceState& s) { return s.peripheralPower[4]; }), 1);
    const auto log = board.requests();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_FALSE(log[1].lost);
    EXPECT_EQ(log[2].message.SeqNo, log[1].message.SeqNo);
    const LpcStats stats = driver.getStats();
    EXPECT_EQ(stats.successes, 1u);
    EXPECT_EQ(stats.retransmitted, 1u);
}

TEST_F(DriverTest, UnpacedLineIgnoresTheSpeed)
{
    // About 1 ms each unpaced, 25 ms paced: the bound of half the paced time
    // leaves a busy machine more than ten times the expected time.
    constexpr int kUnpacedExchanges = 40;
    ASSERT_EQ(driver.open(board.devicePath().c_str(), 9600), LPCDriver::NoError);
    API_Message_t response{};
    const double start = SimLine::nowMs();
    for (int i = 0; i < kUnpacedExchanges; ++i)
        ASSERT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::NoError);
    EXPECT_LT(SimLine::nowMs() - start, lineMs(kUnpacedExchanges * 2 * kHeartbeatOctets, 9600) / 2);
}

TEST_F(DriverTest, PacedLineTakesTheTimeOfEachDirection)
{
    board.setLinePaced(true);
    ASSERT_EQ(driver.open(board.devicePath().c_str(), 9600), LPCDriver::NoError);
    driver.setReceiveTimeout(2000);
    API_Message_t response{};
    const double start = SimLine::nowMs();
    ASSERT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::NoError);
    const double end = SimLine::nowMs();

    const auto log = board.requests();
    ASSERT_EQ(log.size(), 1u);
    const double oneWay = lineMs(kHeartbeatOctets, 9600); // 12.5 ms
    EXPECT_GE(log[0].timeMs - start, oneWay);
    EXPECT_GE(end - log[0].timeMs, oneWay);
    EXPECT_LT(end - start, 2 * oneWay + 250);
}

TEST_F(DriverTest, PacingFollowsTheSpeedTheHostSets)
{
    board.setLinePaced(true);
    driver.setReceiveTimeout(2000);
    API_Message_t response{};
    auto exchangesMs = [&](int baud) {
        EXPECT_EQ(driver.open(board.devicePath().c_str(), baud), LPCDriver::NoError);
        const double start = SimLine::nowMs();
        for (int i = 0; i < kExchanges; ++i)
            EXPECT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::NoError);
        return SimLine::nowMs() - start;
    };
    const double slow = exchangesMs(9600);
    // A pause of a loaded host only lengthens a run: the quickest of three
    // shows the line's own rate.
    const double fast = std::min({exchangesMs(115200), exchangesMs(115200), exchangesMs(115200)});
    EXPECT_GE(slow, lineMs(kExchanges * 2 * kHeartbeatOctets, 9600)); // 100 ms
    EXPECT_LT(fast, slow / 2);
}

TEST(SimLinePacing, RequestsArriveAtTheLineRate)
{
    SimulatedBoard board;
    board.setLinePaced(true);
    SerialPort port;
    ASSERT_TRUE(port.open(board.devicePath(), 9600, 1000, 8, 1, 0));
    constexpr int kFrames = 10;
    linktest::Octets burst;
    for (int i = 0; i < kFrames; ++i)
        burst.insert(burst.end(), linktest::kHeartbeatFrame.begin(), linktest::kHeartbeatFrame.end());
    const double start = SimLine::nowMs();
    ASSERT_EQ(port.writeBytes(burst), static_cast<int>(burst.size()));

    ASSERT_TRUE(board.waitForRequests(kFrames, 3000));
    const auto log = board.requests();
    const size_t frameOctets = linktest::kHeartbeatFrame.size();
    for (size_t k = 0; k < log.size(); ++k) {
        EXPECT_GE(log[k].timeMs - start, lineMs((k + 1) * frameOctets, 9600)) << "frame " << k;
    }
    // Late wake-ups are caught up, not added up.
    EXPECT_LT(log.back().timeMs - start, lineMs(burst.size(), 9600) + 150);
}

TEST(SimLinePacing, RepliesNeverRunAheadOfTheLine)
{
    SimulatedBoard board;
    board.setLinePaced(true);
    SerialPort port;
    ASSERT_TRUE(port.open(board.devicePath(), 19200, 1000, 8, 1, 0));
    const std::vector<uint8_t> burst(1920, 0x55); // one second at 19200 baud
    const double octetMs = lineMs(1, 19200);
    const double start = SimLine::nowMs();
    board.sendRaw(burst);

    size_t received = 0;
    while (received < burst.size()) {
        std::vector<uint8_t> chunk;
        const int count = port.readBytes(chunk);
        if (count <= 0)
            break;
        received += static_cast<size_t>(count);
        const double now = SimLine::nowMs() - start;
        ASSERT_LE(static_cast<double>(received), now / octetMs + 1) << "at " << now << " ms";
    }
    const double elapsed = SimLine::nowMs() - start;
    EXPECT_EQ(received, burst.size());
    EXPECT_GE(elapsed, lineMs(burst.size(), 19200));
    EXPECT_LT(elapsed, lineMs(burst.size(), 19200) + 150);
}

} // namespace
