// The TCP command service with slow, stalled and busy clients over real
// sockets: clients that drip octets, send requests in parts amid event
// lines, wait for replies amid event lines, or never read.

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <regex>

#include "Dripper.h"
#include "ServiceFixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Numbered event lines at 1,000 a second, handed to the service as the
// serial reader thread would.
struct EventFlow {
    explicit EventFlow(tavo::Board::TCP::Service& service)
        : thread([this, &service] {
              for (const auto start = Clock::now(); !stop; ++count) {
                  service.onEvent(LPCEvent(LPCEvent::PowerButtonPressed, "PowerButtonPressed", std::to_string(count)));
                  std::this_thread::sleep_until(start + milliseconds(count + 1));
              }
          })
    {
    }
    ~EventFlow() { finish(); }
    size_t finish()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
        return count;
    }

    std::atomic<bool> stop{false};
    std::atomic<size_t> count{0};
    std::thread thread;
};

class ServiceClientsTest : public ServiceTest {
protected:
    bool dropped() const
    {
        const auto texts = capture.texts();
        return std::any_of(texts.begin(), texts.end(), [](const std::string& text) {
            return text.rfind("[TCP::Server] Disconnecting TCP client: ", 0) == 0;
        });
    }

    // A client dripping a line (an octet every 250 ms) or an upload (one a
    // second, under its 2 s read time-out) is replaced by a new client
    // within 2.5 s or 5 s; the abandoned upload reaches nothing.
    void replaceADripper(bool upload)
    {
        startService();
        client.print(upload ? "screenStoreBitmapBuffer,1,8,8,16000000\r\n" : "getF");
        ASSERT_TRUE(!upload || client.read() == '>');
        TCPClient second;
        {
            Dripper drip(client, milliseconds(upload ? 1000 : 250));
            std::this_thread::sleep_for(milliseconds(1500));
            const auto start = Clock::now();
            connect(second);
            EXPECT_LT(Clock::now() - start, milliseconds(upload ? 5000 : 2500));
        }
        EXPECT_EQ(line(client), "(none)");
        second.println("getFWVer");
        EXPECT_EQ(line(second), "ok,1.2.3");
        second.close();
        EXPECT_TRUE(boardState([](SimDeviceState& s) { return !s.bitmapUpload.active; }));
    }

    // Requests split by pauses of 50 to 150 ms amid 1,000 event lines a
    // second: never dropped, every reply and every event line in order, and
    // lines made during a pause arrive in it (no writer waits for the rest
    // of a request; beyond 20 ms they cannot have slipped out before it).
    // A pause that this process itself stretched past 250 ms (a loaded host)
    // may split its request, so that one may be answered as unknown.
    void splitRequestsAmidEvents(int seconds)
    {
        startService();
        client.setReadTimeout(20);
        client.setNoDelay(true); // the second part must not wait for an acknowledgement
        size_t next = 0, replies = 0, requests = 0, fresh = 0, freshDue = 0, freshFrom = SIZE_MAX;
        size_t unknown = 0, stretched = 0;
        std::string text;
        const auto readUntil = [&](Clock::time_point until, const std::function<bool()>& done) {
            while (!done() && Clock::now() < until && client.connected()) {
                if (!client.getline(text))
                    continue;
                if (text == "ok,1.2.3" || text.rfind("error,3,", 0) == 0) {
                    ++replies;
                    unknown += text[0] == 'e' ? 1 : 0;
                } else {
                    EXPECT_EQ(text.substr(0, 8) + text.substr(text.rfind(',') + 1), "event,3," + std::to_string(next));
                    fresh += next++ >= freshFrom ? 1 : 0;
                }
                text.clear();
            }
        };
        EventFlow flow(*service);
        for (const auto end = Clock::now() + std::chrono::seconds(seconds); Clock::now() < end && client.connected();) {
            const int pauseMs = 50 + 50 * int(requests++ % 3);
            const auto sent = Clock::now();
            client.print("getF");
            freshFrom = flow.count + 20;
            readUntil(sent + milliseconds(pauseMs), [] { return false; });
            freshFrom = SIZE_MAX;
            freshDue += size_t(pauseMs) - 20;
            stretched += Clock::now() - sent > milliseconds(250) ? 1 : 0;
            client.print("WVer\r\n");
            readUntil(Clock::now() + milliseconds(3000), [&] { return replies == requests; });
        }
        const size_t emitted = flow.finish();
        readUntil(Clock::now() + milliseconds(5000), [&] { return next == emitted; });
        EXPECT_FALSE(dropped());
        EXPECT_EQ(replies, requests);
        EXPECT_LE(unknown, stretched);
        EXPECT_EQ(next, emitted);
        EXPECT_GT(fresh, freshDue / 4); // a generous floor; a held writer gives next to none
    }
};

using ServiceClientsSlowTest = ServiceClientsTest;

TEST_F(ServiceClientsTest, ANewClientReplacesOneThatDripsALine)
{
    replaceADripper(false);
}

TEST_F(ServiceClientsTest, ANewClientReplacesOneThatDripsAnUpload)
{
    replaceADripper(true);
}

TEST_F(ServiceClientsTest, SplitRequestsAmidEventsForTwoSeconds)
{
    splitRequestsAmidEvents(2);
}

TEST_F(ServiceClientsSlowTest, SplitRequestsAmidEventsForTenSeconds)
{
    splitRequestsAmidEvents(10);
}

// Event lines made between the ">" prompt and the end of the upload follow
// its reply, so that the prompt and the reply stay one line.
TEST_F(ServiceClientsTest, EventLinesWaitForTheReplyToAnUpload)
{
    startService();
    client.print("screenStoreBitmapBuffer,1,8,1,2\r\n");
    ASSERT_EQ(client.read(), '>');
    service->onEvent(LPCEvent(LPCEvent::PowerButtonPressed, "PowerButtonPressed", "held"));
    std::this_thread::sleep_for(milliseconds(100));
    client.print("AB");
    EXPECT_EQ(line(client), "ok");
    EXPECT_TRUE(std::regex_match(line(client), std::regex("event,3,PowerButtonPressed,.*,held")));
}

// Amid event lines a reply must not wait for the client's delayed
// acknowledgement (at least 40 ms): TCP_NODELAY.
TEST_F(ServiceClientsTest, RepliesAmidEventLinesDoNotWaitForAcknowledgements)
{
    startService();
    EventFlow flow(*service);
    std::vector<Clock::duration> roundTrips;
    for (int i = 0; i < 50 && client.connected(); ++i) {
        const auto sent = Clock::now();
        client.println("heartbeat");
        for (std::string text = line(client); text != "ok" && text != "(none)"; text = line(client))
            EXPECT_EQ(text.rfind("event,", 0), 0u) << text;
        roundTrips.push_back(Clock::now() - sent);
    }
    ASSERT_EQ(roundTrips.size(), 50u);
    std::nth_element(roundTrips.begin(), roundTrips.begin() + 25, roundTrips.end());
    EXPECT_LT(roundTrips[25], milliseconds(20));
}

// A client that never reads is dropped once the kernel holds a bounded
// number of octets for it, whatever the host's tuning: at most twice the
// service's SO_SNDBUF (as Linux counts it), its own receive buffer and a line.
TEST_F(ServiceClientsTest, AClientThatNeverReadsIsDroppedAfterABoundedNumberOfOctets)
{
    startService();
    client.close();
    const int raw = socket(AF_INET, SOCK_STREAM, 0);
    int buffer = 4096;
    socklen_t size = sizeof buffer;
    setsockopt(raw, SOL_SOCKET, SO_RCVBUF, &buffer, size);
    getsockopt(raw, SOL_SOCKET, SO_RCVBUF, &buffer, &size);
    sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(::connect(raw, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    ASSERT_TRUE(capture.waitFor("[TCP::Server] Printing hello.", 3000));
    // The deadline only ends a failing test; the drop comes by octets.
    for (const auto deadline = Clock::now() + std::chrono::seconds(90); !dropped() && Clock::now() < deadline;) {
        for (int i = 0; i < 50; ++i)
            board.sendIndication(1, 5, {1});
        const auto before = Clock::now();
        EXPECT_EQ(manager->heartbeatSend(), tavo::Board::ErrorCode::Ok);
        EXPECT_LT(Clock::now() - before, std::chrono::seconds(2));
    }
    ASSERT_TRUE(dropped());
    // What the service handed to the kernel arrives, then the end.
    const timeval wait{10, 0};
    setsockopt(raw, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    size_t octets = 0;
    char chunk[65536];
    for (ssize_t got; (got = recv(raw, chunk, sizeof chunk, 0)) > 0;)
        octets += size_t(got);
    ::close(raw);
    EXPECT_GT(octets, size_t(buffer));
    EXPECT_LE(octets, 2 * size_t(tavo::Board::TCP::Service::SEND_BUFFER) + size_t(buffer)
                          + std::string("event,3,PowerButtonPressed,2024-11-11T12:12:16,1\r\n").size());
}

} // namespace
