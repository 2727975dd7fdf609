// The bound of the process stop: the deadline ends a stop whose step never
// returns, but never in the middle of a configuration file write; and the
// end of a set's rewrites at the MQTT stop.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <future>
#include <mutex>
#include <sys/wait.h>
#include <thread>
#include <utility>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "app/Config.h"
#include "app/StopDeadline.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;
using tavo::Config::Config;

// A component that holds every set in onConfigSet while holding is set.
struct HoldingObserver : tavo::Config::Observer {
    void onConfigSet(const json& config) override
    {
        entered = true;
        while (holding)
            usleep(1000);
        value = config.value("alpha", 0);
    }
    json onConfigGet() const override { return {{"alpha", value}}; }
    json onConfigPreview(const json& config) const override { return {{"alpha", config.value("alpha", 0)}}; }

    std::atomic<bool> holding{false};
    std::atomic<bool> entered{false};
    int value = 0;
};

// Forks a child whose standard error is err, which runs before, names a
// step and arms the deadline with bound, then waits for ever. The child's
// wait status (-1 when it outlived 20 s and was killed) and the time from
// the fork to its end, a little more than the child's own.
std::pair<int, Clock::duration> runDeadline(int err, std::chrono::milliseconds bound,
                                            const std::function<void()>& before)
{
    const auto begun = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(err, STDERR_FILENO);
        if (before)
            before();
        setStopStep("standing in for a step");
        armStopDeadline(bound);
        for (;;)
            pause();
    }
    int status = -1;
    for (int waited = 0; pid > 0 && waitpid(pid, &status, WNOHANG) == 0 && waited < 20000; waited += 10)
        usleep(10000);
    const auto spent = Clock::now() - begun;
    if (pid > 0 && status == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return {status, spent};
}

} // namespace

// The step under way never returns, and a file write holds the file's lock
// for the bound and one second more: the process ends with status 0, after
// the lock was let go, and says which step it ended.
TEST(StopDeadline, EndsTheProcessOnceTheFileWriteUnderWayHasFinished)
{
    constexpr auto kBound = std::chrono::milliseconds(300);
    constexpr auto kHeld = kBound + std::chrono::seconds(1);
    TempDir dir;
    const int err = open(dir.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const auto [status, spent] = runDeadline(err, kBound, [kHeld] {
        std::promise<void> locked;
        std::thread([&locked, kHeld] {
            std::lock_guard<std::mutex> file(Config::fileLock());
            locked.set_value();
            std::this_thread::sleep_for(kHeld);
        }).detach();
        locked.get_future().wait();
    });
    close(err);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_GE(spent, kHeld);
    EXPECT_EQ(readFile(dir.file("stderr")), "Stop took longer than 0.3 s while standing in for a step; ending now\n");
}

// Standard error is a pipe nobody reads, so the warning never gets out: the
// wait for it and the exit still end the process within the daemon's bound.
TEST(StopDeadline, AFullStandardErrorDoesNotTakeTheStopPastItsBound)
{
    int pipeEnds[2];
    ASSERT_EQ(pipe2(pipeEnds, O_NONBLOCK | O_CLOEXEC), 0);
    const std::string block(4096, 'x');
    while (write(pipeEnds[1], block.data(), block.size()) > 0) {
    }
    fcntl(pipeEnds[1], F_SETFL, 0);
    const auto [status, spent] = runDeadline(pipeEnds[1], kStopBound, nullptr);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(spent).count(), kStopBound.count());
}

class ConfigStopRewrites : public ::testing::Test {
protected:
    ConfigStopRewrites()
    {
        config.observerAttach(observer);
        config.update();
        capture.clear();
    }

    TempDir dir;
    const std::string path = dir.file("lumacore.json");
    Config config{path};
    std::shared_ptr<HoldingObserver> observer = std::make_shared<HoldingObserver>();
    LogCapture capture;
};

// A set still in the components when the rewrites end never rewrites the
// file, and the end does not wait for it.
TEST_F(ConfigStopRewrites, ASetThatOutlastsTheEndNeverRewrites)
{
    observer->holding = true;
    std::thread set([this] { config.configSet({{"alpha", 1}}); });
    while (!observer->entered)
        usleep(1000);
    config.stopRewrites();
    observer->holding = false;
    set.join();
    EXPECT_EQ(json::parse(readFile(path)), (json{{"alpha", 0}}));
    EXPECT_FALSE(capture.contains("[Config] Configuration changed ===> Updating configuration file..."));
}

// The end waits for a write under way, held here at the file's lock.
TEST_F(ConfigStopRewrites, TheEndWaitsForTheWriteUnderWay)
{
    std::unique_lock<std::mutex> file(Config::fileLock());
    std::thread set([this] { config.configSet({{"alpha", 2}}); });
    const std::string temporary = dir.file("lumacore-" + std::to_string(getpid()) + "-temp-config");
    ASSERT_TRUE(capture.waitFor("[Config] Saving updated config file '" + temporary + "'", 10000));
    auto ended = std::async(std::launch::async, [this] { config.stopRewrites(); });
    EXPECT_EQ(ended.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    file.unlock();
    ended.wait();
    set.join();
    EXPECT_EQ(json::parse(readFile(path)), (json{{"alpha", 2}}));
}
