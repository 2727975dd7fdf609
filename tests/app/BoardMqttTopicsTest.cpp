// The board tree through a real broker: every node read through its get
// topic, every settable node written through its set topic, and the retained
// "status" and "info" through the client's connections, stops and starts and
// the board's silence.

#include "BoardMqttFixture.h"

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
