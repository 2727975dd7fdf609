#include "messaging/Client.h"

#include "foundation/JsonText.h"
#include "foundation/Thread.h"
#include "foundation/Utils.h"
#include "messaging/TopicText.h"

namespace MQTT {

namespace {
// Depth of listener callbacks running on this thread.
thread_local int callbackDepth = 0;
// Depth of tree locks held by this thread.
thread_local int treeLockDepth = 0;
} // namespace

Message::Message(const std::string& topic, const std::string& payload, Retained retained, QoS qos)
    : topic(topic), payload(payload), retained(retained), qos(qos)
{
}

Client::CallbackScope::CallbackScope(Client& client) : client(client)
{
    client.activeCallbacks.fetch_add(1);
    ++callbackDepth;
    isLive = !client.closing.load();
}

Client::CallbackScope::~CallbackScope()
{
    --callbackDepth;
    client.activeCallbacks.fetch_sub(1);
}

bool Client::onLibraryThread()
{
    return callbackDepth > 0;
}

Client::TreeLock::TreeLock(Client& client) : guard(client.treeMutex)
{
    ++treeLockDepth;
}

Client::TreeLock::~TreeLock()
{
    --treeLockDepth;
}

bool Client::mustDefer()
{
    return callbackDepth > 0 || treeLockDepth > 0;
}

Client::Client(const std::string& base, const std::string& name)
    : logName(name), config(base, name), constructedRoot(base), root(base), connectedSemaphore("", 0, 1),
      connection(std::make_unique<MQTTClient>(this))
{
    const auto nanoseconds =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch());
    const uint64_t seed = static_cast<uint64_t>(nanoseconds.count()) % 2147483647u;
    randomEngine.seed(seed == 0 ? 1 : seed);
    worker = std::thread(&Client::workerLoop, this);
    connector = std::thread(&Client::connectorLoop, this);
}

Client::~Client()
{
    stopWorker();
    stop();
    closing.store(true);
    if (!onLibraryThread()) {
        while (activeCallbacks.load() > 0)
            Thread::sleep(1);
    }
    {
        std::unique_lock<std::mutex> lock(workerMutex);
        subscriptionThreadsDone.wait(lock, [this] { return subscriptionThreads == 0; });
    }
    connection.reset();
}

void Client::start()
{
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    refuseMessages(false);
    startLocked();
}

void Client::stop()
{
    // The bound counts from here: waiting for a restart under way uses it up.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHandlerWaitMs);
    refuseMessages(true);
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    stopLocked(deadline);
}

void Client::restart()
{
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    if (!running.load() || processStopping.load())
        return;
    stopLocked();
    // The process stop may have begun while `stopping` ran.
    if (processStopping.load())
        return;
    startLocked();
}

void Client::markProcessStop()
{
    processStopping.store(true);
}

void Client::startLocked()
{
    if (running.load())
        return;
    log(Log::Info, "Starting...");
    starting.emit();
    running.store(true);

    const Config current = getConfig();
    const std::string connectionRoot = chooseRoot(current.getBase());
    std::string clientId = current.getClientId();
    if (clientId.empty())
        clientId = Utils::getProcessId();
    const std::string url = current.getUrl();
    // Only a file gives such a text (a remote set never does): the broker
    // decides on it, and the log says why it may close every connection.
    const auto judge = [this](const char* member, const std::string& text) {
        if (!carriesCodePoints(text))
            log(Log::Error, "MQTT cannot carry the %s '%s'; connecting with it as it is.", member,
                JsonText::cut(text).c_str());
    };
    judge("client id", clientId);
    judge("user name", current.getUsername());
    log(Log::Info, "Connecting to broker:%s with clientId: %s).", url.c_str(), clientId.c_str());
    connection->setClientId(clientId);
    connection->setUrl(url);
    connection->setUsername(current.getUsername());
    connection->setPassword(current.getPassword());
    connection->setKeepAlive(static_cast<int>(current.getKeepAlive()));
    if (const std::optional<Message> last = lastWill())
        connection->setWill(Utils::combinePath(connectionRoot, last->topic), last->payload, toMqttQos(last->qos),
                            last->retained == Retained::Yes);
    beginConnect();
    log(Log::Info, "Started!");
}

std::string Client::chooseRoot(const std::string& base)
{
    std::string chosen = base;
    // The broker would refuse every connection, or drop the client, over a
    // topic built on such a base: the daemon must stay reachable to be put
    // right.
    if (!isCarriableBase(base)) {
        log(Log::Error, "MQTT cannot carry the topic root '%s'; serving '%s' instead.", JsonText::cut(base).c_str(),
            constructedRoot.c_str());
        chosen = constructedRoot;
    }
    std::lock_guard<std::mutex> lock(settingsMutex);
    root = chosen;
    return chosen;
}

void Client::stopLocked(std::optional<std::chrono::steady_clock::time_point> handlersDeadline)
{
    const bool wasRunning = running.load();
    if (wasRunning)
        log(Log::Info, "Stopping...");
    // Before `stopping`, whose slots may wait for the tree lock that a
    // handler holds.
    if (handlersDeadline) {
        if (const int others = awaitHandlers(*handlersDeadline); others > 0)
            log(Log::Warning, "Stopping while %d received message(s) are still handled.", others);
        handlersEnded.emit();
    }
    if (!wasRunning)
        return;
    stopping.emit();
    Thread::sleep(kStopDelayMs);
    {
        std::lock_guard<std::mutex> lock(workerMutex);
        disconnectSeen = false;
    }
    running.store(false);
    // The broker must take the disconnect, or it publishes the will over the
    // last status: the answers to the subscriptions under way (many, right
    // after a connection) are read before the socket closes, but on a
    // library thread, where they could not arrive while we wait.
    if (!onLibraryThread())
        connection->settle(kSettleWaitMs);
    // Waiting for the broker's confirmation lets a restart connect at once
    // (the library refuses a connect while a disconnect is under way); on a
    // library thread the confirmation could never arrive while we wait.
    if (connection->disconnect(0) && !onLibraryThread()) {
        std::unique_lock<std::mutex> lock(workerMutex);
        disconnectDone.wait_for(lock, std::chrono::milliseconds(kDisconnectWaitMs),
                                [this] { return disconnectSeen; });
    }
    log(Log::Info, "Stopped!");
}

bool Client::isConnected() const
{
    return connection->isConnected();
}

bool Client::waitConnected(int ms)
{
    return connectedSemaphore.Wait(ms);
}

bool Client::setConfig(const Config& newConfig)
{
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        if (newConfig.toJson() == config.toJson())
            return true;
        config = newConfig;
    }
    if (!running.load())
        return true;
    if (mustDefer())
        planRestart();
    else
        restart();
    return true;
}

void Client::setWill(const Message& message)
{
    std::lock_guard<std::mutex> lock(settingsMutex);
    will = message;
}

std::optional<Message> Client::lastWill() const
{
    std::lock_guard<std::mutex> lock(settingsMutex);
    return will;
}

Config Client::getConfig() const
{
    std::lock_guard<std::mutex> lock(settingsMutex);
    return config;
}

std::string Client::getLogName() const
{
    std::lock_guard<std::mutex> lock(settingsMutex);
    return logName;
}

void Client::setLogName(const std::string& name)
{
    std::lock_guard<std::mutex> lock(settingsMutex);
    logName = name;
}

Client::Settings Client::settings() const
{
    std::lock_guard<std::mutex> lock(settingsMutex);
    return Settings{config.getUrl(), root, config.getLogPayload(), config.getLogSubscriptions(),
                    config.getLogPublished(), config.getLogReceived()};
}

void Client::onConnected()
{
    CallbackScope scope(*this);
    if (!scope.live())
        return;
    {
        std::lock_guard<std::mutex> lock(workerMutex);
        attemptInFlight = false;
    }
    if (!running.load()) {
        // An attempt that was under way when the client stopped.
        std::lock_guard<std::mutex> lock(workerMutex);
        strayDisconnectPlanned = true;
        connectorWake.notify_one();
        return;
    }
    log(Log::Info, "Connected to broker: '%s'", settings().url.c_str());
    try {
        {
            std::lock_guard<std::mutex> lock(workerMutex);
            ++subscriptionThreads;
        }
        std::thread(&Client::subscriptionsThreadBody, this).detach();
    } catch (const std::system_error& e) {
        log(Log::Error, "Could not start the subscriptions thread: %s", e.what());
        std::lock_guard<std::mutex> lock(workerMutex);
        --subscriptionThreads;
    }
    connectedSemaphore.Post(1);
}

void Client::onDisconnected()
{
    CallbackScope scope(*this);
    if (!scope.live())
        return;
    log(Log::Info, "Disconnected from broker.");
    disconnected.emit();
    // Read before stop() is released: a restart's new start must not turn
    // the disconnect it asked for into a reconnection.
    const bool reconnectWanted = running.load();
    {
        std::lock_guard<std::mutex> lock(workerMutex);
        disconnectSeen = true;
        disconnectDone.notify_all();
    }
    if (reconnectWanted)
        scheduleReconnect();
}

void Client::onConnectFailed(const std::string& reason)
{
    CallbackScope scope(*this);
    if (!scope.live())
        return;
    log(Log::Error, "Connection failed (reason=%s).", reason.c_str());
    {
        std::lock_guard<std::mutex> lock(workerMutex);
        attemptInFlight = false;
    }
    if (running.load())
        scheduleReconnect();
}

void Client::onSubscribed(const std::string& topic)
{
    CallbackScope scope(*this);
    if (!scope.live())
        return;
    if (settings().logSubscriptions)
        log(Log::Info, "Subscribed to topic '%s'.", JsonText::cut(topic).c_str());
    subscribed.emit(topic);
}

void Client::onUnsubscribed(const std::string& topic)
{
    CallbackScope scope(*this);
    if (scope.live() && settings().logSubscriptions)
        log(Log::Info, "Unsubscribed from topic '%s'.", JsonText::cut(topic).c_str());
}

void Client::onSubscribeFailed(const std::string& topic)
{
    CallbackScope scope(*this);
    if (!scope.live())
        return;
    log(Log::Error, "Failed to subscribe to topic '%s'", JsonText::cut(topic).c_str());
    planRetry(topic, true);
}

void Client::onUnsubscribeFailed(const std::string& topic)
{
    CallbackScope scope(*this);
    if (!scope.live())
        return;
    log(Log::Error, "Failed to unsubscribe from topic '%s'", JsonText::cut(topic).c_str());
    planRetry(topic, false);
}

void Client::onMessageSent(int) {}

void Client::onMessageDelivered(int) {}

void Client::onMessageSendFailed(int id)
{
    CallbackScope scope(*this);
    if (scope.live())
        log(Log::Error, "Message send failed (id=%d).", id);
}

} // namespace MQTT
