#pragma once
// One library client of MQTTClient with everything the library uses of it:
// its callback gate, its five action listeners and its message store. Only
// MQTTClient includes this.
//
// Threading: retire() may be called from any thread but a library thread;
// the gate and the listeners are passed over atomically.

#include <atomic>
#include <memory>
#include <string>

#include <mqtt/async_client.h>

#include "messaging/MQTTActionListeners.h"
#include "messaging/MQTTClient.h"
#include "messaging/MQTTMemoryPersistence.h"

// Passes the library client's callbacks on until it is retired. This stands
// in for the library's disable_callbacks(), which takes the wrapper's lock
// and then the C library's, the reverse of the library's own threads, and
// so can deadlock against a callback under way.
class MQTTCallbackGate : public mqtt::callback
{
public:
    explicit MQTTCallbackGate(mqtt::callback& target) : mTarget(target) {}

    void retire() { mRetired = true; }

    void connected(const std::string& cause) override
    {
        if (!mRetired) {
            mTarget.connected(cause);
        }
    }
    void connection_lost(const std::string& cause) override
    {
        if (!mRetired) {
            mTarget.connection_lost(cause);
        }
    }
    void message_arrived(mqtt::const_message_ptr message) override
    {
        if (!mRetired) {
            mTarget.message_arrived(std::move(message));
        }
    }
    void delivery_complete(mqtt::delivery_token_ptr token) override
    {
        if (!mRetired) {
            mTarget.delivery_complete(std::move(token));
        }
    }

private:
    mqtt::callback& mTarget;
    std::atomic<bool> mRetired{false};
};

struct MQTTClient::Connection {
    Connection(MQTTClientListener* listener, const std::string& url, const std::string& clientId,
               mqtt::callback& callback)
        : url(url), clientId(clientId), gate(callback), connectListener(listener), disconnectListener(listener),
          subscribeListener(listener), unsubscribeListener(listener), publishListener(listener),
          client(std::make_unique<mqtt::async_client>(url, clientId, &persistence))
    {
        client->set_callback(gate);
    }

    // Passes nothing on any more and asks the broker to end the session; a
    // client that is not connected refuses, which changes nothing.
    void retire()
    {
        gate.retire();
        connectListener.retire();
        disconnectListener.retire();
        subscribeListener.retire();
        unsubscribeListener.retire();
        publishListener.retire();
        try {
            client->disconnect(0, nullptr, disconnectListener);
        } catch (const mqtt::exception&) {
        }
    }

    const std::string url;
    const std::string clientId;
    MQTTCallbackGate gate;
    MQTTConnectListener connectListener;
    MQTTDisconnectListener disconnectListener;
    MQTTSubscribeListener subscribeListener;
    MQTTUnSubscribeListener unsubscribeListener;
    MQTTPublishListener publishListener;
    MQTTMemoryPersistence persistence;
    // Last, so that it goes first: the library may use everything above.
    std::unique_ptr<mqtt::async_client> client;
};
