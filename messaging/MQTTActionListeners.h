#pragma once
// The five action listeners through which MQTTClient learns the outcome of
// the operations it starts, each passing it on to the MQTTClientListener.
// A listener can be retired: from then on it passes nothing on, so the late
// results of a library client that was replaced reach nobody. The
// subscription listeners count the operations whose outcome is still due.
//
// Threading: the library calls on_success and on_failure on its own threads;
// retire() and the count may be used from any thread (both are atomic).

#include <atomic>
#include <string>

#include <mqtt/iaction_listener.h>

#include "messaging/MQTTClientListener.h"

// Marks the threads that ever ran a library callback, so that a library
// client is never destroyed on one of them (that hangs).
class MQTTLibraryThread
{
public:
    // Called first by every callback.
    static void mark();
    static bool current();
};

class MQTTActionListener : public virtual mqtt::iaction_listener
{
public:
    explicit MQTTActionListener(MQTTClientListener* listener) : mListener(listener) {}

    // Stops passing results on.
    void retire() { mRetired.store(true); }
    bool retired() const { return mRetired.load(); }

    // One more operation whose outcome this listener awaits: counted before
    // it starts, and answered() again when the library refuses it.
    void expect() { mDue.fetch_add(1); }
    void answered() { mDue.fetch_sub(1); }
    // Operations expected and not answered yet.
    int due() const { return mDue.load(); }

protected:
    // The listener to call, or nullptr when there is none or it was retired.
    MQTTClientListener* target() const { return retired() ? nullptr : mListener; }
    // The first topic of the token, "" when it has none.
    static std::string firstTopic(const mqtt::token& token);

private:
    MQTTClientListener* const mListener;
    std::atomic<bool> mRetired{false};
    std::atomic<int> mDue{0};
};

class MQTTConnectListener : public MQTTActionListener
{
public:
    using MQTTActionListener::MQTTActionListener;
    // The text of a connect failure: the MQTT 3.1.1 refusal codes 0 to 5,
    // -1 for the library's general failure, "Unknown reason" otherwise.
    static std::string reason(int returnCode);

    void on_failure(const mqtt::token& token) override;
    // Nothing: success is reported by the client's connected callback (the
    // library may report a connect's success twice).
    void on_success(const mqtt::token& token) override;
};

class MQTTDisconnectListener : public MQTTActionListener
{
public:
    using MQTTActionListener::MQTTActionListener;
    // Logs "[MQTTClient] Disconnect failed." at Error whatever the log
    // switch, unless retired.
    void on_failure(const mqtt::token& token) override;
    void on_success(const mqtt::token& token) override;
};

// Each outcome, retired or not, answers one expected operation.
class MQTTSubscribeListener : public MQTTActionListener
{
public:
    using MQTTActionListener::MQTTActionListener;
    void on_failure(const mqtt::token& token) override;
    void on_success(const mqtt::token& token) override;
};

// Each outcome, retired or not, answers one expected operation.
class MQTTUnSubscribeListener : public MQTTActionListener
{
public:
    using MQTTActionListener::MQTTActionListener;
    void on_failure(const mqtt::token& token) override;
    void on_success(const mqtt::token& token) override;
};

class MQTTPublishListener : public MQTTActionListener
{
public:
    using MQTTActionListener::MQTTActionListener;
    void on_failure(const mqtt::token& token) override;
    void on_success(const mqtt::token& token) override;
};
