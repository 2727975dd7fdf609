#pragma once
// The board's MQTT adaptor over a manager on the simulated board, with an
// MQTT::Client of its own. Direct tests call the getters and setters without
// a broker; broker tests start one and talk to the adaptor through a plain
// library client.

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "app/BoardMqttAdaptor.h"
#include "messaging/Client.h"
#include "tests/board/ManagerFixture.h"
#include "tests/messaging/ClientFixture.h"
#include "tests/messaging/MqttPeer.h"
#include "tests/support/MosquittoBroker.h"

using json = nlohmann::json;
using Result = tavo::Board::MqttAdaptor::Result;

class BoardMqttTest : public ManagerTest {
protected:
    ~BoardMqttTest() override
    {
        if (client) {
            client->stop();
        }
        adaptor.reset();
        client.reset();
    }

    // Opens the manager on the board and builds the adaptor over it.
    void openAdaptor(const BoardProfile& profile = BoardProfile{},
                     const std::function<void(SimDeviceState&)>& prepare = nullptr)
    {
        open(profile, prepare);
        client = std::make_shared<MQTT::Client>("tavo/lumacore", "MQTT");
        adaptor = std::make_shared<tavo::Board::MqttAdaptor>(manager, client);
        settle();
        capture.clear();
    }

    // Has the manager notify the adaptor. The manager keeps its observers
    // for its whole life and the adaptor keeps the manager, so the manager
    // is given a relay that holds the adaptor weakly, and both can end.
    void attachAdaptor()
    {
        struct Relay : tavo::Board::Observer {
            std::weak_ptr<tavo::Board::MqttAdaptor> to;
            void onConfigSet() override { if (auto a = to.lock()) a->onConfigSet(); }
            void onStatusChanged() override { if (auto a = to.lock()) a->onStatusChanged(); }
            void onEvent(const LPCEvent& event) override { if (auto a = to.lock()) a->onEvent(event); }
        };
        auto relay = std::make_shared<Relay>();
        relay->to = adaptor;
        manager->observerAttach(relay);
    }

    // Starts a broker, points the client at it and connects, then a peer
    // that listens to every topic under the root.
    void connect()
    {
        broker = std::make_unique<MosquittoBroker>();
        client->setConfig(clientConfig(broker->url(), "board-under-test"));
        peer = std::make_unique<MqttPeer>(broker->url(), "peer");
        peer->subscribe("tavo/lumacore/#");
        client->start();
        ASSERT_TRUE(client->waitConnected(10000));
    }

    // The next message on the topic under the root, as JSON; null when none
    // came within timeoutMs.
    json next(const std::string& topic, int timeoutMs = 10000)
    {
        const auto message = peer->next("tavo/lumacore/" + topic, timeoutMs);
        return message ? json::parse(message->to_string()) : json();
    }

    std::shared_ptr<MQTT::Client> client;
    std::shared_ptr<tavo::Board::MqttAdaptor> adaptor;
    std::unique_ptr<MosquittoBroker> broker;
    std::unique_ptr<MqttPeer> peer;
};
