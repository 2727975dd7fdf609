// The board tree through a real broker: every node read through its get
// topic, every settable node written through its set topic, and the retained
// "status" and "info" through the client's connections, stops and starts and
// the board's silence.

#include "BoardMqttFixture.h"

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace {

class BoardMqttTopics : public BoardMqttTest {
protected:
    void SetUp() override
    {
        openAdaptor();
        attachAdaptor();
        connect();
        ASSERT_FALSE(next("info").is_null()) << "info after connecting";
    }

    // What a peer that subscribes now is given as retained on the topic.
    json retained(const std::string& topic)
    {
        MqttPeer late(broker->url(), "late-peer");
        late.subscribe("tavo/lumacore/" + topic);
        const auto message = late.next("tavo/lumacore/" + topic);
        return message ? json::parse(message->to_string()) : json();
    }

    // The process stop as main begins it, then the client's stop: the last
    // "status" it publishes.
    json lastStatus()
    {
        manager->beginStop();
        client->markProcessStop();
        client->stop();
        return next("status");
    }

    // The board's readings in a status that have (or, false, lack) a value.
    static std::vector<std::string> readings(const json& status, bool present)
    {
        std::vector<std::string> names;
        for (const auto& [name, value] : status["device"].items()) {
            if (name != "active" && value.is_null() != present) {
                names.push_back(name);
            }
        }
        return names;
    }
};

} // namespace

TEST_F(BoardMqttTopics, EveryNodeAnswersItsGetTopic)
{
    // Groups answer with their children's values, each node with its own.
    const std::pair<const char*, const char*> cases[] = {
        {"audio", "/mute"}, {"serial", "/0/protocol"}, {"gpio", "/3/mode"}, {"display", "/mode"},
        {"lcd", "/width"}, {"power", "/usbHub"}, {"imu", "/totalAcceleration/totalAcc"}, {"imu/rawData", "/accx"},
        {"imu/totalAcceleration", "/totalAcc"}, {"info", "/service/version"}, {"info/device", "/hardwareId"},
        {"info/service", "/type"}, {"status", "/device/poleId"}, {"status/device", "/active"},
        {"status/device/hardwareStatus", "/lastBootReason"}, {"status/device/active", ""},
        {"status/device/heater", ""}, {"status/device/ignition", ""}, {"status/device/poleId", ""},
        {"status/device/temperature", ""}, {"status/device/uptime", ""}, {"status/device/voltage", ""},
        {"status/service", ""},
    };
    for (const auto& [node, member] : cases) {
        peer->publish(std::string("tavo/lumacore/") + node + "/get", "");
        const json value = next(node);
        ASSERT_TRUE(value.contains(json::json_pointer(member))) << node << " " << value;
        EXPECT_FALSE(value[json::json_pointer(member)].is_null()) << node;
    }
}

TEST_F(BoardMqttTopics, DeviceTextWithABadByteIsPublishedWithTheByteReplaced)
{
    boardState([](SimDeviceState& s) { return s.poleId = "P\xff"; });
    peer->publish("tavo/lumacore/status/device/poleId/get", "");
    EXPECT_EQ(next("status/device/poleId"), "P\xEF\xBF\xBD");
}

TEST_F(BoardMqttTopics, EachSetterReachesTheBoardAndTheValueReadBackIsPublished)
{
    const struct {
        const char* node;
        json value;
        const char* member;
        json published;
        std::function<int(SimDeviceState&)> board;
        int expected;
    } cases[] = {
        {"audio", {{"mute", true}}, "mute", true, [](SimDeviceState& s) { return int(s.mute); }, 1},
        {"serial", {{"0", {{"protocol", "rs485"}}}}, "0", {{"duplex", "full"}, {"protocol", "rs485"}},
         [](SimDeviceState& s) { return int(s.serialPorts[0].protocol); }, 1},
        {"gpio", {{"1", {{"mode", "digitalOut"}, {"value", 1}}}}, "1",
         {{"mode", "digitalOut"}, {"resistor", nullptr}, {"value", 1}},
         [](SimDeviceState& s) { return int(s.pins[1].output); }, 1},
        {"display", {{"brightness", 100}}, "brightness", 100,
         [](SimDeviceState& s) { return int(s.backlightLevel); }, 255},
        {"lcd", {{"color", {{"r", 0}, {"g", 0}, {"b", 9}}}}, "color", {{"b", 9}, {"g", 0}, {"r", 0}},
         [](SimDeviceState& s) { return int(s.backlightColour); }, 9 << 16},
        {"power", {{"printer", true}}, "printer", true, [](SimDeviceState& s) { return int(s.peripheralPower[9]); },
         1},
    };
    for (const auto& c : cases) {
        peer->publish(std::string("tavo/lumacore/") + c.node + "/set", c.value.dump());
        EXPECT_EQ(next(c.node)[c.member], c.published) << c.node;
        EXPECT_EQ(boardState(c.board), c.expected) << c.node;
    }
}

TEST_F(BoardMqttTopics, StatusAndInfoAreRetainedAtEveryConnection)
{
    EXPECT_EQ(retained("status")["service"], true);
    EXPECT_EQ(retained("status")["device"]["active"], true);
    EXPECT_EQ(retained("info")["device"]["firmwareVersion"], "1.2.3");

    // The broker keeps no retained message over its restart: what a late
    // peer is given then was published after the reconnection.
    peer.reset();
    broker->stop();
    broker->start();
    ASSERT_TRUE(client->waitConnected(20000));
    EXPECT_EQ(retained("status")["service"], true);
    EXPECT_EQ(retained("info")["service"]["type"], "lumacore");
}

TEST_F(BoardMqttTopics, TheServiceIsReportedStoppedAfterTheClientsStop)
{
    client->stop();
    EXPECT_EQ(next("status")["service"], false);
    EXPECT_EQ(retained("status")["service"], false);
    client->start();
    EXPECT_EQ(next("status")["service"], true);
}

TEST_F(BoardMqttTopics, ABoardThatFallsSilentRepublishesItsStatus)
{
    manager->setConfig(json{{"statusPeriod", 200}});
    board.setSilent(true);
    const json status = next("status", 30000);
    EXPECT_EQ(status["device"]["active"], false);
    EXPECT_EQ(status["device"]["temperature"], nullptr);
    EXPECT_EQ(status["service"], true);
}

TEST_F(BoardMqttTopics, ErrorsOtherThanTrueAreReportedTogether)
{
    adaptor->reportErrors({{"gpio", true}});
    adaptor->reportErrors({{"lcd", "Timeout"}, {"audio", true}, {"display", {{"exception", "x"}}}});
    EXPECT_EQ(MQTT::Client::toText(next("errors")),
              R"([{"description":{"exception":"x"},"topic":"display"},{"description":"Timeout","topic":"lcd"}])");
}

// A status that found the service running goes out before the last one,
// whose mark waits for it: none follows the last. The stop's first step is
// run alone, so that the client stays connected and would publish a late
// one.
TEST_F(BoardMqttTopics, NoStatusFollowsTheLastOne)
{
    std::promise<void> entered, release;
    adaptor->statusPublishing.arm([&entered, held = release.get_future().share()] {
        entered.set_value();
        held.wait();
    });
    std::thread status([this] { adaptor->onStatusChanged(); });
    const bool holding = entered.get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    auto stopping = std::async(std::launch::async, [this] { client->stopping.emit(); });
    stopping.wait_for(std::chrono::seconds(1));
    release.set_value();
    status.join();
    stopping.wait();
    ASSERT_TRUE(holding);
    // The client's publications reach the peer in order: all are in once
    // this one is.
    client->publish(MQTT::Message("marker", "{}", MQTT::Retained::No, MQTT::QoS::AtMostOnce), true);
    std::vector<json> statuses;
    bool marked = false;
    for (int waited = 0; !marked && waited < 10000; waited += 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (const auto& message : peer->takeAll()) {
            marked = marked || message->get_topic() == "tavo/lumacore/marker";
            if (message->get_topic() == "tavo/lumacore/status")
                statuses.push_back(json::parse(message->to_string()));
        }
    }
    ASSERT_TRUE(marked);
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back()["service"], false);
    EXPECT_EQ(std::count_if(statuses.begin(), statuses.end(), [](const json& s) { return s["service"] == false; }), 1);
}

namespace {

// The last status's window long enough for its readings on any host.
class BoardMqttHeldLock : public BoardMqttTopics {
protected:
    static constexpr int kWindowMs = 2000;
    void SetUp() override
    {
        BoardMqttTopics::SetUp();
        manager->lastStatusWindowSet(kWindowMs);
    }
};

} // namespace

// The last "status" opens its window once it holds the tree lock, ahead of
// every reading, whichever sorts first: a holder of the lock that outlasts
// the window leaves it whole, and a reading sorted before "active" gets the
// board.
TEST_F(BoardMqttHeldLock, TheLastStatusWindowOpensUnderTheTreeLockAheadOfEveryReading)
{
    std::atomic<int> holding{0};
    const LambdaTree slow([&] {
        if (holding.exchange(2) == 1)
            Thread::sleep(kWindowMs + 300);
        return Result{true, 0};
    });
    client->subscribeLambdaTree(LambdaTree(LambdaTree::Children{{"slow", slow}}), "");
    const LambdaTree first([this] { return adaptor->uptimeGet(); });
    client->subscribeLambdaTree(LambdaTree(LambdaTree::Children{{"aaa", first}}), "status");
    holding = 1;
    std::thread holder([this] { client->publishLambdaTreeNode("slow", MQTT::Retained::No, MQTT::QoS::AtMostOnce); });
    ASSERT_TRUE(waitUntil([&holding] { return holding == 2; }, 5000));
    const json status = lastStatus();
    holder.join();
    EXPECT_EQ(status["service"], false) << status;
    EXPECT_EQ(status["device"]["active"], true) << status;
    EXPECT_FALSE(status["aaa"].is_null()) << status;
    EXPECT_EQ(readings(status, false), std::vector<std::string>{}) << status;
}

namespace {

// A board as the last status finds it, and what that status reads of it.
struct LastStatusCase {
    const char* name;
    int receiveTimeoutMs;
    int replyDelayMs;
    std::vector<std::pair<uint8_t, uint8_t>> unheard; // ID and sub-identifier
    bool active;
    std::vector<std::string> got;                     // the readings with a value
    size_t replies;                                   // replies taken
    std::vector<std::vector<uint8_t>> requests;       // ID and sub-identifier

    friend void PrintTo(const LastStatusCase& c, std::ostream* out) { *out << c.name; }
};

class BoardMqttLastStatus : public BoardMqttTopics, public ::testing::WithParamInterface<LastStatusCase> {};

} // namespace

// The window: the status's requests go through from its heartbeat on for
// 500 ms, each wait cut at its end, and none after the first the board does
// not answer; every reading it did not get is null.
TEST_P(BoardMqttLastStatus, ReadsTheBoardInItsWindowOnly)
{
    const LastStatusCase& c = GetParam();
    manager->receiveTimeoutSet(c.receiveTimeoutMs);
    board.delayReplies(c.replyDelayMs);
    for (const auto& [id, subId] : c.unheard) {
        board.hearRequests(id, subId, false);
    }
    settle();
    const size_t answered = manager->getStats().successes;
    const json status = lastStatus();
    EXPECT_EQ(status["device"]["active"], c.active) << status;
    EXPECT_EQ(readings(status, true), c.got) << status;
    std::vector<std::vector<uint8_t>> requests;
    for (const auto& request : sent()) {
        requests.push_back({request[0], request[1]});
    }
    EXPECT_EQ(requests, c.requests);
    EXPECT_EQ(manager->getStats().successes - answered, c.replies);
}

INSTANTIATE_TEST_SUITE_P(
    Boards, BoardMqttLastStatus,
    ::testing::Values(
        // The heartbeat answered at 300 ms; the hardware status's reply, due
        // at 600 ms, is not waited for.
        LastStatusCase{"Slow", 1000, 300, {}, true, {}, 1, {{0, 0}, {0, 5}}},
        // Both transmissions of the heartbeat lost by 300 ms, well inside.
        LastStatusCase{"DeafToHeartbeats", 150, 0, {{0, 0}}, false, {}, 0, {{0, 0}, {0, 0}}},
        // The hardware status (two requests) and the heater answered, then
        // both transmissions of the ignition lost, inside: no request
        // follows, and the ignition and every reading after it are null.
        LastStatusCase{"DeafToTheIgnition", 150, 0, {{1, 4}}, true, {"hardwareStatus", "heater"}, 4,
                       {{0, 0}, {0, 5}, {12, 1}, {4, 2}, {1, 4}, {1, 4}}}),
    [](const ::testing::TestParamInfo<LastStatusCase>& info) { return std::string(info.param.name); });
