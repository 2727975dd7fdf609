#pragma once
// MQTTClientListener: what the connection wrapper (MQTTClient) reports, one
// call per outcome of an operation it started and per incoming message.
// Every call comes on one of the MQTT library's threads; an implementation
// must never wait there for a library token, nor destroy the wrapper.

#include <cstddef>
#include <string>

class MQTTClientListener
{
public:
    virtual ~MQTTClientListener() = default;

    // The connection to the broker is up.
    virtual void onConnected() = 0;
    // The connection was lost, or a requested disconnect completed.
    virtual void onDisconnected() = 0;
    // The broker granted a subscription.
    virtual void onSubscribed(const std::string& topic) = 0;
    virtual void onUnsubscribed(const std::string& topic) = 0;
    // A publish was handed over to the broker.
    virtual void onMessageSent(int messageId) = 0;
    // The library reports a published message delivered.
    virtual void onMessageDelivered(int messageId) = 0;
    // A message arrived on a subscribed topic; qos is MQTT's own number.
    virtual void onMessageReceived(const std::string& topic, const std::string& payload, int qos,
                                   bool retained) = 0;
    // A message arrived whose payload was over MQTTClient::kMaxPayloadSize:
    // its size stands in for the payload, which was never copied. Ignored
    // unless overridden.
    virtual void onMessageTooLarge(const std::string& /*topic*/, size_t /*size*/, int /*qos*/, bool /*retained*/) {}
    // A connect attempt failed; reason is a text of MQTTConnectListener::reason.
    virtual void onConnectFailed(const std::string& reason) = 0;
    virtual void onSubscribeFailed(const std::string& topic) = 0;
    virtual void onUnsubscribeFailed(const std::string& topic) = 0;
    virtual void onMessageSendFailed(int messageId) = 0;
};
