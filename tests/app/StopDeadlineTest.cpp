// The bound of the process stop: the deadline ends a stop whose step never
// returns, but never in the middle of a configuration file write; and the
// end of a set's rewrites at the MQTT stop.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <future>
#include <mutex>
#include <sys/wait.h>
#include <thread>
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

// A component that, while blocking, holds every set in onConfigSet until it
// is let go.
class BlockingObserver : public tavo::Config::Observer {
public:
    void onConfigSet(const json& config) override
    {
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait(lock, [this] { return !blocking; });
        value = config.value("alpha", 0);
    }
    json onConfigGet() const override { return {{"alpha", value}}; }

    void waitEntered()
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return entered; });
    }
    void letGo()
    {
        std::lock_guard<std::mutex> lock(mutex);
        blocking = false;
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool blocking = true;
    int value = 0;
};

// True once a line holding text was logged.
bool logged(const LogCapture& capture, const std::string& text)
{
    for (const std::string& line : capture.texts()) {
        if (line.find(text) != std::string::npos)
            return true;
    }
    return false;
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
    const auto begun = Clock::now();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int err = open(dir.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(err, STDERR_FILENO);
        std::promise<void> locked;
        std::thread([&locked, kHeld] {
            std::lock_guard<std::mutex> file(Config::fileLock());
            locked.set_value();
            std::this_thread::sleep_for(kHeld);
        }).detach();
        locked.get_future().wait();
        setStopStep("standing in for a step");
        armStopDeadline(kBound);
        for (;;)
            pause();
    }
    int status = -1;
    for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0 && waited < 20000; waited += 10)
        usleep(10000);
    const auto spent = Clock::now() - begun;
    if (status == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_GE(spent, kHeld);
    EXPECT_EQ(readFile(dir.file("stderr")), "Stop took longer than 0.3 s while standing in for a step; ending now\n");
}

class ConfigStopRewrites : public ::testing::Test {
protected:
    ConfigStopRewrites()
    {
        config.observerAttach(observer);
        observer->letGo();
        config.update();
        observer->blocking = true;
        capture.clear();
    }

    LogCapture capture;
    TempDir dir;
    const std::string path = dir.file("lumacore.json");
    Config config{path};
    std::shared_ptr<BlockingObserver> observer = std::make_shared<BlockingObserver>();
};

// A set still in the components when the rewrites end never rewrites the
// file, and the end does not wait for it.
TEST_F(ConfigStopRewrites, ASetThatOutlastsTheEndNeverRewrites)
{
    const std::string before = readFile(path);
    std::thread set([this] { config.configSet({{"alpha", 1}}); });
    observer->waitEntered();
    config.stopRewrites();
    observer->letGo();
    set.join();
    EXPECT_EQ(readFile(path), before);
    EXPECT_FALSE(logged(capture, "Configuration changed"));
}

// The end waits for a write under way, held here at the file's lock.
TEST_F(ConfigStopRewrites, TheEndWaitsForTheWriteUnderWay)
{
    observer->letGo();
    std::unique_lock<std::mutex> file(Config::fileLock());
    std::thread set([this] { config.configSet({{"alpha", 2}}); });
    while (!logged(capture, "Saving updated config file"))
        usleep(1000);
    auto ended = std::async(std::launch::async, [this] { config.stopRewrites(); });
    EXPECT_EQ(ended.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    file.unlock();
    ended.wait();
    set.join();
    EXPECT_EQ(json::parse(readFile(path)), (json{{"alpha", 2}}));
}
