#pragma once
// The other side of the wire in client tests: a plain library client with a
// client id of its own that subscribes, publishes and collects messages.

#include <chrono>
#include <string>

#include <mqtt/async_client.h>

class MqttPeer
{
public:
    MqttPeer(const std::string& url, const std::string& clientId) : client(url, clientId)
    {
        client.start_consuming();
        mqtt::connect_options options;
        options.set_clean_session(true);
        client.connect(options)->wait();
    }
    ~MqttPeer()
    {
        try {
            client.disconnect()->wait();
        } catch (const mqtt::exception&) {
        }
    }

    void subscribe(const std::string& topic) { client.subscribe(topic, 2)->wait(); }
    void publish(const std::string& topic, const std::string& payload)
    {
        client.publish(topic, payload.data(), payload.size(), 1, false)->wait();
    }
    // The next message on topic within timeoutMs, skipping others; nullptr
    // when none came.
    mqtt::const_message_ptr next(const std::string& topic, int timeoutMs = 5000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        mqtt::const_message_ptr message;
        while (std::chrono::steady_clock::now() < deadline) {
            if (client.try_consume_message_until(&message, deadline) && message && message->get_topic() == topic)
                return message;
        }
        return nullptr;
    }

private:
    mqtt::async_client client;
};
