#include "messaging/MQTTClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <memory>
#include <thread>
#include <syslog.h>

#include "foundation/JsonText.h"
#include "messaging/Client.h"
#include "messaging/LambdaTree.h"
#include "messaging/MQTTActionListeners.h"
#include "messaging/TopicText.h"
#include "tests/messaging/RecordingListener.h"
#include "tests/messaging/SlowBroker.h"
#include "tests/support/LogCapture.h"
#include "tests/support/MosquittoBroker.h"

namespace {

const int kWaitMs = 10000;

// A client of its own id, connected to url.
struct Connected {
    Connected(const std::string& url, const std::string& clientId) : client(&listener)
    {
        client.setUrl(url);
        client.setClientId(clientId);
        EXPECT_TRUE(client.connect());
        EXPECT_TRUE(listener.waitFor("connected", kWaitMs));
    }

    RecordingListener listener;
    MQTTClient client;
};

size_t occurrences(const std::string& text, const std::string& needle)
{
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

} // namespace

TEST(MQTTClient, ConnectFailureReasons)
{
    const std::pair<int, const char*> cases[] = {
        {0, "Connection accepted"},       {1, "Unacceptable protocol version"},
        {2, "Identifier rejected"},       {3, "Service unavailable"},
        {4, "Bad user name or password"}, {5, "Not authorized"},
        {-1, "Connection timeout"},       {6, "Unknown reason"},
        {-2, "Unknown reason"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MQTTConnectListener::reason(c.first), c.second) << c.first;
    }
}

TEST(MQTTClient, OperationsBeforeConnectFailWithoutListenerCalls)
{
    for (bool logging : {false, true}) {
        LogCapture capture;
        RecordingListener listener;
        MQTTClient client(&listener);
        client.setLogEnabled(logging);
        EXPECT_FALSE(client.subscribe("a/b", 0));
        EXPECT_FALSE(client.unsubscribe("a/b"));
        EXPECT_FALSE(client.publish("a/b", "x", 0, false));
        EXPECT_FALSE(client.disconnect(0));
        EXPECT_FALSE(client.wait(0));
        EXPECT_FALSE(client.isConnected());
        EXPECT_TRUE(listener.events().empty());
        EXPECT_EQ(capture.contains(LOG_ERR, "[MQTTClient] Client not connected."), logging);
        EXPECT_EQ(capture.lines().empty(), !logging);
    }
}

TEST(MQTTClient, SubscribePublishAndReceivePassQosAndRetainedThrough)
{
    MosquittoBroker broker;
    Connected c(broker.url(), "wrapper-pubsub");
    EXPECT_TRUE(c.client.wait(-1));
    EXPECT_TRUE(c.client.isConnected());

    // Retained before the subscription: the broker hands it on as retained.
    ASSERT_TRUE(c.client.publish("kept/one", "old", 1, true));
    ASSERT_TRUE(c.listener.waitFor("sent", kWaitMs));
    ASSERT_TRUE(c.client.subscribe("kept/#", 2));
    EXPECT_TRUE(c.listener.waitFor("subscribed kept/#", kWaitMs));
    EXPECT_TRUE(c.listener.waitFor("received kept/one old qos=1 retained=1", kWaitMs));

    ASSERT_TRUE(c.client.subscribe("live/#", 2));
    ASSERT_TRUE(c.listener.waitFor("subscribed live/#", kWaitMs));
    for (int qos : {0, 1, 2}) {
        const std::string payload = "p" + std::to_string(qos);
        ASSERT_TRUE(c.client.publish("live/q", payload, qos, false));
        EXPECT_TRUE(c.listener.waitFor("received live/q " + payload + " qos=" + std::to_string(qos) + " retained=0",
                                       kWaitMs));
    }
    EXPECT_TRUE(c.listener.waitFor("sent", kWaitMs, 4));
    EXPECT_FALSE(c.client.publish("live/q", "bad", 3, false));

    ASSERT_TRUE(c.client.unsubscribe("live/#"));
    EXPECT_TRUE(c.listener.waitFor("unsubscribed live/#", kWaitMs));
    ASSERT_TRUE(c.client.disconnect(1000));
    EXPECT_TRUE(c.listener.waitFor("disconnected", kWaitMs));
    EXPECT_FALSE(c.client.isConnected());
}

// A granted subscription is answered, so settle() finds nothing due; from
// then on the client starts no (un)subscription. The broker answers in
// order: once it acknowledged a later publication, a SUBACK would have come.
TEST(MQTTClient, SettleFindsAGrantedSubscriptionAnsweredAndStartsNoneAfter)
{
    MosquittoBroker broker;
    Connected c(broker.url(), "wrapper-settle");
    ASSERT_TRUE(c.client.subscribe("granted", 0));
    ASSERT_TRUE(c.listener.waitFor("subscribed granted", kWaitMs));
    EXPECT_TRUE(c.client.settle(500));
    EXPECT_FALSE(c.client.subscribe("late", 0));
    EXPECT_FALSE(c.client.unsubscribe("granted"));
    ASSERT_TRUE(c.client.publish("after", "x", 1, false));
    ASSERT_TRUE(c.listener.waitFor("sent", kWaitMs));
    EXPECT_EQ(0, c.listener.count("subscribed late"));
    EXPECT_EQ(0, c.listener.count("unsubscribed granted"));
}

// A subscription or an unsubscription the broker has not answered yet is
// still due when settle() gives up. A client's end reports its operations
// under way on the thread that ends it, which then counts as a library
// thread: the clients end on a thread of their own.
TEST(MQTTClient, SettleGivesUpOnAnAnswerStillDue)
{
    struct Held {
        SlowBroker broker;
        RecordingListener listener;
        MQTTClient client{&listener};
    };
    std::unique_ptr<Held> rows[2];
    for (const bool subscription : {true, false}) {
        auto& held = rows[subscription ? 0 : 1];
        held = std::make_unique<Held>();
        held->client.setUrl(held->broker.url());
        held->client.setClientId(subscription ? "wrapper-held-sub" : "wrapper-held-unsub");
        ASSERT_TRUE(held->client.connect());
        ASSERT_TRUE(held->broker.acceptConnected(kWaitMs));
        ASSERT_TRUE(held->listener.waitFor("connected", kWaitMs));
        ASSERT_TRUE(subscription ? held->client.subscribe("held", 0) : held->client.unsubscribe("held"));
        EXPECT_FALSE(held->client.settle(300)) << subscription;
    }
    std::thread([&rows] {
        for (auto& held : rows)
            held.reset();
    }).join();
}

TEST(MQTTClient, FailedConnectsReportTheirReason)
{
    MosquittoBroker refusing(MosquittoBroker::Access::Refused);
    const std::pair<std::string, const char*> cases[] = {
        {"127.0.0.1:" + std::to_string(MosquittoBroker::freePort()), "connectFailed Connection timeout"},
        {refusing.url(), "connectFailed Not authorized"},
    };
    for (const auto& c : cases) {
        RecordingListener listener;
        MQTTClient client(&listener);
        client.setUrl(c.first);
        client.setClientId("wrapper-refused");
        ASSERT_TRUE(client.connect());
        EXPECT_TRUE(listener.waitFor(c.second, kWaitMs)) << c.first;
        EXPECT_EQ(listener.count("connected"), 0);
    }
}

TEST(MQTTClient, ConnectsAsTheDefaultIdWithItsOptions)
{
    MosquittoBroker broker;
    RecordingListener listener;
    MQTTClient client(&listener);
    client.setUrl(broker.url());
    client.setKeepAlive(33);
    ASSERT_TRUE(client.connect());
    ASSERT_TRUE(listener.waitFor("connected", kWaitMs));
    // Protocol 3.1.1 (p2), a clean session (c1) and the keep-alive set.
    EXPECT_TRUE(broker.waitForLog("as tavo_mqtt_client (p2, c1, k33).", kWaitMs)) << broker.log();
}

TEST(MQTTClient, PasswordWithoutUserNameIsNotSentAndLoggedOnce)
{
    MosquittoBroker broker;
    LogCapture capture;
    RecordingListener listener;
    MQTTClient client(&listener);
    client.setUrl(broker.url());
    client.setClientId("wrapper-password");
    client.setPassword("secret");
    for (int round = 1; round <= 2; ++round) {
        ASSERT_TRUE(client.connect());
        ASSERT_TRUE(listener.waitFor("connected", kWaitMs, round));
        ASSERT_TRUE(client.disconnect(1000));
        ASSERT_TRUE(listener.waitFor("disconnected", kWaitMs, round));
    }
    const auto texts = capture.texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "[MQTTClient] A password without a user name is not sent."), 1);
}

TEST(MQTTClient, ChangedUrlMovesToAnotherBroker)
{
    MosquittoBroker first;
    MosquittoBroker second;
    RecordingListener listener;
    MQTTClient client(&listener);
    client.setClientId("wrapper-moving");
    const MosquittoBroker* moves[] = {&first, &second, &first};
    for (int n = 1; n <= 3; ++n) {
        client.setUrl(moves[n - 1]->url());
        ASSERT_TRUE(client.connect());
        ASSERT_TRUE(listener.waitFor("connected", kWaitMs, n)) << "move " << n;
    }
    // The old connections ended, and their ends reached nobody.
    EXPECT_TRUE(second.waitForLog("Client wrapper-moving disconnected.", kWaitMs));
    EXPECT_EQ(occurrences(first.log(), "as wrapper-moving"), 2u);
    EXPECT_EQ(listener.count("disconnected"), 0);
    ASSERT_TRUE(client.publish("moved", "here", 0, false));
    EXPECT_TRUE(first.waitForLog("'moved'", kWaitMs));
}

TEST(MQTTClient, ChangedUrlIsRefusedOnALibraryThread)
{
    MosquittoBroker first;
    MosquittoBroker second;
    // Before the listener, whose hook the library may call until the
    // client is gone.
    std::promise<bool> connected;
    RecordingListener listener;
    MQTTClient client(&listener);
    listener.hook = [&client, &connected, &second](const std::string& event) {
        if (event.rfind("received move", 0) == 0) {
            client.setUrl(second.url());
            connected.set_value(client.connect());
        }
    };
    client.setClientId("wrapper-staying");
    client.setUrl(first.url());
    ASSERT_TRUE(client.connect());
    ASSERT_TRUE(listener.waitFor("connected", kWaitMs));
    ASSERT_TRUE(client.subscribe("move", 0));
    ASSERT_TRUE(listener.waitFor("subscribed move", kWaitMs));
    ASSERT_TRUE(client.publish("move", "now", 0, false));
    std::future<bool> result = connected.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    EXPECT_FALSE(result.get());
    EXPECT_TRUE(client.isConnected());
    EXPECT_EQ(second.log().find("wrapper-staying"), std::string::npos);
}

#if defined(__SANITIZE_THREAD__)
namespace {

// Takes two locks of ours in one order on a library callback thread, then
// in the other order on this thread, one after the other; then ends the
// process.
[[noreturn]] void invertLocksAcrossALibraryThread(const std::string& url)
{
    std::mutex first;
    std::mutex second;
    std::promise<void> taken;
    {
        RecordingListener listener;
        listener.hook = [&first, &second, &taken](const std::string& event) {
            if (event == "subscribed canary") {
                {
                    std::lock_guard<std::mutex> outer(first);
                    std::lock_guard<std::mutex> inner(second);
                }
                taken.set_value();
            }
        };
        MQTTClient client(&listener);
        client.setClientId("wrapper-canary");
        client.setUrl(url);
        if (client.connect() && client.wait(kWaitMs) && client.subscribe("canary", 0) &&
            taken.get_future().wait_for(std::chrono::milliseconds(kWaitMs)) == std::future_status::ready) {
            std::lock_guard<std::mutex> outer(second);
            std::lock_guard<std::mutex> inner(first);
        }
    }
    std::exit(0);
}

} // namespace

// The MQTT libraries' suppressions must leave this project's own lock-order
// faults visible, those taken on a library thread included.
TEST(MQTTClientDeathTest, ALockOrderInversionOnALibraryThreadIsStillReported)
{
    MosquittoBroker broker;
    EXPECT_EXIT(invertLocksAcrossALibraryThread(broker.url()), [](int) { return true; },
                "ThreadSanitizer: lock-order-inversion");
}
#endif

// A topic MQTT cannot carry never reaches the library: the broker would drop
// the client for a wrapped length field or a forbidden code point. Each
// refusal is one error line with the topic cut.
TEST(MQTTClient, TopicsMqttCannotCarryAreRefusedAndTheConnectionStays)
{
    MosquittoBroker broker;
    Connected c(broker.url(), "wrapper-topics");
    const std::string longest = "t/" + std::string(MQTT::kMaxTopicOctets - 2, 'x');
    const struct {
        std::string topic;
        bool subscribe;
        bool publish;
    } rows[] = {
        {longest + "x", false, false},  {"a/\x01", false, false},       {"a/\x7f", false, false},
        {"a/\xc2\x85", false, false},   {"a/\xef\xb7\x90", false, false}, {"a/\xf0\x9f\xbf\xbf", false, false},
        {"a/\xc0\xaf", false, false},   {"a/+", true, false},           {"a/#", true, false},
        {"a/\xc2\xa0", true, true},
        // The upper edges of the refused ranges, and the first code points past them.
        {"a/\x1f", false, false},       {"a/ ", true, true},             {"a/\xc2\x9f", false, false},
        {"a/\xef\xb7\xaf", false, false}, {"a/\xef\xb7\xb0", true, true},
        // Surrogates, overlong forms, a bad continuation octet, past U+10FFFF, cut short.
        {"a/\xed\xa0\x80", false, false}, {"a/\xed\xbf\xbf", false, false}, {"a/\xe0\x80\xaf", false, false},
        {"a/\xf0\x80\x80\xaf", false, false}, {"a/\xc3\x28", false, false}, {"a/\xf4\x90\x80\x80", false, false},
        {"a/\xe2\x82", false, false},   {"a/\xf4\x8f\xbf\xbd", true, true},
    };
    for (const auto& row : rows) {
        LogCapture capture;
        EXPECT_EQ(c.client.subscribe(row.topic, 0), row.subscribe) << row.topic.substr(0, 20);
        EXPECT_EQ(c.client.unsubscribe(row.topic), row.subscribe) << row.topic.substr(0, 20);
        EXPECT_EQ(c.client.publish(row.topic, "p", 0, false), row.publish) << row.topic.substr(0, 20);
        const size_t refusals = (row.subscribe ? 0 : 2) + (row.publish ? 0 : 1);
        EXPECT_EQ(capture.lines().size(), refusals);
        for (const auto& line : capture.texts())
            EXPECT_LT(line.size(), 400u) << line.substr(0, 80);
    }
    ASSERT_TRUE(c.client.subscribe(longest, 0));
    ASSERT_TRUE(c.listener.waitFor("subscribed " + longest, kWaitMs));
    ASSERT_TRUE(c.client.publish(longest, "far", 0, false));
    EXPECT_TRUE(c.listener.waitFor("received " + longest + " far qos=0 retained=0", kWaitMs));
    EXPECT_TRUE(c.client.isConnected());
    EXPECT_EQ(c.listener.count("disconnected"), 0);
}

// The root of every topic the client builds: its longest tree topic, the
// RPC set of a node whose path has 16 KiB, must still fit in 65,535 octets.
// A remote set may give one of at most 256 octets and 32 levels, as the
// root stands in its topics, and none of the broker's own.
TEST(TopicText, ABaseIsCarriableWhenEveryTopicBuiltOnItIs)
{
    const std::string longest(MQTT::kMaxBaseOctets, 'b');
    const std::string deepest = "/" + std::string(LambdaTree::kMaxNodePath, 'n') + "/set/request/+/+";
    EXPECT_TRUE(MQTT::isCarriableTopic(longest + deepest, false));
    EXPECT_FALSE(MQTT::isCarriableTopic(longest + "b" + deepest, false));
    std::string levels32 = "a";
    for (int level = 2; level <= 32; ++level)
        levels32 += "/a";
    const struct {
        std::string base;
        bool carriable;
        bool settable = false;
    } rows[] = {
        {"", true, true},    {"tavo/lumacore", true, true}, {"tavo/x/", true, true}, {"/", true, true},
        {levels32, true, true}, {levels32 + "/", true, true}, {levels32 + "/a", true},  {"/" + levels32, true},
        {std::string(256, 'o'), true, true}, {std::string(257, 'o'), true}, {std::string(64, '/'), true},
        {longest, true},      {longest + "b", false},
        {"$SYS/x", true},    {"+", false},                  {"tavo/+/lumacore", false}, {"tavo/lumacore+", false},
        {"#", false},        {"tavo/#", false},             {"#/tavo", false},    {"tavo/lumacore\x07", false},
        {"a\x1f", false},    {"a\x7f", false},              {"a\xc2\x9f", false}, {"a\xef\xb7\x90", false},
        {"a\xef\xb7\xaf", false}, {"a\xef\xbf\xbe", false},   {"a\xf4\x8f\xbf\xbf", false},
        {std::string("a\0b", 3), false}, {"a\xc3", false},  {"a\xc0\xaf", false},  {"a\xed\xa0\x80", false},
        {"a\xc3\x28", false}, {"a\xf4\x90\x80\x80", false}, {"a\xc2\xa0", true, true},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(MQTT::isCarriableBase(row.base), row.carriable) << row.base.substr(0, 20);
        EXPECT_EQ(MQTT::isSettableBase(row.base), row.settable) << row.base.substr(0, 20);
    }
}

// The broker refuses every CONNECT whose will it cannot take: such a will is
// dropped with the earlier one, and the client connects without any.
TEST(MQTTClient, AWillMqttCannotCarryLeavesNoneAndTheClientConnects)
{
    for (const std::string& topic : {std::string("a/+/status"), "t/" + std::string(MQTT::kMaxTopicOctets - 1, 'x')}) {
        SCOPED_TRACE(topic.size());
        MosquittoBroker broker;
        RecordingListener listener;
        MQTTClient client(&listener);
        client.setUrl(broker.url());
        ASSERT_TRUE(client.setWill("a/status", "gone", 1, true));
        {
            LogCapture capture;
            EXPECT_FALSE(client.setWill(topic, "gone", 1, true));
            EXPECT_EQ(capture.lines().size(), 1u);
        }
        ASSERT_TRUE(client.connect());
        EXPECT_TRUE(listener.waitFor("connected", kWaitMs));
        EXPECT_TRUE(broker.waitForLog("No will message specified.", kWaitMs)) << broker.log();
        EXPECT_EQ(broker.log().find("Will message specified"), std::string::npos);
    }
}

// Every log switch on and a topic of 20 KB: no line shows more of it than
// its cut, at most twice, beside the line's own prefix and words.
TEST(MQTTClient, LogLinesShowALongTopicCut)
{
    MosquittoBroker broker;
    const std::string topic = "t/" + std::string(20000, 'x');
    const std::string cut = JsonText::cut(topic);
    LogCapture capture;
    {
        Connected c(broker.url(), "long-topic");
        c.client.setLogEnabled(true);
        ASSERT_TRUE(c.client.subscribe(topic, 0));
        ASSERT_TRUE(c.listener.waitFor("subscribed " + topic, kWaitMs));
        ASSERT_TRUE(c.client.publish(topic, "p", 0, false));
        ASSERT_TRUE(c.listener.waitFor("received " + topic + " p qos=0 retained=0", kWaitMs));
    }
    MQTT::Client client("tavo/lumacore", "MQTT");
    MQTT::Config config = client.getConfig();
    config.setLogPayload(true);
    config.setLogPublished(true);
    config.setLogReceived(true);
    config.setLogSubscriptions(true);
    client.setConfig(config);
    client.publish(MQTT::Message(topic, "p", MQTT::Retained::Yes, MQTT::QoS::AtMostOnce), false);
    EXPECT_TRUE(capture.contains("[MQTTClient] Subscribing to '" + cut + "' (qos=0)"));
    EXPECT_TRUE(capture.contains("[MQTTClient] Topic     = " + cut));
    EXPECT_TRUE(capture.contains("[MQTT::Client] Publishing retained message (qos=0): " + cut + " : p"));
    for (const auto& text : capture.texts())
        EXPECT_LE(text.size(), 100 + 2 * cut.size()) << text.substr(0, 80);
}

// Messages at the bound and one octet past it, handed over as the library
// delivers them, on an RPC and on a plain set. The payload names a password,
// so a log of it would parse it. The one past reaches no handler and no
// payload line; it is answered "Payload too large" and named by one warning.
TEST(MQTTClient, APayloadPastTheBoundReachesNoParseLogOrHandler)
{
    MQTT::Client client("tavo/lumacore", "MQTT");
    MQTT::Config config = client.getConfig();
    config.setLogPayload(true);
    config.setLogPublished(true);
    client.setConfig(config);
    int handled = 0;
    client.subscribeRpc("led/color/set", [&](auto&&...) { return std::to_string(++handled); });
    client.subscribeCommand("lcd/set", [&](const MQTT::Message&) { ++handled; }, true);
    MQTTClient wrapper(&client);
    wrapper.setLogEnabled(true);
    const size_t bound = MQTTClient::kMaxPayloadSize;
    const std::pair<std::string, std::string> rows[] = {
        {"led/color/set/request/me/1",
         R"(led/color/set/response/me/1 : {"completed":false,"error":{"description":"Payload too large"}})"},
        {"lcd/set", R"(error : {"command":"lcd/set","error":"Payload too large"})"}};
    for (const auto& [topic, refusal] : rows) {
        for (const size_t size : {bound, bound + 1}) {
            LogCapture capture;
            const int before = handled;
            const std::string payload = R"({"password":")" + std::string(size - 15, 's') + R"("})";
            wrapper.message_arrived(mqtt::make_message("tavo/lumacore/" + topic, payload));
            const bool past = size > bound;
            EXPECT_EQ(handled - before, past ? 0 : 1) << topic;
            EXPECT_EQ(capture.contains(R"([MQTTClient] Data      = '{"password":"********"}')"), !past) << topic;
            EXPECT_EQ(capture.contains("[MQTT::Client] Publishing message (qos=0): tavo/lumacore/" + refusal), past);
            const auto lines = capture.lines();
            EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const auto& l) { return l.priority == LOG_WARNING; }),
                      past ? 1 : 0);
            EXPECT_EQ(capture.contains(LOG_WARNING, "[MQTTClient] Refused a message of " + std::to_string(size) +
                                                        " octets on 'tavo/lumacore/" + topic + "': more than 1048576"),
                      past);
        }
    }
}
