#pragma once
// A test's own broker and an MQTT::Client with a client id of its own on it,
// with counters of the client's lifecycle signals.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>

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
    }

    // Starts the client and waits for its connection.
    void startConnected()
    {
        client->start();
        ASSERT_TRUE(client->waitConnected(10000));
    }

    MosquittoBroker broker;
    std::string clientId;
    std::atomic<int> starts{0};
    std::atomic<int> stops{0};
    std::unique_ptr<MQTT::Client> client;
};
