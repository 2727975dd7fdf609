#pragma once
// MQTTClient: the one place that touches the MQTT library's asynchronous
// client. It keeps the connection settings, creates the library client at
// connect(), starts connect, disconnect, subscribe, unsubscribe and publish
// as asynchronous operations and reports every outcome and every incoming
// message to one MQTTClientListener. Messages in flight are kept in memory;
// the session is clean and the protocol is MQTT 3.1.1 only (the library
// never reconnects by itself).
//
// A url or client id that differs from those of the library client makes a
// new library client at the next connect(). The old one is retired: its
// callbacks and its action listeners pass nothing on, a disconnect
// is requested, and it is released later on a thread of the application (a
// connect() that is not made from a library callback, or the destructor).
// The library can neither make nor destroy a client on its own threads (its
// lock is held there), so a connect() there that needs a new library client
// returns false.
//
// Threading:
// - Operations and setters may be called from any thread: the application's
//   threads and the library's callback threads (through the listener).
// - mMutex guards the settings, the current and retired library clients and
//   the last token. It is never held while the library is called or while
//   the listener runs, so the listener may start operations.
// - The mqtt::callback overrides and the action listeners run on library
//   threads; they take no lock of this class while calling the listener.
// - wait() blocks on a token: never call it on a library thread.
// - clientId() and url() return references: read them on the thread that
//   sets them.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <mqtt/callback.h>
#include <mqtt/connect_options.h>
#include <mqtt/ssl_options.h>
#include <mqtt/token.h>
#include <mqtt/will_options.h>

#include "foundation/Log.h"
#include "messaging/MQTTClientListener.h"

class MQTTClient : public mqtt::callback
{
public:
    // listener (not owned, may be nullptr) receives every outcome; it must
    // outlive this object.
    explicit MQTTClient(MQTTClientListener* listener);
    // Releases the library clients without disconnecting first. Must not run
    // on a library thread.
    ~MQTTClient() override;
    MQTTClient(const MQTTClient&) = delete;
    MQTTClient& operator=(const MQTTClient&) = delete;

    // The largest payload a received message may carry. The largest that
    // is legitimate is a configuration set at the file's bound (256 KiB in
    // its 4-space form, about three times that with "\u" escapes); parsed,
    // a JSON text of small values takes about 17 times its size, and the
    // broker passes messages of up to 256 MB.
    static constexpr size_t kMaxPayloadSize = 1024 * 1024;

    // Turns the "[MQTTClient] " log lines on or off (off at first).
    void setLogEnabled(bool on);

    // The client id of the next library client ("tavo_mqtt_client" at first).
    void setClientId(const std::string& clientId);
    const std::string& clientId() const;
    // The broker address, for example "127.0.0.1:1883".
    void setUrl(const std::string& url);
    const std::string& url() const;
    void setKeepAlive(int seconds);
    void setCleanSession(bool clean);
    // Empty texts are not sent; a password without a user name is not sent
    // either (the broker would drop every attempt), which is logged once.
    void setUsername(const std::string& username);
    void setPassword(const std::string& password);
    std::string username() const;
    std::string password() const;
    // The will of every later connection; qos is MQTT's own number. A topic
    // that publish() would refuse clears any earlier will instead: false and
    // one error line, and later connections go without a will.
    bool setWill(const std::string& topic, const std::string& payload, int qos, bool retained);
    void setTrustStore(const std::string& path);
    void setKeyStore(const std::string& path);
    void setPrivateKey(const std::string& path);
    void setPrivateKeyPassword(const std::string& password);
    void setEnabledCipherSuites(const std::string& suites);
    void setEnableServerCertAuth(bool on);

    // Each returns true when the library accepted the request; the outcome
    // follows on a library thread through the listener. False (logged) means
    // nothing was started and no listener call follows. connect() with a
    // changed url or client id belongs on a thread of the application.
    bool connect();
    // timeoutMs is passed to the library.
    bool disconnect(int timeoutMs);
    // A topic that MQTT cannot carry (MQTT::isCarriableTopic) is refused:
    // false and one error line, the library never sees it.
    // qos is MQTT's own number (0, 1 or 2).
    bool subscribe(const std::string& topic, int qos);
    bool unsubscribe(const std::string& topic);
    // qos and retained go to the library unchanged.
    bool publish(const std::string& topic, const std::string& payload, int qos, bool retained);

    // Waits for the operation started last: -1 until it completes (true), 0
    // only checks, a positive time waits at most that long, another negative
    // value does not wait. True when it has completed; false without any
    // operation. An operation that completed with an error throws the
    // library's mqtt::exception.
    bool wait(int timeoutMs);
    // False before the first connect().
    bool isConnected() const;

    // True when the log switch is on and lines of level are printed.
    bool logs(Log::Level level) const;
    // With the log switch on, logs "[MQTTClient] " followed by format.
    void log(Log::Level level, const char* format, ...) const __attribute__((format(printf, 3, 4)));

    // mqtt::callback, called on library threads.
    void connected(const std::string& cause) override;
    void connection_lost(const std::string& cause) override;
    // A payload over kMaxPayloadSize is neither copied nor logged: one
    // warning names the topic and the size, and the listener hears of it
    // through onMessageTooLarge.
    void message_arrived(mqtt::const_message_ptr message) override;
    void delivery_complete(mqtt::delivery_token_ptr token) override;

private:
    // One library client with its own action listeners and store.
    struct Connection;

    // The current library client, or nullptr before the first connect().
    std::shared_ptr<Connection> current() const;
    std::string copyUrl() const;
    // Runs operation on the current library client and keeps its token;
    // false (logged) without a client or when the library refuses.
    bool start(const std::function<mqtt::token_ptr(Connection&)>& operation);
    // The library client for the current url and client id: the current
    // one when it has them, else a new one that retires the current one;
    // nullptr when a new one would be needed on a library thread. Throws the
    // library's exception when it cannot be made.
    std::shared_ptr<Connection> connectionForConnect(bool libraryThread);
    // Releases the retired library clients that are no longer connected and
    // that no other thread is using.
    // Never on a library thread.
    void releaseRetired();
    // The connect options to send: the stored ones with the credentials
    // that may be sent.
    mqtt::connect_options optionsForConnect();
    void keepToken(const mqtt::token_ptr& token);
    // Applies change to the TLS options and copies them into the connect
    // options.
    void changeSsl(const std::function<void(mqtt::ssl_options&)>& change);

    std::atomic<bool> mLogEnabled{false};
    MQTTClientListener* const mListener;

    mutable std::mutex mMutex;
    std::string mClientId = "tavo_mqtt_client";
    std::string mUrl;
    std::string mUsername;
    std::string mPassword;
    bool mPasswordWarned = false;
    mqtt::token_ptr mLastToken;
    mqtt::connect_options mConnectOptions;
    mqtt::ssl_options mSslOptions;
    // Sent with the connect options only while mWillSet.
    mqtt::will_options mWillOptions;
    bool mWillSet = false;
    std::vector<std::shared_ptr<Connection>> mRetired;
    std::shared_ptr<Connection> mConnection;
};
