// The lpc-sim program run as a child process: the driver reaches it through
// the device path it prints or the link it makes, its options act on the
// line, and a stop signal ends it cleanly with its link removed.

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "lpc/LPCDriver.h"
#include "sim/SimLine.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace {

// One run of lpc-sim with its standard output on a pipe.
class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> options)
    {
        options.insert(options.begin(), LUMACORE_LPC_SIM);
        std::vector<char*> argv;
        for (auto& option : options)
            argv.push_back(option.data());
        argv.push_back(nullptr);

        int out[2];
        if (pipe(out) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        if (posix_spawn(&mPid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            mPid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        mOut = out[0];
    }

    ~SimProcess()
    {
        if (mPid > 0) {
            kill(mPid, SIGKILL);
            waitpid(mPid, nullptr, 0);
        }
        if (mOut >= 0)
            close(mOut);
    }

    // The first line the program prints, without its newline; empty when
    // none comes within 5 s or the output ends first.
    std::string firstLine()
    {
        std::string line;
        char octet;
        pollfd readable = {mOut, POLLIN, 0};
        while (poll(&readable, 1, 5000) > 0 && read(mOut, &octet, 1) == 1) {
            if (octet == '\n')
                return line;
            line += octet;
        }
        return {};
    }

    // Sends signal and waits for the exit; the exit status, or -1 when the
    // program did not exit normally.
    int stop(int signal)
    {
        kill(mPid, signal);
        return waitForExit();
    }

    int waitForExit()
    {
        int status = 0;
        const pid_t pid = waitpid(mPid, &status, 0);
        mPid = -1;
        return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t mPid = -1;
    int mOut = -1;
};

bool exists(const std::string& path)
{
    struct stat status{};
    return lstat(path.c_str(), &status) == 0;
}

TEST(LpcSimProgram, AnswersHeartbeatThroughItsLinkAndRemovesItOnStop)
{
    TempDir dir;
    const std::string link = dir.file("lpc");
    SimProcess sim({"--link", link});
    const std::string device = sim.firstLine();
    ASSERT_FALSE(device.empty());
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(device, target);

    LPCDriver driver;
    ASSERT_EQ(driver.open(link.c_str(), 115200), LPCDriver::NoError);
    EXPECT_EQ(driver.heartbeat(), LPCDriver::NoError);
    EXPECT_EQ(driver.getStats().successes, 1u);
    driver.close();

    EXPECT_EQ(sim.stop(SIGTERM), 0);
    EXPECT_FALSE(exists(link));
}

TEST(LpcSimProgram, StopsOnInterrupt)
{
    SimProcess sim({});
    ASSERT_FALSE(sim.firstLine().empty());
    EXPECT_EQ(sim.stop(SIGINT), 0);
}

TEST(LpcSimProgram, ReplacesAStaleLinkButNoOtherFile)
{
    TempDir dir;
    const std::string stale = dir.file("stale");
    ASSERT_EQ(symlink("/nonexistent", stale.c_str()), 0);
    SimProcess replacing({"--link", stale});
    ASSERT_FALSE(replacing.firstLine().empty());
    EXPECT_EQ(replacing.stop(SIGTERM), 0);

    const std::string file = dir.file("file");
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0644));
    SimProcess refusing({"--link", file});
    EXPECT_TRUE(refusing.firstLine().empty());
    EXPECT_EQ(refusing.waitForExit(), 1);
    struct stat status{};
    ASSERT_EQ(lstat(file.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
}

TEST(LpcSimProgram, SilentBoardAnswersNothing)
{
    SimProcess sim({"--silent"});
    const std::string device = sim.firstLine();
    LPCDriver driver;
    ASSERT_EQ(driver.open(device.c_str(), 115200), LPCDriver::NoError);
    driver.setReceiveTimeout(100);
    EXPECT_EQ(driver.heartbeat(), LPCDriver::Timeout);
}

TEST(LpcSimProgram, DropsEveryNthRequest)
{
    SimProcess sim({"--drop-every", "2"});
    const std::string device = sim.firstLine();
    LPCDriver driver;
    ASSERT_EQ(driver.open(device.c_str(), 115200), LPCDriver::NoError);
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(driver.heartbeat(), LPCDriver::NoError);
    EXPECT_EQ(driver.getStats().successes, 1u);
    EXPECT_EQ(driver.getStats().retransmitted, 1u);
}

TEST(LpcSimProgram, PacesTheLine)
{
    SimProcess sim({"--pace"});
    const std::string device = sim.firstLine();
    LPCDriver driver;
    ASSERT_EQ(driver.open(device.c_str(), 9600), LPCDriver::NoError);
    driver.setReceiveTimeout(1000);
    const double start = SimLine::nowMs();
    ASSERT_EQ(driver.heartbeat(), LPCDriver::NoError);
    EXPECT_GE(SimLine::nowMs() - start, 24 * 10 * 1000.0 / 9600); // two 12-octet frames
}

} // namespace
