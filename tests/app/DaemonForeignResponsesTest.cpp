// End-to-end, service mode: a board that answers the handshake and then
// only sends responses to no request holds no request of the daemon longer
// than a board that falls silent does.

#include <gtest/gtest.h>

#include <chrono>

#include "ServiceDaemon.h"

namespace {

// A heartbeat reply with a sequence number that changes every time.
API_Message_t foreignResponse(int n)
{
    API_Message_t message{};
    message.Type = API_TYPE_RESPONSE;
    message.SeqNo = static_cast<uint16_t>(n);
    message.Size = 1;
    return message;
}

} // namespace

// The start-up's probes all go unanswered on both boards: with the stream
// every 50 ms the daemon comes up (TCP greets, the retained "status"
// arrives) within three times the silent board's start-up, and board
// commands end with 9.
TEST(DaemonForeignResponsesSlow, AStreamingBoardHoldsTheStartUpNoLongerThanASilentOne)
{
    double silentMs = 0;
    for (const bool stream : {false, true}) {
        SCOPED_TRACE(stream);
        ServiceDaemon service;
        service.board.silenceAfterReplies(1);
        if (stream)
            service.board.sendMessagesEvery(50, foreignResponse);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(service.run());
        const double took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        TCPClient client = service.connect();
        EXPECT_EQ(ServiceDaemon::request(client, "getSystemVoltage"),
                  "error,9,A response was not received within the timeout period");
        if (stream)
            EXPECT_LT(took, 3 * silentMs) << service.daemon.err();
        else
            silentMs = took;
    }
}
