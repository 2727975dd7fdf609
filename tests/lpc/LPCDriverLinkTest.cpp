// The driver's life cycle and reader thread: opening and closing, stopping
// the reader promptly, indications, debug logging.

#include "DriverFixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>

namespace {

int openDescriptors()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (readdir(dir) != nullptr)
        ++count;
    closedir(dir);
    return count;
}

double cpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

TEST(LPCDriverLifecycle, CloseOnNeverOpenedDriverDoesNothing)
{
    LPCDriver driver;
    EXPECT_EQ(driver.close(), LPCDriver::NoError);
    EXPECT_EQ(driver.close(), LPCDriver::NoError);
}

TEST(LPCDriverLifecycle, FailedOpenLeavesNoDescriptorBehind)
{
    char path[] = "/tmp/lpcdriver-XXXXXX";
    const int file = mkstemp(path);
    ASSERT_GE(file, 0);
    ::close(file);

    LPCDriver driver;
    const int before = openDescriptors();
    EXPECT_EQ(driver.open(path, 115200), LPCDriver::OpenFailed); // not a terminal
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(driver.open("/nonexistent/lpc", 115200), LPCDriver::OpenFailed);
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(driver.open(nullptr, 115200), LPCDriver::OpenFailed);
    unlink(path);
}

TEST(LPCDriverLifecycle, CloseRightAfterOpenStopsTheReader)
{
    SimulatedBoard board;
    const int before = openDescriptors();
    for (int i = 0; i < 3; ++i) {
        LPCDriver driver;
        ASSERT_EQ(driver.open(board.devicePath().c_str(), 115200), LPCDriver::NoError);
        EXPECT_EQ(driver.close(), LPCDriver::NoError);
    }
    {
        LPCDriver destroyedOpen;
        ASSERT_EQ(destroyedOpen.open(board.devicePath().c_str(), 115200), LPCDriver::NoError);
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(DriverTest, ReopenAfterCloseAndWhileOpenWorks)
{
    API_Message_t response{};
    EXPECT_EQ(driver.close(), LPCDriver::NoError);
    ASSERT_EQ(driver.open(board.devicePath().c_str(), 57600), LPCDriver::NoError);
    EXPECT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::NoError);
    ASSERT_EQ(driver.open(board.devicePath().c_str(), 115200), LPCDriver::NoError);
    EXPECT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::NoError);
}

TEST_F(DriverTest, RequestAfterCloseTimesOut)
{
    driver.close();
    API_Message_t response{};
    EXPECT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::Timeout);
    EXPECT_TRUE(board.requests().empty());
}

// A request that waits for a silent board when close() begins is not sent
// again: close would otherwise wait for every transmission of it.
TEST_F(DriverTest, CloseEndsTheTransmissionsOfAWaitingRequest)
{
    board.setSilent(true);
    driver.setTransmitRetries(20);
    API_Message_t response{};
    std::thread waiting([&] { EXPECT_EQ(driver.executeRPC(heartbeat(), response), LPCDriver::Timeout); });
    while (board.requests().empty())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(driver.close(), LPCDriver::NoError);
    waiting.join();
    EXPECT_LE(board.requests().size(), 2u);
}

// The peer never pauses for a second, yet close() returns promptly.
TEST_F(DriverTest, CloseIsPromptWhileThePeerKeepsTalking)
{
    std::atomic<bool> talking{true};
    std::thread chatter([&] {
        while (talking) {
            board.sendIndication(1, 5, {1});
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(driver.close(), LPCDriver::NoError);
    EXPECT_LT(msSince(start), 500.0);
    talking = false;
    chatter.join();
}

// A device that vanished makes every read fail at once; the reader must
// pause between attempts instead of spinning.
TEST(LPCDriverLifecycle, VanishedDeviceDoesNotMakeTheReaderSpin)
{
    int master = -1;
    int slave = -1;
    char name[256] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    LPCDriver driver;
    ASSERT_EQ(driver.open(name, 115200), LPCDriver::NoError);
    ::close(master);
    ::close(slave);

    const double cpuBefore = cpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_LT(cpuMs() - cpuBefore, 200.0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(driver.close(), LPCDriver::NoError);
    EXPECT_LT(msSince(start), 500.0);
}

TEST_F(DriverTest, DebugLinesOnlyWhenEnabledButWarningsAlways)
{
    board.setSilent(true);
    API_Message_t response{};
    driver.executeRPC(heartbeat(), response);
    EXPECT_EQ(countLines(logs, "[LPCDriver] "), 0);
    EXPECT_EQ(countLines(logs, "Response timeout. Re-transmitting message"), 2);

    board.setSilent(false);
    driver.setDebugEnable(true);
    API_Message_t sent = request(0, 2);
    sent.SeqNo = 0x1234;
    ASSERT_EQ(driver.executeRPC(sent, response), LPCDriver::NoError);
    EXPECT_EQ(countLines(logs, "[LPCDriver] Send request"), 1);
    EXPECT_EQ(countLines(logs, "[LPCDriver] Response received"), 1);
    EXPECT_EQ(countLines(logs, "[LPCDriver] API Message:\nID     : 0\nSubID  : 2\nType   : 0\nError  : 0\n"
                         "SeqNo  : 4660\nSize   : 1\nData   : 0x02 \n"),
              1);
}

TEST_F(DriverTest, DumpOfEmptyMessageShowsNoSubId)
{
    driver.setDebugEnable(true);
    API_Message_t empty{};
    empty.ID = 9;
    empty.Type = API_TYPE_RESPONSE;
    board.sendMessage(empty);
    EXPECT_TRUE(waitForLines(logs, "SubID  : -1\nType   : 1\nError  : 0\nSeqNo  : 0\nSize   : 0\nData   : \n", 1, 2000));
}

TEST_F(DriverTest, MessageOfUnknownTypeIsReportedOnStandardOutput)
{
    API_Message_t odd{};
    odd.Type = API_TYPE_REQUEST;
    odd.Size = 1;
    testing::internal::CaptureStdout();
    board.sendMessage(odd);
    // A response behind it shows when the reader has dealt with both.
    driver.setDebugEnable(true);
    API_Message_t marker{};
    marker.Type = API_TYPE_RESPONSE;
    board.sendMessage(marker);
    const bool seen = waitForLines(logs, "[LPCDriver] Response received", 1, 2000);
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(seen);
    EXPECT_EQ(out, "Invalid message type received\n");
}

} // namespace
