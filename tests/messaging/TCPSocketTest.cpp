// The TCP client and server over real loopback sockets: a server on a port
// the system picks, a client connected to it and the accepted peer.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <pthread.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "messaging/TCPClient.h"
#include "messaging/TCPServer.h"

namespace {

using Clock = std::chrono::steady_clock;

size_t openDescriptors()
{
    size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count;
}

long long msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string thrownText(const std::function<void()>& action)
{
    try {
        action();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "(nothing thrown)";
}

class TCPSocketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        descriptorsBefore = openDescriptors();
        server.listen(0, "127.0.0.1");
        ASSERT_TRUE(server.listening());
    }

    void TearDown() override
    {
        client.close();
        peer.close();
        server.close();
        EXPECT_EQ(openDescriptors(), descriptorsBefore);
    }

    // Connects `client` and accepts its other end as `peer`.
    void connectPair()
    {
        client.connect("127.0.0.1", server.port());
        server.setTimeout(2000);
        peer = server.accept();
        ASSERT_TRUE(peer.connected());
    }

    size_t descriptorsBefore = 0;
    TCPServer server;
    TCPClient client;
    TCPClient peer;
};

TEST_F(TCPSocketTest, GetlineEndsAtLineFeedAndDropsCarriageReturns)
{
    connectPair();
    peer.print("ab\r\ncd\nx\ry\n");
    for (const std::string expected : {"ab", "cd", "xy"}) {
        std::string line;
        EXPECT_TRUE(client.getline(line));
        EXPECT_EQ(line, expected);
    }
}

TEST_F(TCPSocketTest, GetlineTimeOutKeepsThePartAndTheConnection)
{
    client.setReadTimeout(300); // stored now, applied by connect
    connectPair();
    peer.print("ab");
    std::string line;
    const auto start = Clock::now();
    EXPECT_FALSE(client.getline(line));
    EXPECT_GE(msSince(start), 250);
    EXPECT_LT(msSince(start), 3000);
    EXPECT_EQ(line, "ab");
    EXPECT_TRUE(client.connected());
    peer.print("c\n");
    EXPECT_TRUE(client.getline(line));
    EXPECT_EQ(line, "abc");
}

TEST_F(TCPSocketTest, GetlineClosesOnALineWithoutEnd)
{
    connectPair();
    std::thread sender([this] { peer.write(std::vector<unsigned char>(1 << 20, 'a')); });
    std::string line;
    EXPECT_FALSE(client.getline(line));
    EXPECT_FALSE(client.connected());
    EXPECT_LE(line.size(), TCPClient::MAX_LINE);
    sender.join();
}

// Carriage returns count toward the line bound wherever they stand: only the
// one of a "\r\n" ending a line of MAX_LINE characters is taken beyond it.
TEST_F(TCPSocketTest, GetlineCountsCarriageReturnsTowardTheLineBound)
{
    const size_t most = TCPClient::MAX_LINE;
    const struct {
        std::string text;
        bool taken;
    } rows[] = {
        {std::string(most, 'a') + "\r\n", true},
        {std::string(most, 'a') + "\r\r\n", false},
        {std::string(most + 1, '\r') + "\n", true},
        {std::string(most + 2, '\r') + "\n", false},
        {std::string(most / 2, 'a') + std::string(most / 2, '\r') + "a\n", false},
        {std::string(1 << 20, '\r'), false},
    };
    client.setReadTimeout(5000);
    for (const auto& row : rows) {
        connectPair();
        std::thread sender([this, &row] { peer.print(row.text); });
        std::string line;
        EXPECT_EQ(client.getline(line), row.taken) << "row " << &row - rows;
        EXPECT_EQ(client.connected(), row.taken) << "row " << &row - rows;
        client.close(); // ends a send still waiting for room
        sender.join();
        peer.close();
    }
}

TEST_F(TCPSocketTest, GetlineFailsAndClosesWhenThePeerCloses)
{
    connectPair();
    peer.print("ab");
    peer.close();
    std::string line;
    EXPECT_FALSE(client.getline(line));
    EXPECT_FALSE(client.connected());
}

TEST_F(TCPSocketTest, SendCountsAndWhatArrives)
{
    connectPair();
    peer.setReadTimeout(200);
    const std::string longText(300, 'x');
    struct Case {
        const char* name;
        std::function<int()> send;
        int count;
        std::string arrives;
    } cases[] = {
        {"println empty", [&] { return client.println(""); }, 2, "\r\n"},
        {"println text", [&] { return client.println("ok"); }, 4, "ok\r\n"},
        {"print empty", [&] { return client.print(""); }, 0, ""},
        {"printf", [&] { return client.printf("%s,%d", "ok", 7); }, 4, "ok,7"},
        {"printf cut", [&] { return client.printf("%s", longText.c_str()); }, 255, std::string(255, 'x')},
        {"write byte", [&] { return client.write((unsigned char)'z'); }, 1, "z"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.send(), c.count) << c.name;
        std::vector<unsigned char> got;
        peer.read(got, 1000);
        EXPECT_EQ(std::string(got.begin(), got.end()), c.arrives) << c.name;
    }
}

TEST_F(TCPSocketTest, UnconnectedClientSendsAndReadsNothing)
{
    unsigned char buffer[4];
    std::vector<unsigned char> vector;
    std::string line;
    EXPECT_EQ(client.read(buffer, 0), 0);
    EXPECT_EQ(client.read(buffer, 4), -1);
    EXPECT_EQ(client.read(vector, 4), -1);
    EXPECT_EQ(client.read(), -1);
    EXPECT_FALSE(client.getline(line));
    EXPECT_FALSE(client.available());
    EXPECT_EQ(client.println(""), -1);
    EXPECT_EQ(client.printf("x"), -1);
    EXPECT_EQ(client.address(), "");
    EXPECT_EQ(client.port(), 0);
}

TEST_F(TCPSocketTest, ReadIntoVectorAfterFortyBytes)
{
    for (const bool peerCloses : {true, false}) {
        connectPair();
        client.setReadTimeout(200);
        peer.write(std::vector<unsigned char>(40, 7));
        if (peerCloses)
            peer.close();
        std::vector<unsigned char> buffer(10, 1);
        EXPECT_EQ(client.read(buffer, 100), peerCloses ? -1 : 40);
        EXPECT_EQ(buffer.size(), peerCloses ? 10u : 50u);
        EXPECT_EQ(client.connected(), !peerCloses);
        client.close();
        peer.close();
    }
}

TEST_F(TCPSocketTest, HugeReadGrowsOnlyByWhatArrives)
{
    connectPair();
    client.setReadTimeout(200);
    peer.print("abcde");
    std::vector<unsigned char> buffer;
    EXPECT_EQ(client.read(buffer, 1ul << 40), 5);
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "abcde");
    EXPECT_LE(buffer.capacity(), 2 * TCPClient::READ_CHUNK);
}

TEST_F(TCPSocketTest, ByteReadTimesOutOpenAndAvailableSeesData)
{
    connectPair();
    client.setReadTimeout(100);
    EXPECT_FALSE(client.available());
    EXPECT_EQ(client.read(), -1);
    EXPECT_TRUE(client.connected());
    peer.write((unsigned char)200);
    const auto start = Clock::now();
    while (!client.available() && msSince(start) < 2000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(client.available());
    EXPECT_EQ(client.read(), 200);
}

TEST_F(TCPSocketTest, AcceptWaitsAsLongAsItsTimeOut)
{
    server.setTimeout(0);
    auto start = Clock::now();
    EXPECT_FALSE(server.accept().connected());
    EXPECT_LT(msSince(start), 100);

    server.setTimeout(-1);
    std::thread late([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        client.connect("127.0.0.1", server.port());
    });
    start = Clock::now();
    peer = server.accept();
    late.join();
    EXPECT_TRUE(peer.connected());
    EXPECT_GE(msSince(start), 150);
}

TEST_F(TCPSocketTest, ConnectToTheSamePeerKeepsTheConnection)
{
    connectPair();
    EXPECT_EQ(client.address(), "127.0.0.1");
    EXPECT_EQ(client.port(), server.port());
    client.connect("127.0.0.1", server.port());
    server.setTimeout(100);
    EXPECT_FALSE(server.accept().connected());
    client.println("still");
    std::string line;
    EXPECT_TRUE(peer.getline(line));
    EXPECT_EQ(line, "still");
}

TEST_F(TCPSocketTest, FailuresThrowTheSystemsText)
{
    const unsigned short port = server.port();
    TCPServer second;
    EXPECT_EQ(thrownText([&] { second.listen(port, "127.0.0.1"); }), std::strerror(EADDRINUSE));
    EXPECT_FALSE(second.listening());
    EXPECT_EQ(second.address(), "");
    EXPECT_EQ(second.port(), 0);

    server.close();
    EXPECT_EQ(thrownText([&] { client.connect("127.0.0.1", port); }), std::strerror(ECONNREFUSED));
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(thrownText([&] { server.accept(); }), std::strerror(EBADF));

    for (const char* host : {"no-such-host.invalid", "300.1.1.1x"}) {
        EXPECT_NE(thrownText([&] { client.connect(host, port); }), "(nothing thrown)") << host;
        EXPECT_NE(thrownText([&] { server.listen(port, host); }), "(nothing thrown)") << host;
        EXPECT_FALSE(client.connected());
        EXPECT_FALSE(server.listening());
    }
}

TEST_F(TCPSocketTest, ListenAgainReplacesTheListener)
{
    server.listen(0, TCPServer::ANY_ADDRESS);
    EXPECT_TRUE(server.listening());
    EXPECT_EQ(server.address(), "0.0.0.0");
}

TEST_F(TCPSocketTest, SendingToAVanishedPeerClosesWithoutSigpipe)
{
    connectPair();
    peer.close();
    int result = 0;
    for (int i = 0; i < 100 && result != -1; ++i) {
        result = client.print("data");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(result, -1);
    EXPECT_FALSE(client.connected());
}

// A borrowed copy never closes the descriptor: its close() and its failures
// shut the connection down, which wakes a read in another thread, and
// forget the descriptor, which the owner alone closes.
TEST_F(TCPSocketTest, ABorrowedCopyShutsDownButNeverCloses)
{
    connectPair();
    client.setReadTimeout(10000);
    TCPClient reader = client.borrowed();
    const size_t open = openDescriptors();
    bool got = true;
    std::thread waiting([&] { got = reader.read() != -1; });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    TCPClient writer = client.borrowed();
    writer.close();
    waiting.join();
    EXPECT_FALSE(got || reader.connected() || writer.connected());
    EXPECT_TRUE(client.connected());
    EXPECT_EQ(openDescriptors(), open);
    peer.setReadTimeout(2000);
    EXPECT_EQ(peer.read(), -1); // the peer saw the end
}

void ignoreSignal(int) {}

TEST_F(TCPSocketTest, InterruptedReadCarriesOn)
{
    struct sigaction action {}, previous{};
    action.sa_handler = ignoreSignal;
    sigaction(SIGUSR1, &action, &previous);
    connectPair();
    client.setReadTimeout(5000);
    std::string line;
    bool got = false;
    std::thread reader([&] { got = client.getline(line); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pthread_kill(reader.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    peer.print("go\n");
    reader.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_TRUE(got);
    EXPECT_EQ(line, "go");
}

TEST_F(TCPSocketTest, DescriptorAboveTheSelectLimitWorks)
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const int high = FD_SETSIZE + 10;
    if (limit.rlim_cur <= rlim_t(high))
        GTEST_SKIP() << "descriptor limit too low";
    const int raw = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(server.port());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(raw, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    ASSERT_EQ(dup2(raw, high), high);
    ::close(raw);
    client = TCPClient(high);
    server.setTimeout(2000);
    peer = server.accept();

    client.setReadTimeout(100);
    EXPECT_FALSE(client.available());
    peer.print("up\n");
    std::string line;
    EXPECT_TRUE(client.getline(line));
    EXPECT_EQ(line, "up");
}

} // namespace
