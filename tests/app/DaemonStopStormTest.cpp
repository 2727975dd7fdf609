// End-to-end: SIGTERM while a peer sets the configuration every 10 ms. The
// stop must end the daemon soon, with status 0, the configuration file whole
// and no temporary file beside it, and no set may rewrite the file once the
// MQTT client has stopped.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <thread>
#include <unistd.h>

#include "ServiceDaemon.h"

namespace {

using nlohmann::json;

#if defined(__SANITIZE_THREAD__)
constexpr int kEndMs = 10000;
#else
constexpr int kEndMs = 5000;
#endif

// Names in dir that end with suffix.
std::vector<std::string> filesEndingWith(const std::string& dir, const std::string& suffix)
{
    std::vector<std::string> found;
    DIR* listing = opendir(dir.c_str());
    if (!listing)
        return found;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            found.push_back(name);
    }
    closedir(listing);
    return found;
}

// Sets a new brightness every 10 ms until stopped.
class SetStorm {
public:
    explicit SetStorm(const std::string& url)
        : peer(url, "storm-peer"), thread([this] {
              for (int n = 0; !stopped; ++n) {
                  peer.publish("tavo/lumacore/config/set", json{{"device", {{"display", {{"brightness", 5 + n % 90}}}}}}.dump());
                  usleep(10000);
              }
          })
    {
    }
    ~SetStorm()
    {
        stopped = true;
        thread.join();
    }

private:
    MqttPeer peer;
    std::atomic<bool> stopped{false};
    std::thread thread;
};

class DaemonStopStormSlow : public ::testing::TestWithParam<int> {};

} // namespace

TEST_P(DaemonStopStormSlow, TermEndsSoonAndNoSetRewritesTheFileAfterTheMqttStop)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run());
    std::chrono::steady_clock::time_point signalled;
    {
        SetStorm storm(service.broker.url());
        usleep(GetParam() * 1000);
        service.daemon.signal(SIGTERM);
        signalled = std::chrono::steady_clock::now();
        // The storm goes on for a second after the signal.
        usleep(1000000);
    }
    const auto spent = std::chrono::steady_clock::now() - signalled;
    const int status =
        service.daemon.wait(std::max(0, kEndMs - static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(spent).count())));
    const std::string log = service.daemon.err();
    EXPECT_EQ(exitCode(status), 0) << log;
    EXPECT_EQ(filesEndingWith(service.daemon.dir().path(), "-temp-config"), std::vector<std::string>());
    const json file = service.configFile();
    ASSERT_TRUE(file.is_object()) << readFile(service.configPath());
    for (const char* section : {"device", "mqtt", "tcp"})
        EXPECT_TRUE(file.contains(section)) << file;
    const size_t stopped = log.find("[MQTT::Client] Stopped!");
    ASSERT_NE(stopped, std::string::npos) << log;
    EXPECT_EQ(log.find("Configuration changed", stopped), std::string::npos) << log;
}

// Milliseconds from the retained status to the signal: 0.5 s to 2.3 s.
INSTANTIATE_TEST_SUITE_P(Moments, DaemonStopStormSlow, ::testing::Range(500, 2301, 200));
