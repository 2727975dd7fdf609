#include "messaging/MQTTClient.h"

#include <cstdarg>
#include <utility>

#include "foundation/JsonText.h"
#include "messaging/MQTTActionListeners.h"
#include "messaging/MQTTClientConnection.h"
#include "messaging/PasswordMask.h"
#include "messaging/TopicText.h"

namespace {
const int kDefaultKeepAliveSec = 20;
const int kConnectTimeoutSec = 5;

const char* yesNo(bool value)
{
    return value ? "yes" : "no";
}

// True when the topic may go to the library; otherwise logs why not. The
// library would write a topic's length in 16 bits, wrapped, and the broker
// drops a client whose packet it cannot read.
bool carriable(const char* operation, const std::string& topic, bool publication)
{
    if (MQTT::isCarriableTopic(topic, publication))
        return true;
    Log::error("[MQTTClient] Not %s '%s': MQTT cannot carry this topic", operation, JsonText::cut(topic).c_str());
    return false;
}
} // namespace

MQTTClient::MQTTClient(MQTTClientListener* listener) : mListener(listener)
{
    mConnectOptions.set_keep_alive_interval(kDefaultKeepAliveSec);
    mConnectOptions.set_clean_session(true);
    mConnectOptions.set_connect_timeout(kConnectTimeoutSec);
    mConnectOptions.set_mqtt_version(MQTTVERSION_3_1_1);
}

MQTTClient::~MQTTClient()
{
    // The current client first, as it is the one the library is busy with.
    mConnection.reset();
    mRetired.clear();
}

void MQTTClient::setLogEnabled(bool on)
{
    mLogEnabled = on;
}

void MQTTClient::setClientId(const std::string& clientId)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mClientId = clientId;
}

const std::string& MQTTClient::clientId() const
{
    return mClientId;
}

void MQTTClient::setUrl(const std::string& url)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mUrl = url;
}

const std::string& MQTTClient::url() const
{
    return mUrl;
}

void MQTTClient::setKeepAlive(int seconds)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mConnectOptions.set_keep_alive_interval(seconds);
}

void MQTTClient::setCleanSession(bool clean)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mConnectOptions.set_clean_session(clean);
}

void MQTTClient::setUsername(const std::string& username)
{
    std::lock_guard<std::mutex> lock(mMutex);
    if (username != mUsername) {
        mUsername = username;
        mPasswordWarned = false;
    }
}

void MQTTClient::setPassword(const std::string& password)
{
    std::lock_guard<std::mutex> lock(mMutex);
    if (password != mPassword) {
        mPassword = password;
        mPasswordWarned = false;
    }
}

std::string MQTTClient::username() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mUsername;
}

std::string MQTTClient::password() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mPassword;
}

bool MQTTClient::setWill(const std::string& topic, const std::string& payload, int qos, bool retained)
{
    // The broker refuses every CONNECT whose will it cannot take.
    const bool valid = carriable("registering the will on", topic, true);
    std::lock_guard<std::mutex> lock(mMutex);
    mWillSet = valid;
    if (valid) {
        mWillOptions.set_topic(topic);
        mWillOptions.set_payload(payload);
        mWillOptions.set_retained(retained);
        mWillOptions.set_qos(qos);
    }
    return valid;
}

void MQTTClient::setTrustStore(const std::string& path)
{
    changeSsl([&path](mqtt::ssl_options& ssl) { ssl.set_trust_store(path); });
}

void MQTTClient::setKeyStore(const std::string& path)
{
    changeSsl([&path](mqtt::ssl_options& ssl) { ssl.set_key_store(path); });
}

void MQTTClient::setPrivateKey(const std::string& path)
{
    changeSsl([&path](mqtt::ssl_options& ssl) { ssl.set_private_key(path); });
}

void MQTTClient::setPrivateKeyPassword(const std::string& password)
{
    changeSsl([&password](mqtt::ssl_options& ssl) { ssl.set_private_key_password(password); });
}

void MQTTClient::setEnabledCipherSuites(const std::string& suites)
{
    changeSsl([&suites](mqtt::ssl_options& ssl) { ssl.set_enabled_cipher_suites(suites); });
}

void MQTTClient::setEnableServerCertAuth(bool on)
{
    changeSsl([on](mqtt::ssl_options& ssl) { ssl.set_enable_server_cert_auth(on); });
}

void MQTTClient::changeSsl(const std::function<void(mqtt::ssl_options&)>& change)
{
    std::lock_guard<std::mutex> lock(mMutex);
    change(mSslOptions);
    mConnectOptions.set_ssl(mSslOptions);
}

bool MQTTClient::connect()
{
    log(Log::Debug, "Connecting to '%s'", copyUrl().c_str());
    const bool libraryThread = MQTTLibraryThread::current();
    if (!libraryThread) {
        releaseRetired();
    }
    try {
        const std::shared_ptr<Connection> connection = connectionForConnect(libraryThread);
        if (!connection) {
            Log::error("[MQTTClient] A new broker address or client id is not taken on the library's thread.");
            return false;
        }
        keepToken(connection->client->connect(optionsForConnect(), nullptr, connection->connectListener));
        return true;
    } catch (const mqtt::exception& e) {
        log(Log::Error, "[ERROR] %s", e.what());
        return false;
    }
}

bool MQTTClient::disconnect(int timeoutMs)
{
    log(Log::Debug, "Disconnecting from '%s'", copyUrl().c_str());
    return start([timeoutMs](Connection& c) {
        return c.client->disconnect(timeoutMs, nullptr, c.disconnectListener);
    });
}

bool MQTTClient::subscribe(const std::string& topic, int qos)
{
    if (!carriable("subscribing to", topic, false))
        return false;
    if (logs(Log::Debug))
        log(Log::Debug, "Subscribing to '%s' (qos=%d)", JsonText::cut(topic).c_str(), qos);
    return start([&topic, qos](Connection& c) {
        return c.client->subscribe(topic, qos, nullptr, c.subscribeListener);
    });
}

bool MQTTClient::unsubscribe(const std::string& topic)
{
    if (!carriable("unsubscribing from", topic, false))
        return false;
    if (logs(Log::Debug))
        log(Log::Debug, "Unsubscribing from '%s'", JsonText::cut(topic).c_str());
    return start([&topic](Connection& c) {
        return c.client->unsubscribe(topic, nullptr, c.unsubscribeListener);
    });
}

bool MQTTClient::publish(const std::string& topic, const std::string& payload, int qos, bool retained)
{
    if (!carriable("publishing on", topic, true))
        return false;
    if (logs(Log::Debug)) {
        log(Log::Debug, "Publishing message.");
        log(Log::Debug, "Topic     = %s", JsonText::cut(topic).c_str());
        log(Log::Debug, "QoS       = %d", qos);
        log(Log::Debug, "Retained  = %s", yesNo(retained));
        log(Log::Debug, "Data      = '%s'", MQTT::payloadForLog(topic, payload).c_str());
    }
    return start([&](Connection& c) -> mqtt::token_ptr {
        mqtt::delivery_token_ptr token =
            c.client->publish(mqtt::make_message(topic, payload, qos, retained), nullptr, c.publishListener);
        log(Log::Debug, "ID        = '%d'", token->get_message_id());
        return token;
    });
}

bool MQTTClient::wait(int timeoutMs)
{
    mqtt::token_ptr token;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        token = mLastToken;
    }
    if (!token) {
        return false;
    }
    if (timeoutMs == -1) {
        token->wait();
        return true;
    }
    if (timeoutMs == 0) {
        return token->try_wait();
    }
    return token->wait_for(static_cast<long>(timeoutMs));
}

bool MQTTClient::isConnected() const
{
    const std::shared_ptr<Connection> connection = current();
    return connection && connection->client->is_connected();
}

bool MQTTClient::logs(Log::Level level) const
{
    return mLogEnabled && Log::enabled(level);
}

void MQTTClient::log(Log::Level level, const char* format, ...) const
{
    if (!mLogEnabled) {
        return;
    }
    const std::string prefixed = std::string("[MQTTClient] ") + format;
    va_list args;
    va_start(args, format);
    Log::vprint(level, prefixed.c_str(), args);
    va_end(args);
}

void MQTTClient::connected(const std::string& cause)
{
    MQTTLibraryThread::mark();
    log(Log::Debug, "Connected (cause=%s).", cause.c_str());
    if (mListener != nullptr) {
        mListener->onConnected();
    }
}

void MQTTClient::connection_lost(const std::string& cause)
{
    MQTTLibraryThread::mark();
    log(Log::Debug, "Disconnected (cause=%s)!", cause.c_str());
    if (mListener != nullptr) {
        mListener->onDisconnected();
    }
}

void MQTTClient::message_arrived(mqtt::const_message_ptr message)
{
    MQTTLibraryThread::mark();
    const std::string& topic = message->get_topic();
    // Judged on the library's own buffer, before anything copies it.
    const mqtt::binary_ref& body = message->get_payload_ref();
    const size_t size = body ? body.size() : 0;
    if (size > kMaxPayloadSize) {
        Log::warning("[MQTTClient] Refused a message of %zu octets on '%s': more than %zu", size,
                     JsonText::cut(topic).c_str(), kMaxPayloadSize);
        if (mListener != nullptr)
            mListener->onMessageTooLarge(topic, size, message->get_qos(), message->is_retained());
        return;
    }
    const std::string payload = message->to_string();
    if (logs(Log::Debug)) {
        log(Log::Debug, "New message received.");
        log(Log::Debug, "Topic     = %s", JsonText::cut(topic).c_str());
        log(Log::Debug, "QoS       = %d", message->get_qos());
        log(Log::Debug, "Retained  = %s", yesNo(message->is_retained()));
        log(Log::Debug, "Duplicate = %s", yesNo(message->is_duplicate()));
        log(Log::Debug, "Data      = '%s'", MQTT::payloadForLog(topic, payload).c_str());
    }
    if (mListener != nullptr) {
        mListener->onMessageReceived(topic, payload, message->get_qos(), message->is_retained());
    }
}

void MQTTClient::delivery_complete(mqtt::delivery_token_ptr token)
{
    MQTTLibraryThread::mark();
    const int id = token ? token->get_message_id() : 0;
    log(Log::Debug, "Message delivered (id=%d)", id);
    if (mListener != nullptr) {
        mListener->onMessageDelivered(id);
    }
}

std::shared_ptr<MQTTClient::Connection> MQTTClient::current() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mConnection;
}

std::string MQTTClient::copyUrl() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mUrl;
}

bool MQTTClient::start(const std::function<mqtt::token_ptr(Connection&)>& operation)
{
    const std::shared_ptr<Connection> connection = current();
    if (!connection) {
        log(Log::Error, "Client not connected.");
        return false;
    }
    try {
        keepToken(operation(*connection));
        return true;
    } catch (const mqtt::exception& e) {
        log(Log::Error, "[ERROR] %s", e.what());
        return false;
    }
}

std::shared_ptr<MQTTClient::Connection> MQTTClient::connectionForConnect(bool libraryThread)
{
    std::string url;
    std::string clientId;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mConnection && mConnection->url == mUrl && mConnection->clientId == mClientId) {
            return mConnection;
        }
        if (libraryThread) {
            return nullptr;
        }
        url = mUrl;
        clientId = mClientId;
    }
    // Made without our lock: the library takes its own lock here, and its
    // threads hold that one while they call us.
    const auto connection = std::make_shared<Connection>(mListener, url, clientId, *this);
    std::shared_ptr<Connection> replaced;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        replaced = std::exchange(mConnection, connection);
        if (replaced) {
            mRetired.push_back(replaced);
        }
    }
    if (replaced) {
        replaced->retire();
    }
    return connection;
}

void MQTTClient::releaseRetired()
{
    std::vector<std::shared_ptr<Connection>> retired;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        retired.swap(mRetired);
    }
    // No new references to a retired client can be taken, so a count of one
    // means no other thread is in one of its operations.
    std::vector<std::shared_ptr<Connection>> busy;
    for (auto& connection : retired) {
        if (connection.use_count() > 1 || connection->client->is_connected()) {
            busy.push_back(std::move(connection));
        }
    }
    retired.clear();
    std::lock_guard<std::mutex> lock(mMutex);
    mRetired.insert(mRetired.end(), busy.begin(), busy.end());
}

mqtt::connect_options MQTTClient::optionsForConnect()
{
    std::unique_lock<std::mutex> lock(mMutex);
    mqtt::connect_options options = mConnectOptions;
    if (mWillSet)
        options.set_will(mWillOptions);
    if (!mUsername.empty()) {
        options.set_user_name(mUsername);
        if (!mPassword.empty()) {
            options.set_password(mPassword);
        }
    } else if (!mPassword.empty() && !mPasswordWarned) {
        mPasswordWarned = true;
        lock.unlock();
        Log::error("[MQTTClient] A password without a user name is not sent.");
    }
    return options;
}

void MQTTClient::keepToken(const mqtt::token_ptr& token)
{
    mqtt::token_ptr previous; // released after the lock
    std::lock_guard<std::mutex> lock(mMutex);
    previous = std::exchange(mLastToken, token);
}
