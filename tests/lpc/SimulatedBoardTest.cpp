// The simulated board's answers under its error policy, its request log and
// its raw-octet faults, seen through the driver.

#include "DriverFixture.h"

namespace {

TEST_F(DriverTest, BoardAnswersByItsErrorPolicy)
{
    struct Case {
        API_Message_t message;
        LPCDriver::ErrorCode expected;
    };
    API_Message_t wrongSize = request(0, 0, {1});
    API_Message_t noSubId = request(1, 0);
    noSubId.Size = 0;
    const Case cases[] = {
        {request(13, 0), LPCDriver::InvalidApiId},
        {request(0, 99), LPCDriver::InvalidCommand},
        {wrongSize, LPCDriver::UnexpectedSize},
        {noSubId, LPCDriver::UnexpectedSize},
        {request(1, 0, {15, 1}), LPCDriver::InvalidParameter},
        {request(1, 0, {3, 2}), LPCDriver::InvalidParameter},
        {request(1, 0, {3, 1}), LPCDriver::NoError},
    };
    for (const auto& c : cases) {
        API_Message_t response{};
        EXPECT_EQ(driver.executeRPC(c.message, response), c.expected)
            << "ID " << int(c.message.ID) << " Size " << c.message.Size;
    }
    EXPECT_EQ(board.device().access([](SimDeviceState& s) { return s.peripheralPower[3]; }), 1);
}

TEST_F(DriverTest, BoardLogsEveryRequestWithItsTime)
{
    const double before = SimLine::nowMs();
    API_Message_t response{};
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(driver.executeRPC(request(0, static_cast<uint8_t>(i)), response), LPCDriver::NoError);
    const auto log = board.requests();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_GE(log[0].timeMs, before);
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].message.Data[0], i);
        if (i > 0) {
            EXPECT_GE(log[i].timeMs, log[i - 1].timeMs);
        }
    }

    // Switched off, the log keeps what it holds and the board still answers.
    board.setLogging(false);
    ASSERT_EQ(driver.executeRPC(request(0, 0), response), LPCDriver::NoError);
    EXPECT_EQ(board.requests().size(), 3u);
}

TEST_F(DriverTest, BoardForcesReplyOfAnySize)
{
    board.forceReply(0, 2, 0, {});
    API_Message_t response{};
    ASSERT_EQ(driver.executeRPC(request(0, 2), response), LPCDriver::NoError);
    EXPECT_EQ(response.Size, 0);
    board.clearForcedReplies();
    ASSERT_EQ(driver.executeRPC(request(0, 2), response), LPCDriver::NoError);
    EXPECT_EQ(std::string(response.Data + 1, response.Data + response.Size), "1.2.3");
}

TEST_F(DriverTest, BoardDropsEveryNthRequest)
{
    board.dropEveryNthRequest(2);
    API_Message_t response{};
    ASSERT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::NoError);
    ASSERT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::NoError);
    const auto log = board.requests();
    ASSERT_EQ(log.size(), 3u); // the second request needed a retransmission
    EXPECT_FALSE(log[0].lost);
    EXPECT_TRUE(log[1].lost);
    EXPECT_FALSE(log[2].lost);
    EXPECT_EQ(driver.getStats().retransmitted, 1u);
}

// Garbage, an aborted frame and a short frame on the line: the driver keeps
// working, counts what failed the check, and the short frame draws the
// malformed-packet reply from the driver's link layer.
TEST_F(DriverTest, RawOctetFaultsLeaveTheLinkWorking)
{
    board.sendRaw({0x7E, 0x01, 0x02, 0x03, 0x7E});              // three octets failing the check
    board.sendRaw({0x7E, 0x00, 0x01, 0x7D, 0x7E});              // aborted by escape and flag
    board.sendRaw({0x7E, 0x00, 0x00, 0x7E});                    // good but empty frame
    ASSERT_TRUE(board.waitForRequests(1, 2000));
    const API_Message_t reply = board.requests()[0].message;
    EXPECT_EQ(reply.ID, 0xFF);
    EXPECT_EQ(reply.Type, API_TYPE_RESPONSE);
    EXPECT_EQ(reply.Error, 2);
    EXPECT_EQ(reply.Size, 0);

    API_Message_t response{};
    EXPECT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::NoError);
    EXPECT_EQ(driver.getStats().droppedBytes, 3u);
    EXPECT_EQ(driver.getStats().successes, 1u);
}

} // namespace
