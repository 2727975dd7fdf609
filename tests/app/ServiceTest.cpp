// The TCP command service's life cycle, request reading and tokenising,
// clients and event lines, over real sockets.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <regex>
#include <stdexcept>

#include "ServiceFixture.h"
#include "foundation/JsonSetting.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST_F(ServiceTest, TokensAndCommandWords)
{
    const std::pair<std::string, const char*> cases[] = {
        {"getFWVer", "ok,1.2.3"},
        {"getFWVer\r", "ok,1.2.3"},
        {"getF\r\r\rWVer", "ok,1.2.3"},
        {"getFWVer," + std::string(TCPClient::MAX_LINE - 9, 'x'), "ok,1.2.3"}, // the longest line
        {"getFWVer,extra,,", "ok,1.2.3"},
        {",getFWVer", "ok,1.2.3"},      // one leading comma adds nothing
        {",,getFWVer", "error,3,The requested API ID is invalid, or not supported"},
        {"get\\FWVer\\", "ok,1.2.3"},  // escapes and a trailing backslash
        {"get\\,FWVer", "error,3,The requested API ID is invalid, or not supported"},
        {"\\", "error,2,Malformed packet received"},
        {" getFWVer", "error,3,The requested API ID is invalid, or not supported"},
        {"getfwver", "error,3,The requested API ID is invalid, or not supported"},
        {"get%s%n", "error,3,The requested API ID is invalid, or not supported"},
        {"getFWVer," + std::string(TCPClient::MAX_LINE - 8, 'x'), "(none)"}, // too long: the client is cut off
    };
    startService();
    for (const auto& c : cases)
        EXPECT_EQ(request(c.first), c.second) << c.first.substr(0, 40);
    EXPECT_TRUE(capture.contains("[TCP::Server] Request: \"get%s%n\""));
    EXPECT_TRUE(capture.contains("[TCP::Server] Response: \"ok,1.2.3\""));
}

TEST_F(ServiceTest, EmptyLinesGetNoReply)
{
    startService();
    client.print("\n\r\n");
    EXPECT_EQ(request("getFWVer"), "ok,1.2.3");
}

TEST_F(ServiceTest, ARequestCutByAPauseLosesItsFirstPart)
{
    startService();
    client.print("getF");
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(request("WVer"), "error,3,The requested API ID is invalid, or not supported");
    EXPECT_EQ(request("getFWVer"), "ok,1.2.3");
}

TEST_F(ServiceTest, ANewClientReplacesTheOld)
{
    startService();
    TCPClient second;
    connect(second);
    EXPECT_EQ(line(client), "(none)");
    EXPECT_FALSE(client.connected());
    second.println("getFWVer");
    EXPECT_EQ(line(second), "ok,1.2.3");
    EXPECT_TRUE(capture.contains("[TCP::Server] Disconnecting TCP client due to new client"));
    second.close();
}

TEST_F(ServiceTest, EventsBecomeLinesWithAndWithoutValue)
{
    startService();
    board.sendIndication(1, 5, {1});
    board.sendIndication(1, 3);
    const std::string stamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)";
    EXPECT_TRUE(std::regex_match(line(client), std::regex("event,3,PowerButtonPressed," + stamp + ",1")));
    EXPECT_TRUE(std::regex_match(line(client), std::regex("event,1,SystemOff," + stamp)));
}

// An idle client gets each event line at once, not when the loop's wait for
// a request times out: events come at several points of that wait.
TEST_F(ServiceTest, EventLinesDoNotWaitForTheReadTimeOut)
{
    startService();
    Clock::duration slowest{};
    for (uint8_t value = 0; value < 5; ++value) {
        const auto sent = Clock::now();
        board.sendIndication(7, 2, {1, value});
        const std::string text = line(client);
        slowest = std::max(slowest, Clock::now() - sent);
        EXPECT_EQ(text.substr(text.size() - 4), ",1," + std::to_string(value)) << text;
        settle(37);
    }
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count(),
              tavo::Board::TCP::Service::READ_TIMEOUT_MS / 3);
}

TEST_F(ServiceTest, AFailedAcceptListensAgain)
{
    startService();
    client.close();
    const int raw = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // The sanitizer's type check needs a descriptor the first time it sees
    // a runtime_error used as an exception; let it see one now.
    try {
        throw std::runtime_error("warm-up");
    } catch (const std::exception& warmUp) {
        EXPECT_STREQ(warmUp.what(), "warm-up");
    }
    // With no descriptor left, the service can neither accept nor listen.
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit none = saved;
    none.rlim_cur = 2; // poll still takes the listener and the wake-up
    setrlimit(RLIMIT_NOFILE, &none);
    ::connect(raw, reinterpret_cast<sockaddr*>(&to), sizeof to);
    const bool failed = capture.waitFor(
        std::string("[TCP::Server] Accepting a TCP client failed: ") + std::strerror(EMFILE), 3000);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    setrlimit(RLIMIT_NOFILE, &saved);
    ::close(raw);
    ASSERT_TRUE(failed);
    EXPECT_TRUE(waitUntil([this] {
        TCPClient again;
        try {
            again.connect("127.0.0.1", port);
        } catch (const std::runtime_error&) {
            return false;
        }
        again.close();
        return true;
    }, 3000));
}

// A client accepted as the stop begins is closed ungreeted, and the stop
// does not wait for its first line.
TEST_F(ServiceTest, AClientAcceptedAsTheStopBeginsIsClosedUngreeted)
{
    open();
    port = freePort();
    makeService(port);
    std::promise<void> accepted, stopBegun;
    service->stopBegun.arm([&stopBegun] { stopBegun.set_value(); });
    service->clientAccepted.arm([&accepted, begun = stopBegun.get_future().share()] {
        accepted.set_value();
        begun.wait_for(std::chrono::seconds(10));
    });
    service->start();
    TCPClient late;
    late.setReadTimeout(5000);
    late.connect("127.0.0.1", port);
    const bool held = accepted.get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    service->stop();
    ASSERT_TRUE(held);
    EXPECT_EQ(line(late), "(none)");
}

// A restart costs what closing and opening the listener costs, not the wait
// for a client: ten, each while the loop waits for one, take less than one
// accept poll in all, and the wake-up that ended each wait ends none after
// its restart, so clients are served.
TEST_F(ServiceTest, ResetsDoNotWaitForTheAcceptPoll)
{
    open();
    port = freePort();
    makeService(port);
    service->start();
    Clock::duration spent{};
    for (int reset = 0; reset < 10; ++reset) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const auto begun = Clock::now();
        service->reset();
        spent += Clock::now() - begun;
    }
    EXPECT_LT(spent, std::chrono::milliseconds(tavo::Board::TCP::Service::ACCEPT_TIMEOUT_MS));
    connect(client);
    EXPECT_EQ(request("getFWVer"), "ok,1.2.3");
}

TEST_F(ServiceTest, ConfigSetMovesARunningServiceToAnotherPort)
{
    open();
    makeService(1414);
    const unsigned short first = freePort();
    service->configSet({{"port", first}});
    EXPECT_FALSE(capture.contains("[TCP::Server] Resetting..."));
    service->start();
    connect(client, first);

    const unsigned short second = freePort();
    service->configSet({{"port", std::to_string(second)}});
    EXPECT_TRUE(capture.contains("[TCP::Server] Resetting..."));
    EXPECT_TRUE(capture.contains("[TCP::Server] Resetted"));
    EXPECT_EQ(line(client), "(none)");
    TCPClient moved;
    connect(moved, second);
    moved.close();
    EXPECT_EQ(service->configGet(), (nlohmann::json{{"address", "127.0.0.1"}, {"port", std::to_string(second)}}));
}

TEST_F(ServiceTest, TheCommandLinePortWinsUnlessItIsTheDefault)
{
    open();
    port = freePort();
    makeService(port);
    service->configSet({{"port", 1}});
    service->start();
    connect(client);
}

TEST_F(ServiceTest, GlobalListensOnEveryAddressWhateverTheSetting)
{
    open();
    for (const bool global : {false, true}) {
        port = freePort();
        makeService(port, global);
        service->configSet({{"address", "127.0.0.2"}});
        service->start();
        TCPClient probe;
        try {
            probe.connect("127.0.0.1", port);
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(probe.connected(), global);
        probe.close();
        service->stop();
    }
}

TEST_F(ServiceTest, APortSettingThatIsNoPortNumberLeavesTheServiceAsItWas)
{
    open();
    makeService(1414);
    const unsigned short first = freePort();
    service->configSet({{"port", first}});
    service->start();
    const nlohmann::json before = service->configGet();
    EXPECT_EQ(service->configPreview({{"port", 70000}}), before);
    EXPECT_THROW(service->configSet({{"port", 70000}}), SettingError);
    EXPECT_FALSE(capture.contains("[TCP::Server] Resetting..."));
    EXPECT_EQ(service->configGet(), before);
    connect(client, first);
}

TEST_F(ServiceTest, APortInUseLeavesTheServiceStopped)
{
    open();
    TCPServer taken;
    taken.listen(0, "127.0.0.1");
    makeService(taken.port());
    try {
        service->start();
        ADD_FAILURE() << "start did not throw";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), std::strerror(EADDRINUSE));
    }
    capture.clear();
    service->stop();
    EXPECT_EQ(capture.texts(), std::vector<std::string>{"[TCP::Server] Stopped"});
    taken.close();
}

} // namespace
