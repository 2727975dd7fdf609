// The node "config" against a real broker, with the board, the TCP service
// and the MQTT client as the configuration's components.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "ServiceFixture.h"
#include "app/BoardConfigAdaptor.h"
#include "app/Config.h"
#include "app/ConfigMqttAdaptor.h"
#include "app/TCPConfigAdaptor.h"
#include "app/version/Version.h"
#include "messaging/MqttPeer.h"
#include "support/LogCapture.h"
#include "support/MosquittoBroker.h"
#include "support/TempDir.h"
#include "support/Unowned.h"

namespace {

using nlohmann::json;

const std::string kTopic = "tavo/lumacore/config";

class ConfigMqttAdaptorTest : public ServiceTest {
protected:
    // The daemon's start-up: a file with a full "mqtt" section for the test's
    // broker and a "tcp" section with a free port, read by the three
    // adaptors; then the client and the service start.
    ConfigMqttAdaptorTest()
    {
        open();
        port = freePort();
        makeService(getDefaultPort());
        MQTT::Config settings("tavo/lumacore", "MQTT");
        settings.setUrl(broker.url());
        settings.setClientId("config-under-test");
        std::ofstream(path) << json{{"mqtt", settings.toJson()}, {"tcp", {{"port", port}}}}.dump();
        config.observerAttach(std::make_shared<tavo::Config::MqttAdaptor>(unowned(config), client));
        config.observerAttach(std::make_shared<tavo::Board::ConfigAdaptor>(unowned(config), manager));
        config.observerAttach(std::make_shared<tavo::Board::TCP::ConfigAdaptor>(unowned(config), service));
        config.update();
        client->connected.connect([this] { ++connections; });
        client->stopping.connect([this] { ++stops; });
        client->subscribed.connect([this](const std::string& topic) {
            std::lock_guard<std::mutex> lock(grantedMutex);
            granted.push_back(topic);
        });
        client->start();
        service->start();
        EXPECT_TRUE(connectedTimes(1));
        EXPECT_TRUE(waitUntil([this] { return wasGranted(kTopic + "/set"); }, 10000));
        peer.subscribe(kTopic);
        first = peer.next(kTopic);
    }
    ~ConfigMqttAdaptorTest() override { client->stop(); }

    // Waits until the client has connected (and published "config") count
    // times.
    bool connectedTimes(int count) { return waitUntil([&] { return connections >= count; }, 10000); }
    bool wasGranted(const std::string& topic)
    {
        std::lock_guard<std::mutex> lock(grantedMutex);
        return std::find(granted.begin(), granted.end(), topic) != granted.end();
    }
    // Sets "config" over MQTT; the node's value as published in reply, null
    // when no reply came.
    json set(const json& value)
    {
        peer.publish(kTopic + "/set", value.dump());
        const auto reply = peer.next(kTopic, 10000);
        return reply ? json::parse(reply->to_string()) : json();
    }
    // The client's settings as a full "mqtt" section, with one key changed.
    json mqttSection(const std::string& key, const json& value) const
    {
        json section = client->getConfig().toJson();
        section[key] = value;
        return section;
    }
    json fileJson() const { return json::parse(readFile(path)); }
    // The retained "config", which the broker hands out again at each
    // subscription; null when none came.
    json retained()
    {
        peer.subscribe(kTopic);
        for (auto message = peer.next(kTopic, 10000); message; message = peer.next(kTopic, 10000)) {
            if (message->is_retained())
                return json::parse(message->to_string());
        }
        return json();
    }

    MosquittoBroker broker;
    std::shared_ptr<MQTT::Client> client = std::make_shared<MQTT::Client>("tavo/lumacore", "MQTT");
    TempDir dir;
    const std::string path = dir.file("lumacore.json");
    tavo::Config::Config config{path};
    MqttPeer peer{broker.url(), "config-peer"};
    mqtt::const_message_ptr first; // the retained "config" a new subscriber gets
    std::atomic<int> connections{0};
    std::atomic<int> stops{0};
    std::mutex grantedMutex;
    std::vector<std::string> granted;
};

TEST_F(ConfigMqttAdaptorTest, ConfigIsPublishedRetainedAtEveryConnection)
{
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->is_retained());
    const json published = json::parse(first->to_string());
    EXPECT_EQ(published, config.configGet());
    EXPECT_EQ(published["mqtt"]["url"], broker.url());
    EXPECT_TRUE(published.contains("device"));

    client->restart();
    EXPECT_TRUE(connectedTimes(2));
    EXPECT_TRUE(peer.next(kTopic, 10000)) << "published again after the new connection";
}

TEST_F(ConfigMqttAdaptorTest, TcpPortSetOverMqttMovesTheListenerAndTheFile)
{
    const unsigned short moved = freePort();
    const json reply = set({{"tcp", {{"port", moved}}}});
    EXPECT_EQ(reply["tcp"]["port"], moved);
    EXPECT_EQ(fileJson(), reply);
    TCPClient other;
    connect(other, moved);
}

// A setting a section cannot hold is answered with its key path, and the
// listener, the connection and the file stay as they were.
TEST_F(ConfigMqttAdaptorTest, ASettingOutOfRangeIsRefusedNamingItsKey)
{
    const struct {
        const char* node;
        json value;
        const char* error;
    } cases[] = {
        {"config/tcp", {{"port", 70000}}, "tcp/port: 70000 is not a port number"},
        {"config/mqtt", {{"keepAliveSec", -1}}, "mqtt/keepAliveSec: -1 is not an unsigned number of seconds up to "
                                                "4294967295"},
    };
    peer.subscribe("tavo/lumacore/error");
    const std::string before = readFile(path);
    for (const auto& c : cases) {
        peer.publish(std::string("tavo/lumacore/") + c.node + "/set", c.value.dump());
        const auto reply = peer.next("tavo/lumacore/error", 10000);
        ASSERT_TRUE(reply) << c.error;
        EXPECT_NE(reply->to_string().find(c.error), std::string::npos) << reply->to_string();
    }
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(stops, 0);
    TCPClient same;
    connect(same, port);
}

TEST_F(ConfigMqttAdaptorTest, NewKeepAliveReconnectsTheClient)
{
    set({{"mqtt", mqttSection("keepAliveSec", 30)}});
    EXPECT_TRUE(connectedTimes(2));
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(client->getConfig().getKeepAlive(), 30u);
    EXPECT_EQ(fileJson()["mqtt"]["keepAliveSec"], 30);
}

// A set refused for its size is judged by a preview of the client's new
// settings: that preview logs nothing and restarts nothing.
TEST_F(ConfigMqttAdaptorTest, ARefusedSetLeavesNoLogLineAndNoRestart)
{
    LogCapture capture;
    json section = mqttSection("keepAliveSec", 30);
    for (int key = 0; key < 70; ++key)
        section["k" + std::to_string(key)] = std::string(4000, 'k');
    peer.subscribe("tavo/lumacore/error");
    peer.publish(kTopic + "/set", json{{"mqtt", section}}.dump());
    EXPECT_TRUE(peer.next("tavo/lumacore/error", 10000));
    EXPECT_FALSE(capture.contains("[MQTT::Config] Loading default configuration."));
    EXPECT_EQ(stops, 0);
}

TEST_F(ConfigMqttAdaptorTest, EqualSectionAsJsonValuesKeepsTheConnection)
{
    const json reply = set({{"mqtt", mqttSection("keepAliveSec", 20.0)}});
    EXPECT_EQ(reply["mqtt"]["keepAliveSec"], 20);
    std::this_thread::sleep_for(std::chrono::seconds(1)); // a restart would have begun by now
    EXPECT_EQ(stops, 0);
    EXPECT_EQ(connections, 1);
}

// A set is acknowledged only once the file holds it: not once rewrites have
// stopped, nor when the write fails (the temporary file cannot be made).
// The retained "config" shows what the daemon runs with all the same.
TEST_F(ConfigMqttAdaptorTest, ASetTheFileDoesNotHoldAnswersAnError)
{
    const std::string response = kTopic + "/set/response/me/";
    peer.subscribe(response + "+");
    const auto rpcSet = [&](int id, int port) {
        peer.publish(kTopic + "/set/request/me/" + std::to_string(id), json{{"tcp", {{"extra", port}}}}.dump());
        const auto reply = peer.next(response + std::to_string(id), 10000);
        return reply ? json::parse(reply->to_string()) : json();
    };
    const std::string before = readFile(path);
    const std::string temporary = dir.file("lumacore-" + std::to_string(getpid()) + "-temp-config");
    std::filesystem::create_directory(temporary);
    json reply = rpcSet(1, 1);
    EXPECT_EQ(reply["completed"], false) << reply;
    EXPECT_NE(reply.dump().find("Applied, not saved"), std::string::npos) << reply;
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(retained()["tcp"]["extra"], 1);

    std::filesystem::remove(temporary);
    config.stopRewrites();
    reply = rpcSet(2, 2);
    EXPECT_EQ(reply["completed"], false) << reply;
    EXPECT_NE(reply.dump().find("Stopping: applied, not saved"), std::string::npos) << reply;
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(retained()["tcp"]["extra"], 2);
}

// "a#b" cannot be a topic level: it stays inside the value only, which a
// get shows.
TEST_F(ConfigMqttAdaptorTest, KeyThatIsNoTopicLevelMakesNoSubscription)
{
    set({{"mqtt", mqttSection("a#b", 1)}});
    ASSERT_TRUE(connectedTimes(2));
    peer.publish(kTopic + "/get", "");
    const auto reply = peer.next(kTopic);
    ASSERT_TRUE(reply);
    EXPECT_EQ(json::parse(reply->to_string())["mqtt"]["a#b"], 1);
    EXPECT_EQ(fileJson()["mqtt"]["a#b"], 1);
    std::lock_guard<std::mutex> lock(grantedMutex);
    for (const std::string& topic : granted) {
        EXPECT_EQ(topic.find("a#b"), std::string::npos) << topic;
    }
}

} // namespace
