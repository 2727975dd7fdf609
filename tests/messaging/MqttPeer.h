#pragma once
// The other side of the wire in client tests: a plain library client with a
// client id of its own that subscribes, publishes and collects messages.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include <mqtt/async_client.h>

class MqttPeer : public mqtt::callback
{
public:
    MqttPeer(const std::string& url, const std::string& clientId) : client(url, clientId)
    {
        client.set_callback(*this);
        mqtt::connect_options options;
        options.set_clean_session(true);
        client.connect(options)->wait();
    }
    ~MqttPeer() override
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
        std::unique_lock<std::mutex> lock(mutex);
        while (arrived.wait_until(lock, deadline, [this] { return !messages.empty(); })) {
            const mqtt::const_message_ptr message = messages.front();
            messages.pop_front();
            if (message->get_topic() == topic)
                return message;
        }
        return nullptr;
    }

    // Every message received and not yet taken, in arrival order.
    std::deque<mqtt::const_message_ptr> takeAll()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(messages, {});
    }

private:
    void message_arrived(mqtt::const_message_ptr message) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back(message);
        arrived.notify_all();
    }

    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<mqtt::const_message_ptr> messages;
    mqtt::async_client client;
};
