#pragma once
// A test's own broker and an MQTT::Client with a client id of its own on it,
// with counters of the client's lifecycle signals.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <algorithm>
#include <chrono>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Signal.h"
#include "messaging/Client.h"
#include "tests/support/MosquittoBroker.h"

// Settings that point at url with this client id and topic root.
inline MQTT::Config clientConfig(const std::string& url, const std::string& clientId,
                                 const std::string& base = "tavo/lumacore")
{
    MQTT::Config config(base, "MQTT");
    config.setUrl(url);
    config.setClientId(clientId);
    return config;
}

// A slot connected while it is in scope. The fixture's client outlives the
// test's body, and its destructor stops it, which emits again: a slot that
// touches the body's locals must be declared after them, so it goes first.
template <typename... Args>
class ScopedSlot
{
public:
    ScopedSlot(Signal<Args...>& signal, const typename Signal<Args...>::Slot& slot)
        : signal(signal), id(signal.connect(slot))
    {
    }
    ~ScopedSlot() { signal.disconnect(id); }
    ScopedSlot(const ScopedSlot&) = delete;
    ScopedSlot& operator=(const ScopedSlot&) = delete;

private:
    Signal<Args...>& signal;
    const int id;
};

// How often text occurs in haystack.
inline int occurrences(const std::string& haystack, const std::string& text)
{
    int count = 0;
    for (size_t at = haystack.find(text); at != std::string::npos; at = haystack.find(text, at + text.size()))
        ++count;
    return count;
}

class ClientFixture : public ::testing::Test
{
protected:
    explicit ClientFixture(const std::string& clientId = "under-test", const std::string& base = "tavo/lumacore")
        : clientId(clientId), client(std::make_unique<MQTT::Client>(base, "MQTT"))
    {
        client->setConfig(clientConfig(broker.url(), clientId, base));
        client->starting.connect([this] { ++starts; });
        client->stopping.connect([this] { ++stops; });
        client->subscribed.connect([this](const std::string& topic) {
            std::lock_guard<std::mutex> lock(mutex);
            granted.push_back(topic);
        });
    }

    // Starts the client and waits for its connection and for this many
    // subscriptions to be granted.
    void startConnected(size_t subscriptions = 0)
    {
        client->start();
        ASSERT_TRUE(client->waitConnected(10000));
        ASSERT_TRUE(waitGranted(subscriptions));
    }
    // Waits until count subscriptions, or one of topic, have been granted
    // since the last clear.
    bool waitGranted(size_t count) { return waitUntil([&](const auto& topics) { return topics.size() >= count; }); }
    bool waitGranted(const std::string& topic)
    {
        return waitUntil(
            [&](const auto& topics) { return std::find(topics.begin(), topics.end(), topic) != topics.end(); });
    }
    template <typename Predicate>
    bool waitUntil(Predicate granted)
    {
        for (int waited = 0; waited < 10000; waited += 20) {
            if (granted(grantedTopics()))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    std::vector<std::string> grantedTopics()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return granted;
    }
    // The broker's log line of this client's publication on topic, or "".
    std::string publishedLine(const std::string& topic) const
    {
        std::istringstream lines(broker.log());
        for (std::string line; std::getline(lines, line);) {
            if (line.find("Received PUBLISH from " + clientId) != std::string::npos &&
                line.find("'" + topic + "'") != std::string::npos)
                return line;
        }
        return "";
    }
    void clearGranted()
    {
        std::lock_guard<std::mutex> lock(mutex);
        granted.clear();
    }

    MosquittoBroker broker;
    std::string clientId;
    std::atomic<int> starts{0};
    std::atomic<int> stops{0};
    std::mutex mutex;
    std::vector<std::string> granted;
    std::unique_ptr<MQTT::Client> client;
};
