#include "tests/messaging/ClientFixture.h"
#include "tests/messaging/MqttPeer.h"

#include <cstdlib>
#include <functional>
#include <future>
#include <stdexcept>
#include <syslog.h>
#include <thread>

#include "tests/support/LogCapture.h"

namespace {

using nlohmann::json;
using Result = LambdaTree::Result;

class ClientTree : public ClientFixture
{
protected:
    ClientTree()
    {
        LambdaTree::Children nodes = {
            {"value", LambdaTree([this] { return Result{true, stored.load()}; },
                                 [this](const json& v) {
                                     if (!v.is_number_integer())
                                         return Result{false, "not a number"};
                                     if (whileSetting)
                                         whileSetting(v);
                                     stored = v.get<int>();
                                     return Result{true, nullptr};
                                 })},
            {"failing", LambdaTree([] { return Result{false, "broken"}; })},
            {"throwing", LambdaTree([]() -> Result { throw std::runtime_error("thrown"); })},
            {"shape", LambdaTree([this] { return Result{true, json{{shapeKey, 1}}}; })},
            {"watched", LambdaTree([this] { return Result{true, stored.load()}; }, changes)},
            // Refreshes its topics after a set, as the "config" node does.
            {"wide", LambdaTree([this] { return Result{true, wide}; },
                                [this](const json& v) {
                                    wide = v;
                                    setterThread = std::this_thread::get_id();
                                    ++inSetter;
                                    client->updateLambdaTreeSubscriptions("wide", true);
                                    --inSetter;
                                    return Result{true, nullptr};
                                })},
            {"hold", LambdaTree([this] {
                 if (whileHeld)
                     whileHeld();
                 return Result{true, nullptr};
             })},
        };
        client->subscribeLambdaTree(LambdaTree(nodes), "");
    }
    // The tree's nodes are bound to `changes`.
    ~ClientTree() override { client.reset(); }

    void startServing()
    {
        client->start();
        ASSERT_TRUE(client->waitConnected(10000));
        // The root's monitor command is the last topic of the first refresh.
        ASSERT_TRUE(waitGranted("tavo/lumacore/monitor"));
        peer.subscribe("tavo/lumacore/#");
    }
    // Sends payload to <root>/request and returns the next message on
    // <root>/expect, or "" when none came within timeoutMs.
    std::string exchange(const std::string& request, const std::string& payload, const std::string& expect,
                         int timeoutMs = 5000)
    {
        peer.publish("tavo/lumacore/" + request, payload);
        const auto message = peer.next("tavo/lumacore/" + expect, timeoutMs);
        return message ? message->to_string() : "";
    }

    // Runs inside on another thread under the tree lock, as a slow getter
    // does, once the monitored node's changes have overfilled the worker's
    // queue (its first publication waits for the tree); the lock is held
    // until `released` is set.
    std::thread holdTheTree(std::function<void()> inside)
    {
        EXPECT_EQ(R"({"completed":true,"data":{"active":true,"skipChangesForMs":0}})",
                  exchange("watched/monitor/request/1", "", "watched/monitor/response/1"));
        whileHeld = [this, inside] {
            for (size_t i = 0; i < MQTT::Client::kMaxWorkerJobs + 150; ++i)
                changes.emit();
            inside();
            released.get_future().wait();
        };
        return std::thread([this] { client->publishLambdaTreeNode("hold", MQTT::Retained::No, MQTT::QoS::AtMostOnce); });
    }

    // Setters run under the tree lock: a thread inside one holds it.
    static thread_local int inSetter;
    std::atomic<std::thread::id> setterThread;
    std::atomic<int> stored{0};
    json wide;
    // Runs in the setter of "value" before the value is taken.
    std::function<void(const json&)> whileSetting;
    std::function<void()> whileHeld;
    std::promise<void> released;
    std::string shapeKey = "a";
    Signal<> changes;
    MqttPeer peer{broker.url(), "peer"};
};

thread_local int ClientTree::inSetter = 0;

// Well-formed, but deeper than a JSON value can be held without overflowing
// the stack.
const std::string kDeep = std::string(100000, '[') + std::string(100000, ']');

TEST_F(ClientTree, PlainRequestsReportErrorsBeforeTheValue)
{
    startServing();
    const struct {
        const char* request;
        std::string payload;
        const char* error;
        const char* node;
        const char* value;
    } cases[] = {
        {"value/set", "5", nullptr, "value", "5"},
        {"value/set", "", nullptr, "value", "5"},
        {"value/get", "ignored", nullptr, "value", "5"},
        {"failing/get", "", R"({"command":"failing","error":{"failing":"broken"}})", "failing", "null"},
        {"throwing/get", "", R"({"command":"throwing","error":{"throwing":{"exception":"thrown"}}})", "throwing", "null"},
        {"value/set", "\"x\"", R"({"command":"value/set","error":{"value":"not a number"}})", "value", "5"},
        {"value/set", "{", R"({"command":"value/set","error":"Malformed json"})", nullptr, nullptr},
        {"value/set", std::string(100000, '['), R"({"command":"value/set","error":"Malformed json"})", nullptr,
         nullptr},
        {"value/set", kDeep, R"({"command":"value/set","error":"Malformed json"})", nullptr, nullptr},
        {"watched/monitor", "[]", R"({"command":"watched/monitor","error":"'active' must be boolean"})", nullptr,
         nullptr},
    };
    for (const auto& c : cases) {
        peer.publish(std::string("tavo/lumacore/") + c.request, c.payload);
        if (c.error) {
            const auto error = peer.next("tavo/lumacore/error");
            ASSERT_TRUE(error) << c.request;
            EXPECT_EQ(c.error, error->to_string());
        }
        if (c.node) {
            const auto value = peer.next(std::string("tavo/lumacore/") + c.node);
            ASSERT_TRUE(value) << c.request;
            EXPECT_EQ(c.value, value->to_string()) << c.request;
        }
    }
}

TEST_F(ClientTree, RpcRequestsReplyWithTheValueOrTheErrors)
{
    startServing();
    const char* cases[][3] = {
        {"value/set", "7", R"({"completed":true,"data":7})"},
        {"value/get", "", R"({"completed":true,"data":7})"},
        {"failing/get", "", R"({"completed":false,"error":{"failing":"broken"}})"},
        {"value/set", "{", R"({"completed":false,"error":{"description":"Malformed json"}})"},
        {"value/set", kDeep.c_str(), R"({"completed":false,"error":{"description":"Malformed json"}})"},
        {"watched/monitor", R"({"active":false})", R"({"completed":true,"data":{"active":false}})"},
        {"watched/monitor", R"({"active":"yes"})", R"({"completed":false,"error":{"description":"'active' must be boolean"}})"},
        {"watched/monitor", "{}", R"({"completed":false,"error":{"description":"'active' must be boolean"}})"},
        {"watched/monitor", R"({"active":true,"skipChangesForMs":-5})",
         R"({"completed":true,"data":{"active":true,"skipChangesForMs":0}})"},
        {"watched/monitor", R"({"active":true,"skipChangesForMs":2.5})",
         R"({"completed":true,"data":{"active":true,"skipChangesForMs":0}})"},
        {"watched/monitor", "", R"({"completed":true,"data":{"active":true,"skipChangesForMs":0}})"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c[2], exchange(std::string(c[0]) + "/request/tool/1", c[1], std::string(c[0]) + "/response/tool/1"))
            << c[0] << " " << c[1];
}

// Once the process stop has begun a set could be acknowledged and then lost:
// both forms refuse it before the setter; an empty RPC set is a read.
TEST_F(ClientTree, SetsAreRefusedOnceTheProcessStopsAndReadsAreAnswered)
{
    stored = 4;
    startServing();
    client->markProcessStop();
    const char* rows[][4] = {
        {"value/set", "9", "error", R"({"command":"value/set","error":"Stopping"})"},
        {"value/set/request/tool/1", "9", "value/set/response/tool/1",
         R"({"completed":false,"error":{"description":"Stopping"}})"},
        {"value/set/request/tool/2", "", "value/set/response/tool/2", R"({"completed":true,"data":4})"},
        {"value/set", "", "value", "4"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row[3], exchange(row[0], row[1], row[2])) << row[0] << " " << row[1];
    EXPECT_EQ(4, stored.load());
}

TEST_F(ClientTree, RepliesAndErrorsGoOutAtQosZeroNotRetained)
{
    startServing();
    exchange("value/get/request/tool/9", "", "value/get/response/tool/9");
    exchange("value/set", "{", "error");
    for (const char* topic : {"tavo/lumacore/value/get/response/tool/9", "tavo/lumacore/error"})
        EXPECT_NE(std::string::npos, publishedLine(topic).find("q0, r0")) << broker.log();
}

TEST_F(ClientTree, AValueUpToTheBoundGetsEveryTopicAndAWiderOneIsRefused)
{
    startServing();
    const size_t bound = LambdaTree::kMaxMirrorNodes;
    const std::string fits = json(std::vector<int>(bound)).dump();
    clearGranted();
    EXPECT_EQ(R"({"completed":true,"data":)" + fits + "}", exchange("wide/set/request/1", fits, "wide/set/response/1"));
    // Get and set of each member, each as a command and an RPC of two topics.
    EXPECT_TRUE(waitGranted(6 * bound));

    const std::string over = json(std::vector<int>(bound + 1)).dump();
    EXPECT_EQ(R"({"completed":false,"error":{"description":"Value too wide"}})",
              exchange("wide/set/request/2", over, "wide/set/response/2"));
    EXPECT_EQ(R"({"command":"wide/set","error":"Value too wide"})", exchange("wide/set", over, "error"));
    const std::string nested = json({std::vector<int>(bound / 2), std::vector<int>(bound / 2)}).dump();
    EXPECT_EQ(R"({"command":"wide/set","error":"Value too wide"})", exchange("wide/set", nested, "error"));
    // Narrow by itself, but not in the value it would leave.
    EXPECT_EQ(R"({"completed":false,"error":{"description":"Value too wide"}})",
              exchange("wide/0/set/request/3", "[0,0]", "wide/0/set/response/3"));
    EXPECT_EQ(R"({"command":"wide/0/set","error":"Value too wide"})", exchange("wide/0/set", "[0,0]", "error"));
    EXPECT_EQ(fits, exchange("wide/get", "", "wide"));
    const std::string last = "wide/" + std::to_string(bound - 1);
    EXPECT_EQ("0", exchange(last + "/get", "", last));
}

// The setter runs on the delivery thread under the tree lock; the library
// is called for its new topics elsewhere, with neither.
TEST_F(ClientTree, ASetterLeavesTheSubscriptionsOfItsNewTopicsToTheWorker)
{
    MQTT::Config config = client->getConfig();
    config.setLogSubscriptions(true);
    client->setConfig(config);
    startServing();
    struct Call {
        std::thread::id thread;
        bool treeLocked;
    };
    auto calls = std::make_shared<std::vector<Call>>();
    auto callsMutex = std::make_shared<std::mutex>();
    Log::setSink([calls, callsMutex](int, const std::string& line) {
        if (line.find("[MQTT::Client] Subscribing to ") != std::string::npos &&
            line.find("/wide/") != std::string::npos) {
            std::lock_guard<std::mutex> lock(*callsMutex);
            calls->push_back({std::this_thread::get_id(), inSetter > 0});
        }
    });
    clearGranted();
    exchange("wide/set", "[1,2]", "wide");
    // Get and set of each member, each as a command and an RPC of two topics.
    const bool granted = waitGranted(12);
    Log::setSink(Log::Sink());
    ASSERT_TRUE(granted);
    std::lock_guard<std::mutex> lock(*callsMutex);
    EXPECT_EQ(12u, calls->size());
    EXPECT_EQ(0, std::count_if(calls->begin(), calls->end(), [this](const Call& call) {
                  return call.thread == setterThread.load() || call.treeLocked;
              }));
}

TEST_F(ClientTree, ReconnectsWhileTheWorkerQueueIsFull)
{
    startServing();
    std::promise<void> held;
    std::thread holder = holdTheTree([&held] { held.set_value(); });
    held.get_future().wait();
    broker.stop();
    broker.start();
    EXPECT_TRUE(client->waitConnected(15000));
    released.set_value();
    holder.join();
}

TEST_F(ClientTree, ARestartPlannedWhileTheWorkerQueueIsFullHappens)
{
    startServing();
    std::thread holder = holdTheTree([this] {
        MQTT::Config changed = client->getConfig();
        changed.setKeepAlive(changed.getKeepAlive() + 1);
        client->setConfig(changed);
        released.set_value();
    });
    holder.join();
    EXPECT_TRUE(client->waitConnected(15000));
    EXPECT_EQ(1, stops.load());
}

TEST_F(ClientTree, EnablingAMonitorTwiceLeavesOneMonitor)
{
    startServing();
    LogCapture capture;
    peer.publish("tavo/lumacore/watched/monitor", "");
    peer.publish("tavo/lumacore/watched/monitor", R"({"active":true})");
    ASSERT_TRUE(capture.waitFor("[MQTT::Client] Monitor 'watched' already enabled. Disabling", 5000));
    ASSERT_TRUE(capture.waitFor("[MQTT::Client] Activating monitor for 'watched'", 5000));
    changes.emit();
    EXPECT_NE(nullptr, peer.next("tavo/lumacore/watched"));
    EXPECT_EQ(nullptr, peer.next("tavo/lumacore/watched", 500));
}

TEST_F(ClientTree, TheThrottleDropsChangesInsideItsWindow)
{
    startServing();
    EXPECT_EQ(R"({"completed":true,"data":{"active":true,"skipChangesForMs":1000}})",
              exchange("watched/monitor/request/1", R"({"active":true,"skipChangesForMs":1000})",
                       "watched/monitor/response/1"));
    changes.emit();
    EXPECT_EQ(nullptr, peer.next("tavo/lumacore/watched", 500));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    changes.emit();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    changes.emit();
    EXPECT_NE(nullptr, peer.next("tavo/lumacore/watched", 5000));
    EXPECT_EQ(nullptr, peer.next("tavo/lumacore/watched", 500));
}

TEST_F(ClientTree, TopicsFollowTheKeysOfAnObjectValue)
{
    startServing();
    EXPECT_EQ("1", exchange("shape/a/get", "", "shape/a"));
    shapeKey = "b";
    // False: the failing nodes fail again; the topics change all the same.
    EXPECT_FALSE(client->updateLambdaTreeSubscriptions("", true));
    ASSERT_TRUE(waitGranted("tavo/lumacore/shape/b/get"));
    EXPECT_EQ("1", exchange("shape/b/get", "", "shape/b"));
    EXPECT_EQ("", exchange("shape/a/get", "", "shape/a", 500));
}

TEST_F(ClientTree, MountingAnExistingKeyKeepsTheOldNode)
{
    stored = 3;
    startServing();
    LambdaTree::Children other = {{"value", LambdaTree([] { return Result{true, "new"}; })}};
    EXPECT_TRUE(client->subscribeLambdaTree(LambdaTree(other), ""));
    EXPECT_EQ("3", exchange("value/get", "", "value"));
    EXPECT_FALSE(client->publishLambdaTreeNode("missing", MQTT::Retained::Yes, MQTT::QoS::AtMostOnce));
}

TEST_F(ClientTree, StoppingWhileASetterRestartsTheClientDoesNotDeadlock)
{
    LambdaTree::Children config = {{"config", LambdaTree([] { return Result{true, nullptr}; },
                                                         [this](const json&) {
                                                             MQTT::Config changed = client->getConfig();
                                                             changed.setKeepAlive(changed.getKeepAlive() + 1);
                                                             client->setConfig(changed);
                                                             return Result{true, nullptr};
                                                         })}};
    client->subscribeLambdaTree(LambdaTree(config), "");
    // As the board adaptor does when the client stops.
    client->stopping.connect([this] { client->publishLambdaTreeNode("value", MQTT::Retained::Yes, MQTT::QoS::AtMostOnce); });
    startServing();
    EXPECT_EQ("null", exchange("config/set", "{}", "config"));
    client->stop();
    EXPECT_FALSE(client->isRunning());
}

// From another process: while a handler holds the MQTT library's thread,
// which the peer of this process shares, the peer's acknowledgements wait.
void publishFromOutside(int port, const std::string& topic, const std::string& payload)
{
    const std::string port_ = std::to_string(port);
    ASSERT_EQ(0, std::system(("mosquitto_pub -p " + port_ + " -t " + topic + " -m " + payload).c_str()));
}

// The stop waits for a set under way; a set that comes during the stop,
// before the disconnect, is dropped.
TEST_F(ClientTree, StopWaitsForASetUnderWayAndDropsOneThatComesThen)
{
    LogCapture capture;
    startServing();
    std::promise<void> entered, stopCalled;
    std::atomic<bool> setDone{false}, doneWhenEnded{false}, dropped{false};
    whileSetting = [&, called = stopCalled.get_future().share()](const json&) {
        entered.set_value();
        called.wait();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        setDone = true;
    };
    publishFromOutside(broker.port(), "tavo/lumacore/value/set", "1");
    ASSERT_EQ(std::future_status::ready, entered.get_future().wait_for(std::chrono::seconds(10)));
    const ScopedSlot ended(client->handlersEnded, [&] { doneWhenEnded = setDone.load(); });
    const ScopedSlot stopping(client->stopping, [&] {
        peer.publish("tavo/lumacore/value/set", "2");
        dropped = capture.waitFor("[MQTT::Client] Stopping: dropped the message on 'tavo/lumacore/value/set' and "
                                  "drop all that follow.", 5000);
    });
    stopCalled.set_value();
    client->stop();
    EXPECT_TRUE(doneWhenEnded);
    EXPECT_TRUE(dropped);
    EXPECT_EQ(1, stored.load());
}

// A set that moves the root is answered under the root it came in on, since
// the restart it plans waits for its handler. Should the restart begin
// meanwhile, this handler outlasts it, so that the restart's own pause
// before the disconnect cannot let the reply out.
TEST_F(ClientTree, ASetThatMovesTheRootIsAnsweredUnderTheOldRoot)
{
    startServing();
    std::atomic<bool> restarting{false};
    whileSetting = [&](const json&) {
        MQTT::Config moved = client->getConfig();
        moved.setBase("tavo/moved");
        client->setConfig(moved);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (!restarting && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        for (int waited = 0; waited < 5000 && restarting && client->isConnected(); waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
    const ScopedSlot stopping(client->stopping, [&] { restarting = true; });
    publishFromOutside(broker.port(), "tavo/lumacore/value/set", "1");
    const auto reply = peer.next("tavo/lumacore/value", 10000);
    ASSERT_TRUE(reply);
    EXPECT_EQ("1", reply->to_string());
    EXPECT_TRUE(client->waitConnected(10000));
}

// A node's value leaves under the tree lock it was read under: a newer value
// waits until the older one read before it is out, and the broker keeps the
// newer.
TEST_F(ClientTree, ANodesValuesReachTheBrokerInTheOrderTheTreeTookThem)
{
    startServing();
    const auto publishValue = [this] {
        client->publishLambdaTreeNode("value", MQTT::Retained::Yes, MQTT::QoS::AtMostOnce);
    };
    std::promise<void> entered, release;
    client->publishing.arm([&entered, held = release.get_future().share()] {
        entered.set_value();
        held.wait();
    });
    stored = 1;
    std::thread older(publishValue);
    const bool holding = entered.get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    stored = 2;
    auto newer = std::async(std::launch::async, publishValue);
    newer.wait_for(std::chrono::seconds(1));
    release.set_value();
    older.join();
    newer.wait();
    ASSERT_TRUE(holding);
    ASSERT_TRUE(peer.next("tavo/lumacore/value"));
    ASSERT_TRUE(peer.next("tavo/lumacore/value"));
    MqttPeer late(broker.url(), "late-peer");
    late.subscribe("tavo/lumacore/value");
    const auto kept = late.next("tavo/lumacore/value");
    ASSERT_TRUE(kept);
    EXPECT_EQ("2", kept->to_string());
}

// A set that outlasts the bound does not hold the stop up.
TEST_F(ClientTree, StopGoesOnWhenASetOutlastsItsBound)
{
    LogCapture capture;
    startServing();
    std::promise<void> entered, release;
    whileSetting = [&, released = release.get_future().share()](const json&) {
        entered.set_value();
        released.wait();
    };
    publishFromOutside(broker.port(), "tavo/lumacore/value/set", "1");
    ASSERT_EQ(std::future_status::ready, entered.get_future().wait_for(std::chrono::seconds(10)));
    auto stopped = std::async(std::launch::async, [this] { client->stop(); });
    const bool returned = stopped.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    release.set_value();
    EXPECT_TRUE(returned);
    EXPECT_TRUE(capture.contains(LOG_WARNING, "[MQTT::Client] Stopping while 1 received message(s) are still handled."));
}

} // namespace
