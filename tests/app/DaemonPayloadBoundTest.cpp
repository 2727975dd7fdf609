// End-to-end, service mode: a received MQTT payload over the bound is refused
// unread, even when it would succeed if parsed; one at the bound, and a
// configuration set whose escapes make it three times its stored size, are
// served.

#include <gtest/gtest.h>

#include "ServiceDaemon.h"
#include "messaging/MQTTClient.h"

namespace {

const std::string kRoot = "tavo/lumacore/";

// {"r":1,"g":2,"b":3,"pad":"pp..."} of exactly size octets.
std::string colorPayload(size_t size)
{
    const std::string head = R"({"r":1,"g":2,"b":3,"pad":")";
    return head + std::string(size - head.size() - 2, 'p') + "\"}";
}

} // namespace

TEST(DaemonPayloadBound, APayloadOverTheBoundIsRefusedUnreadAndOneAtItIsServed)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run());
    service.subscribe({"error", "led/color/set/response/+/+", "info/get/response/+", "config/tcp/set/response/+"});
    const auto ledColour = [&] { return service.board.device().access([](SimDeviceState& s) { return s.ledColour; }); };
    const uint32_t before = ledColour();
    service.peer->publish(kRoot + "led/color/set/request/me/1", colorPayload(2 * 1024 * 1024));
    EXPECT_EQ(service.next("led/color/set/response/me/1"),
              nlohmann::json::parse(R"({"completed":false,"error":{"description":"Payload too large"}})"));
    EXPECT_EQ(ledColour(), before);
    service.publish("lcd/set", {{"color", {{"r", 1}, {"g", 2}, {"b", 3}}}, {"pad", std::string(2 * 1024 * 1024, 'p')}});
    EXPECT_EQ(service.next("error"), (nlohmann::json{{"command", "lcd/set"}, {"error", "Payload too large"}}));
    service.publish("info/get/request/2", nullptr);
    EXPECT_EQ(service.next("info/get/response/2")["completed"], true);
    service.peer->publish(kRoot + "led/color/set/request/me/3", colorPayload(MQTTClient::kMaxPayloadSize));
    EXPECT_EQ(service.next("led/color/set/response/me/3"), (nlohmann::json{{"completed", true}}));
    EXPECT_EQ(ledColour(), 0x030201u);

    // 312 KB as sent, every character escaped; 52 KB in the file.
    std::string tcp = "{";
    for (int member = 0; member < 13; ++member) {
        tcp += (member ? ",\"t" : "\"t") + std::to_string(member) + "\":\"";
        for (int i = 0; i < 4000; ++i)
            tcp += "\\u0061";
        tcp += "\"";
    }
    service.peer->publish(kRoot + "config/tcp/set/request/4", tcp + "}");
    EXPECT_EQ(service.next("config/tcp/set/response/4")["completed"], true);
    EXPECT_EQ(service.configFile()["tcp"]["t12"], std::string(4000, 'a'));
}
