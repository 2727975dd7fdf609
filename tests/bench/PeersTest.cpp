// The benchmarks' peers against real parts: the line socket against a TCP
// server on loopback, the MQTT recorder against a private mosquitto.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "harness/DaemonRun.h"
#include "messaging/TCPClient.h"
#include "messaging/TCPServer.h"

namespace {

constexpr int kWaitMs = 5000;
constexpr int kShortMs = 100;

TEST(BenchPeers, LineSocketSplitsWhatArrivesIntoLines)
{
    const struct {
        std::vector<std::string> chunks;
        std::vector<std::optional<std::string>> lines;
    } cases[] = {
        {{"ab\r\ncd\n"}, {"ab", "cd", std::nullopt}},
        {{"a", "b\r", "\n"}, {"ab"}},
        {{"\r\n\n"}, {"", ""}},
        {{"no end"}, {std::nullopt}},
    };
    for (const auto& c : cases) {
        TCPServer server;
        server.listen(0, "127.0.0.1");
        server.setTimeout(kWaitMs);
        LineSocket socket;
        ASSERT_TRUE(socket.connect(server.port()));
        TCPClient peer = server.accept();
        for (const std::string& chunk : c.chunks) {
            peer.print(chunk);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        for (const auto& expected : c.lines)
            EXPECT_EQ(socket.next(expected ? kWaitMs : kShortMs), expected) << c.chunks.front();
        peer.close();
        server.close();
    }
}

TEST(BenchPeers, LineSocketEndsWhenThePeerCloses)
{
    TCPServer server;
    server.listen(0, "127.0.0.1");
    server.setTimeout(kWaitMs);
    LineSocket socket;
    ASSERT_TRUE(socket.connect(server.port()));
    TCPClient peer = server.accept();
    peer.print("last\n");
    peer.close();
    EXPECT_EQ(socket.next(kWaitMs), std::optional<std::string>("last"));
    EXPECT_EQ(socket.next(kWaitMs), std::nullopt);
    server.close();
    EXPECT_FALSE(LineSocket().connect(server.port()));
}

TEST(BenchPeers, RecorderWaitsForTheTopicAndPayloadAsked)
{
    MosquittoBroker broker;
    MqttRecorder recorder(broker.url(), "bench-test");
    recorder.subscribe("t/#");
    for (const char* payload : {R"({"v":1})", "not json", R"({"v":2})"})
        recorder.publish("t/a", payload);
    recorder.publish("t/b", R"({"v":2})");
    const auto second = [](const nlohmann::json& j) { return j.is_object() && j.value("v", 0) == 2; };
    const auto found = recorder.waitFor("t/a", second, kWaitMs);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->payload, R"({"v":2})");
    const auto other = recorder.waitFor("t/b", nullptr, kWaitMs);
    ASSERT_TRUE(other);
    EXPECT_LE(found->arrived, other->arrived);
    EXPECT_FALSE(recorder.waitFor("t/a", nullptr, kShortMs));
}

} // namespace
