#include "tests/messaging/ClientFixture.h"
#include "tests/messaging/SlowBroker.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "foundation/Utils.h"
#include "messaging/TopicText.h"
#include "tests/support/LogCapture.h"

namespace {

using Clock = std::chrono::steady_clock;

class ClientLifecycle : public ClientFixture
{
protected:
    int connections() const { return occurrences(broker.log(), " as " + clientId + " "); }
};

TEST_F(ClientLifecycle, StartTwiceMakesOneConnectionAndReleasesOneWaiter)
{
    EXPECT_FALSE(client->waitConnected(0));
    client->start();
    client->start();
    ASSERT_TRUE(client->waitConnected(10000));
    EXPECT_FALSE(client->waitConnected(500));
    EXPECT_EQ(1, connections());
    EXPECT_EQ(1, starts.load());
}

TEST_F(ClientLifecycle, StopAndRestartWhileStoppedDoNothing)
{
    client->stop();
    client->restart();
    EXPECT_FALSE(client->isRunning());
    EXPECT_EQ(0, starts.load());
    EXPECT_EQ(0, stops.load());
}

// The process stop marks the client while a restart's `stopping` runs: the
// restart ends as a stop, and the stop still ends the handlers' time.
TEST_F(ClientLifecycle, ARestartUnderWayWhenTheProcessStopBeginsStartsNothing)
{
    startConnected();
    std::atomic<bool> inStopping{false};
    std::atomic<int> handlersEnded{0};
    const ScopedSlot held(client->stopping, [&] {
        inStopping = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    });
    const ScopedSlot ended(client->handlersEnded, [&] { ++handlersEnded; });
    std::thread restart([this] { client->restart(); });
    while (!inStopping)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    client->markProcessStop();
    client->stop();
    restart.join();
    EXPECT_FALSE(client->isRunning());
    EXPECT_EQ(1, starts.load());
    EXPECT_EQ(1, handlersEnded.load());
}

TEST_F(ClientLifecycle, EmptyClientIdConnectsAsTheProcessId)
{
    client->setConfig(clientConfig(broker.url(), ""));
    startConnected();
    EXPECT_TRUE(broker.waitForLog(" as " + Utils::getProcessId() + " ", 5000));
}

// Each start serves one root, and registers the will under it: the
// configured base while MQTT can carry every topic built on it, else the
// root the client was built with. The broker's log shows the start of the
// will's topic.
TEST(ClientRoot, TheWillGoesUnderTheRootOfTheConnection)
{
    const std::string longest(MQTT::kMaxBaseOctets, 'b');
    const std::pair<std::string, std::string> rows[] = {{longest, "\t" + std::string(400, 'b')},
                                                        {longest + "b", "\ttavo/lumacore/status"},
                                                        {"tavo/+/x", "\ttavo/lumacore/status"}};
    for (const auto& [base, will] : rows) {
        MosquittoBroker broker;
        MQTT::Client client("tavo/lumacore", "MQTT");
        client.setWill(MQTT::Message("status", "gone", MQTT::Retained::Yes, MQTT::QoS::AtMostOnce));
        client.setConfig(clientConfig(broker.url(), "rooted", base));
        client.start();
        EXPECT_TRUE(broker.waitForLog(will, 10000)) << base.size();
    }
}

TEST_F(ClientLifecycle, StoppingComesAtLeast200MsBeforeTheDisconnect)
{
    startConnected();
    std::atomic<Clock::rep> stoppingAt{0}, disconnectedAt{0};
    const ScopedSlot stopping(client->stopping, [&] { stoppingAt = Clock::now().time_since_epoch().count(); });
    const ScopedSlot disconnected(client->disconnected,
                                  [&] { disconnectedAt = Clock::now().time_since_epoch().count(); });
    client->stop();
    ASSERT_TRUE(broker.waitForLog("Received DISCONNECT from " + clientId, 5000));
    ASSERT_NE(0, disconnectedAt.load());
    EXPECT_GE(Clock::duration(disconnectedAt - stoppingAt), std::chrono::milliseconds(200));
    EXPECT_FALSE(client->isRunning());
}

TEST_F(ClientLifecycle, PublishMapsQosAndRetainFlagAndAlwaysSucceeds)
{
    struct Case {
        MQTT::QoS qos;
        MQTT::Retained retained;
        const char* sent;
    };
    const Case cases[] = {
        {MQTT::QoS::AtMostOnce, MQTT::Retained::Yes, "q0, r1"},
        {MQTT::QoS::AtLeastOnce, MQTT::Retained::No, "q1, r0"},
        {MQTT::QoS::ExactlyOnce, MQTT::Retained::No, "q2, r0"},
        {static_cast<MQTT::QoS>(7), MQTT::Retained::No, "q0, r0"},
    };
    EXPECT_TRUE(client->publish(MQTT::Message("offline", "{}", MQTT::Retained::No, MQTT::QoS::AtMostOnce), true));
    startConnected();
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::string topic = "case" + std::to_string(i);
        EXPECT_TRUE(client->publish(MQTT::Message(topic, "{}", cases[i].retained, cases[i].qos), true));
        ASSERT_TRUE(broker.waitForLog("'tavo/lumacore/" + topic + "'", 5000)) << topic;
        EXPECT_NE(std::string::npos, publishedLine("tavo/lumacore/" + topic).find(cases[i].sent)) << topic;
    }
}

TEST_F(ClientLifecycle, ReconnectsEveryTwoSecondsUntilTheBrokerReturns)
{
    startConnected();
    LogCapture capture;
    broker.stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(5000));
    int failures = 0;
    for (const auto& text : capture.texts())
        failures += text.rfind("[MQTT::Client] Connection failed (reason=", 0) == 0 ? 1 : 0;
    // Attempts at about 2 s and 4 s after the loss.
    EXPECT_GE(failures, 1);
    EXPECT_LE(failures, 3);
    broker.start();
    EXPECT_TRUE(client->waitConnected(20000));
}

// The library's reports, as a broker that refused them would cause: more
// than the worker's queue holds, every one retried.
TEST_F(ClientLifecycle, EveryRefusedSubscriptionIsRetried)
{
    startConnected();
    const size_t refused = MQTT::Client::kMaxWorkerJobs + 100;
    for (size_t i = 0; i < refused; ++i)
        client->onSubscribeFailed("retried/" + std::to_string(i));
    EXPECT_TRUE(waitGranted(refused));
}

// Unsubscribed as the library would report a broker's refusal: the retry
// unsubscribes again, and the topic is never subscribed anew.
TEST_F(ClientLifecycle, ARefusedUnsubscriptionIsRetriedAsAnUnsubscription)
{
    startConnected();
    const std::string topic = "tavo/lumacore/gone";
    const std::string unsubscribed = "Received UNSUBSCRIBE from " + clientId;
    ASSERT_TRUE(client->subscribeCommand("gone", [](const MQTT::Message&) {}, true));
    ASSERT_TRUE(waitGranted(topic));
    ASSERT_TRUE(client->unsubscribeCommand("gone", true));
    ASSERT_TRUE(broker.waitForLog(unsubscribed, 5000));
    client->onUnsubscribeFailed(topic);
    for (int waited = 0; waited < 10000 && occurrences(broker.log(), unsubscribed) < 2; waited += 50)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(2, occurrences(broker.log(), unsubscribed)) << broker.log();
    const std::string log = broker.log();
    EXPECT_EQ(std::string::npos, log.find(clientId + " 0 " + topic, log.find(unsubscribed))) << log;
}

TEST_F(ClientLifecycle, StopDuringTheBackOffStaysStopped)
{
    startConnected();
    LogCapture capture;
    broker.stop();
    ASSERT_TRUE(capture.waitFor("[MQTT::Client] Disconnected from broker.", 10000));
    client->stop();
    broker.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(4500));
    EXPECT_FALSE(client->isConnected());
    EXPECT_EQ(1, connections());
}

TEST_F(ClientLifecycle, AConnectionThatComesUpAfterTheStopIsEnded)
{
    SlowBroker slow;
    client->setConfig(clientConfig(slow.url(), clientId));
    client->start();
    ASSERT_TRUE(slow.accept(10000));
    ASSERT_EQ(0x10, slow.nextPacket(5000));
    client->stop();
    ASSERT_TRUE(slow.acceptSession());
    int packet = slow.nextPacket(10000);
    // Keep-alive pings may come first.
    while (packet == 0xc0)
        packet = slow.nextPacket(10000);
    EXPECT_EQ(0xe0, packet);
}

// The broker must read the disconnect, so a stop first waits for the answer
// to a subscription under way: 500 ms when none comes, after its 200 ms
// pause, and the stop still ends within its own bound.
TEST_F(ClientLifecycle, AStopAwaitsTheAnswerToASubscriptionUnderWayForItsBound)
{
    const long settleBoundMs = 500;
    SlowBroker slow;
    ASSERT_TRUE(client->subscribeCommand("held", [](const MQTT::Message&) {}, true));
    client->setConfig(clientConfig(slow.url(), clientId));
    client->start();
    ASSERT_TRUE(slow.acceptConnected(10000));
    ASSERT_EQ(0x82, slow.nextPacket(10000));
    const auto begun = Clock::now();
    client->stop();
    const long took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begun).count();
    EXPECT_GE(took, MQTT::Client::kStopDelayMs + settleBoundMs);
    EXPECT_LT(took, MQTT::Client::kHandlerWaitMs + MQTT::Client::kStopDelayMs + MQTT::Client::kSettleWaitMs +
                        MQTT::Client::kDisconnectWaitMs);
}

TEST_F(ClientLifecycle, SetConfigWhileStoppedOnlyCopiesTheSettings)
{
    client->setConfig(clientConfig("127.0.0.1:1", clientId));
    EXPECT_EQ("127.0.0.1:1", client->getConfig().getUrl());
    EXPECT_FALSE(client->isRunning());
    EXPECT_EQ(0, starts.load());
}

TEST_F(ClientLifecycle, SetConfigWithAnEqualConfigurationDoesNotRestart)
{
    startConnected();
    EXPECT_TRUE(client->setConfig(client->getConfig()));
    EXPECT_EQ(0, stops.load());
    EXPECT_EQ(1, connections());
}

TEST_F(ClientLifecycle, SetConfigWithAnotherBrokerReconnectsThere)
{
    startConnected();
    MosquittoBroker other;
    const auto before = Clock::now();
    EXPECT_TRUE(client->setConfig(clientConfig(other.url(), clientId)));
    ASSERT_TRUE(client->waitConnected(25000));
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(25));
    EXPECT_TRUE(other.waitForLog(" as " + clientId + " ", 5000));
    EXPECT_EQ(1, stops.load());
    EXPECT_EQ(2, starts.load());
}

// Held as the daemon holds its client: in a global, stopped by the signal
// path, released at exit.
std::shared_ptr<MQTT::Client> gClient;

[[noreturn]] void runUntilSigterm(const std::string& url, const std::string& clientId)
{
    sigset_t terminate;
    sigemptyset(&terminate);
    sigaddset(&terminate, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &terminate, nullptr);
    gClient = std::make_shared<MQTT::Client>("tavo/lumacore", "MQTT");
    gClient->setConfig(clientConfig(url, clientId));
    gClient->start();
    if (!gClient->waitConnected(10000))
        std::exit(2);
    kill(getpid(), SIGTERM);
    int caught = 0;
    sigwait(&terminate, &caught);
    gClient->stop();
    std::exit(0);
}

TEST(ClientExit, AConnectedClientEndedBySigtermExitsWithZero)
{
    MosquittoBroker broker;
    for (int i = 0; i < 20; ++i)
        EXPECT_EXIT(runUntilSigterm(broker.url(), "child" + std::to_string(i)), ::testing::ExitedWithCode(0), "");
}

} // namespace
