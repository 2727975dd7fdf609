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
// serial reader thread would. After a stall of this process (a loaded host)
// the flow goes on at its pace instead of making up for the lines it missed
// in a burst, which would overflow the service's queue in a moment.
struct EventFlow {
    explicit EventFlow(tavo::Board::TCP::Service& service)
        : thread([this, &service] {
              for (auto due = Clock::now(); !stop; ++count) {
                  service.onEvent(LPCEvent(LPCEvent::PowerButtonPressed, "PowerButtonPressed", std::to_string(count)));
                  due = std::max(due + milliseconds(1), Clock::now());
                  std::this_thread::sleep_until(due);
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
    // Starts the service and, instead of `client`, connects a socket with
    // the buffer option (SO_RCVBUF or SO_SNDBUF) set to octets, which then
    // holds the size the system applied; -1 when it is not greeted.
    int startWithRawClient(int option, int& octets)
    {
        startService();
        client.close();
        const int raw = socket(AF_INET, SOCK_STREAM, 0);
        socklen_t size = sizeof octets;
        setsockopt(raw, SOL_SOCKET, option, &octets, size);
        getsockopt(raw, SOL_SOCKET, option, &octets, &size);
        sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        if (::connect(raw, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0
            || !capture.waitFor("[TCP::Server] Printing hello.", 3000)) {
            ::close(raw);
            return -1;
        }
        return raw;
    }

    bool dropped() const
    {
        const auto texts = capture.texts();
        return std::any_of(texts.begin(), texts.end(), [](const std::string& text) {
            return text.rfind("[TCP::Server] Disconnecting TCP client: ", 0) == 0;
        });
    }

    // A client dripping a line (an octet every 250 ms) or an upload (one a
    // second, under its 2 s read time-out) is replaced by a new client
    // within 2.5 s or 5 s; the abandoned upload reaches nothing, and its
    // hold on the event lines does not pass to the new client.
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
        service->onEvent(LPCEvent(LPCEvent::PowerButtonPressed, "PowerButtonPressed", "fresh"));
        EXPECT_TRUE(std::regex_match(line(second), std::regex("event,3,PowerButtonPressed,.*,fresh")));
        second.println("getFWVer");
        EXPECT_EQ(line(second), "ok,1.2.3");
        second.close();
        EXPECT_TRUE(boardState([](SimDeviceState& s) { return !s.bitmapUpload.active; }));
    }

    // How long act takes, in milliseconds, while event lines of 8 KiB that an
    // upload held drain to a client that reads slowly: every 400 ms, well
    // within a line's write time-out, it takes at most what the kernel can
    // hold between both ends (twice the service's SO_SNDBUF and twice its own
    // SO_RCVBUF, as Linux counts them). So each line goes out in time, yet
    // 1,024 lines take at least 20 s, however fast the host: a writer that
    // held the lock through a batch of lines would hold act that long, one
    // that holds it for a line at most for the line's write time-out.
    long long amidASlowDrain(const std::function<void()>& act)
    {
        constexpr int kReceiveBuffer = 16 * 1024;
        constexpr int kBurst = 2 * tavo::Board::TCP::Service::SEND_BUFFER + 2 * kReceiveBuffer;
        client.setReceiveBuffer(kReceiveBuffer);
        startService();
        client.print("screenStoreBitmapBuffer,1,8,1,2\r\n");
        EXPECT_EQ(client.read(), '>');
        const std::string value(8 * 1024, 'v');
        for (int i = 0; i < 2000; ++i)
            service->onEvent(LPCEvent(LPCEvent::PowerButtonPressed, "PowerButtonPressed", value));
        client.print("AB");
        EXPECT_EQ(line(client), "ok");
        client.setReadTimeout(100);
        std::atomic<bool> done{false};
        std::thread reader([this, &done] {
            unsigned char chunk[16 * 1024];
            while (!done && client.connected()) {
                std::this_thread::sleep_for(milliseconds(400));
                for (int got = 0, n = 0;
                     got < kBurst && (n = client.readSome(chunk, std::min<int>(sizeof chunk, kBurst - got))) > 0;)
                    got += n;
            }
        });
        std::this_thread::sleep_for(milliseconds(1500));
        const auto start = Clock::now();
        act();
        const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
        done = true;
        reader.join();
        return took;
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

// An upload that takes 1.6 s amid 1,000 event lines a second holds more
// lines than the normal bound; they follow its reply and drain under the
// larger bound while new ones come: no drop, every line in order.
TEST_F(ServiceClientsTest, EventLinesHeldByALongUploadDrainAfterItsReply)
{
    startService();
    client.print("screenStoreBitmapBuffer,1,8,8,8\r\n");
    ASSERT_EQ(client.read(), '>');
    EventFlow flow(*service);
    for (const char octet : std::string("12345678")) {
        std::this_thread::sleep_for(milliseconds(200));
        client.write((unsigned char)octet);
    }
    EXPECT_EQ(line(client), "ok");
    std::this_thread::sleep_for(milliseconds(500));
    const size_t emitted = flow.finish();
    size_t next = 0;
    for (std::string text; next < emitted && (text = line(client)).rfind("event,3,", 0) == 0; ++next)
        EXPECT_EQ(text.substr(text.rfind(',') + 1), std::to_string(next));
    EXPECT_EQ(next, emitted);
    EXPECT_FALSE(dropped());
}

// A stop, or a new client (once the upload's read time-out passed), waits
// for at most the one line being written to a client that reads slowly.
TEST_F(ServiceClientsTest, AStopWaitsForOneLineOfASlowReader)
{
    EXPECT_LT(amidASlowDrain([this] { service->stop(); }), 2500);
}

TEST_F(ServiceClientsTest, ANewClientWaitsForOneLineOfASlowReader)
{
    TCPClient second;
    EXPECT_LT(amidASlowDrain([&] { connect(second); }), 5000);
    second.close();
}

// A reply that waited for the lock while the writer was in a line wakes the
// writer again: a burst that ended meanwhile, with nothing after it, reaches
// the client whole. The burst is larger than the socket buffers (the
// client's set small), so the writer is in a line when the reply comes.
TEST_F(ServiceClientsTest, TheEndOfABurstFollowsAReplyThatWaitedForTheWriter)
{
    client.setReceiveBuffer(8 * 1024);
    startService();
    for (int i = 0; i < 1000; ++i)
        service->onEvent(LPCEvent(LPCEvent::PowerButtonPressed, "PowerButtonPressed", std::string(300, 'v')));
    std::this_thread::sleep_for(milliseconds(100));
    client.println("getFWVer");
    std::this_thread::sleep_for(milliseconds(100));
    size_t events = 0, replies = 0;
    for (std::string text; events + replies < 1001 && (text = line(client)) != "(none)";)
        (text == "ok,1.2.3" ? replies : events) += 1;
    EXPECT_EQ(replies, 1u);
    EXPECT_EQ(events, 1000u);
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
    int buffer = 4096;
    const int raw = startWithRawClient(SO_RCVBUF, buffer);
    ASSERT_NE(raw, -1);
    // The deadline only ends a failing test; the drop comes by octets.
    size_t heartbeats = 0, answered = 0;
    for (const auto deadline = Clock::now() + std::chrono::seconds(90); !dropped() && Clock::now() < deadline;) {
        for (int i = 0; i < 50; ++i)
            board.sendIndication(1, 5, {1});
        const auto before = Clock::now();
        const bool ok = manager->heartbeatSend() == tavo::Board::ErrorCode::Ok;
        answered += ok && Clock::now() - before < std::chrono::seconds(2) ? 1 : 0;
        ++heartbeats;
    }
    ASSERT_TRUE(dropped());
    // A starved host may make a reply miss its time-out now and then.
    EXPECT_GE(answered * 4, heartbeats * 3) << answered << " of " << heartbeats;
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

// A client that sends nothing but carriage returns is cut off once its
// pending line, every octet counted, passes the line bound: past the socket
// buffers it gets at most two lines and one read to the service, which then
// holds none of it; the next client is served.
TEST_F(ServiceClientsTest, AClientThatSendsOnlyCarriageReturnsIsCutOff)
{
    int buffer = 64 * 1024;
    const int raw = startWithRawClient(SO_SNDBUF, buffer);
    ASSERT_NE(raw, -1);
    const timeval wait{10, 0};
    setsockopt(raw, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    const std::string block(1 << 20, '\r');
    size_t sent = 0;
    ssize_t got = 0;
    while (sent < (64u << 20) && (got = send(raw, block.data(), block.size(), MSG_NOSIGNAL)) > 0)
        sent += size_t(got);
    const int error = errno;
    ::close(raw);
    EXPECT_TRUE(got < 0 && (error == ECONNRESET || error == EPIPE)) << sent << " octets sent";
    const size_t bound = 2 * TCPClient::MAX_LINE + 16 * 1024;
    EXPECT_LE(sent, bound + 2 * size_t(tavo::Board::TCP::Service::RECEIVE_BUFFER) + size_t(buffer));
    ASSERT_TRUE(capture.waitFor("[TCP::Server] Disconnecting TCP client: its line is too long", 3000));
    EXPECT_LE(service->inboxCapacity(), 256u); // given back, not only emptied
    connect(client);
    EXPECT_EQ(request("getFWVer"), "ok,1.2.3");
}

// The event writer that drops a client only shuts its socket down: the
// descriptor stays the loop's to close, so descriptors opened after the drop
// (one may get its number) are never read from nor written to. The lines
// come in a burst that ends before the drop, one line's write time-out after
// the client's buffers are full.
TEST_F(ServiceClientsTest, DescriptorsOpenedAfterADropAreLeftAlone)
{
    int buffer = 4096;
    const int raw = startWithRawClient(SO_RCVBUF, buffer);
    ASSERT_NE(raw, -1);
    for (int i = 0; i < 6000; ++i) {
        service->onEvent(LPCEvent(LPCEvent::PowerButtonPressed, "PowerButtonPressed", std::to_string(i)));
        if (i % 10 == 0)
            std::this_thread::sleep_for(milliseconds(1));
    }
    ASSERT_TRUE(waitUntil([this] { return dropped(); }, 10000));
    std::this_thread::sleep_for(milliseconds(100));
    const std::string request = "getFWVer\r\n";
    int pairs[3][2];
    for (auto& pair : pairs) {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        for (const int end : pair)
            ASSERT_EQ(send(end, request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
    }
    std::this_thread::sleep_for(milliseconds(1000));
    for (auto& pair : pairs) {
        for (const int end : pair) {
            char held[64];
            EXPECT_EQ(std::string(held, size_t(std::max<ssize_t>(0, recv(end, held, sizeof held, MSG_DONTWAIT)))),
                      request);
            ::close(end);
        }
    }
    ::close(raw);
}

} // namespace
