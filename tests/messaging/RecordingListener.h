#pragma once
// An MQTTClientListener that writes every call down as one text, for tests
// to wait for: "connected", "disconnected", "subscribed <topic>",
// "unsubscribed <topic>", "sent", "delivered",
// "received <topic> <payload> qos=<n> retained=<0|1>",
// "connectFailed <reason>", "subscribeFailed <topic>",
// "unsubscribeFailed <topic>", "sendFailed". A hook, when set, runs after
// each record on the calling (library) thread.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "messaging/MQTTClientListener.h"

class RecordingListener : public MQTTClientListener
{
public:
    void onConnected() override { add("connected"); }
    void onDisconnected() override { add("disconnected"); }
    void onSubscribed(const std::string& topic) override { add("subscribed " + topic); }
    void onUnsubscribed(const std::string& topic) override { add("unsubscribed " + topic); }
    void onMessageSent(int) override { add("sent"); }
    void onMessageDelivered(int) override { add("delivered"); }
    void onMessageReceived(const std::string& topic, const std::string& payload, int qos, bool retained) override
    {
        add("received " + topic + " " + payload + " qos=" + std::to_string(qos) +
            " retained=" + std::to_string(retained ? 1 : 0));
    }
    void onConnectFailed(const std::string& reason) override { add("connectFailed " + reason); }
    void onSubscribeFailed(const std::string& topic) override { add("subscribeFailed " + topic); }
    void onUnsubscribeFailed(const std::string& topic) override { add("unsubscribeFailed " + topic); }
    void onMessageSendFailed(int) override { add("sendFailed"); }

    std::vector<std::string> events() const
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mEvents;
    }

    long count(const std::string& event) const
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return std::count(mEvents.begin(), mEvents.end(), event);
    }

    // Waits up to timeoutMs until event has been recorded times times.
    bool waitFor(const std::string& event, int timeoutMs, long times = 1) const
    {
        std::unique_lock<std::mutex> lock(mMutex);
        return mAdded.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            return std::count(mEvents.begin(), mEvents.end(), event) >= times;
        });
    }

    // Set before the client starts.
    std::function<void(const std::string& event)> hook;

private:
    void add(const std::string& event)
    {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mEvents.push_back(event);
            mAdded.notify_all();
        }
        if (hook) {
            hook(event);
        }
    }

    mutable std::mutex mMutex;
    mutable std::condition_variable mAdded;
    std::vector<std::string> mEvents;
};
