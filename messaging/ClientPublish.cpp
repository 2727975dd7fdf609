#include "messaging/Client.h"

#include <cstdarg>
#include <vector>

#include "foundation/JsonText.h"
#include "foundation/String.h"
#include "foundation/Utils.h"
#include "messaging/PasswordMask.h"

namespace MQTT {

int Client::toMqttQos(QoS qos)
{
    switch (qos) {
    case QoS::AtLeastOnce:
        return 1;
    case QoS::ExactlyOnce:
        return 2;
    default:
        return 0;
    }
}

QoS Client::fromMqttQos(int qos)
{
    if (qos == 1)
        return QoS::AtLeastOnce;
    if (qos == 2)
        return QoS::ExactlyOnce;
    return QoS::AtMostOnce;
}

bool Client::publish(const Message& message, bool prefixBase)
{
    const Settings current = settings();
    const std::string topic = prefixBase ? Utils::combinePath(current.root, message.topic) : message.topic;
    const int qos = toMqttQos(message.qos);
    const bool retain = message.retained == Retained::Yes;
    publishing();
    connection->publish(topic, message.payload, qos, retain);
    if (current.logPublished && Log::enabled(Log::Info)) {
        const std::string payload = current.logPayload ? " : " + payloadForLog(topic, message.payload) : std::string();
        log(Log::Info, "Publishing%s message (qos=%d): %s%s", retain ? " retained" : "", qos,
            JsonText::cut(topic).c_str(), payload.c_str());
    }
    return true;
}

void Client::subscriptionsThreadBody()
{
    log(Log::Info, "Subscriptions thread started!");
    subscriptionFunction();
    // Later connections find the tree's topics in the tables.
    if (!alreadyUpdated.exchange(true))
        updateLambdaTreeSubscriptions("", false);
    log(Log::Info, "Subscriptions thread ended!");
    connected.emit();
    // Notified under the lock: once it is released the destructor may run.
    std::lock_guard<std::mutex> lock(workerMutex);
    --subscriptionThreads;
    subscriptionThreadsDone.notify_all();
}

void Client::subscriptionFunction()
{
    const Settings current = settings();
    std::vector<std::string> topics;
    {
        std::lock_guard<std::mutex> lock(mapsMutex);
        // Gives up as soon as the client is found stopped.
        auto add = [&](const char* what, const std::string& shown, const std::string& topic) {
            if (current.logSubscriptions)
                log(Log::Debug, "Subscribing to %s '%s'...", what, JsonText::cut(shown).c_str());
            topics.push_back(topic);
            return running.load();
        };
        if (!running.load())
            return;
        for (const auto& entry : externalCommands) {
            if (!add("external command", entry.first, entry.first))
                return;
        }
        for (const auto& entry : internalCommands) {
            const std::string full = Utils::combinePath(current.root, entry.first);
            if (!add("command", full, full))
                return;
        }
        for (const auto& entry : rpcHandlers) {
            const std::string root = Utils::combinePath(current.root, entry.first);
            for (const char* form : {"request/+", "request/+/+"}) {
                const std::string full = Utils::combinePath(root, form);
                if (!add("rpc", full, full))
                    return;
            }
        }
        for (const auto& target : expectedRpcs) {
            if (!add("expected rpc", target, Utils::combinePath(target, "/response/+")))
                return;
        }
        for (const auto& topic : expectedResponses) {
            if (!add("expected response", topic, topic))
                return;
        }
    }
    for (const auto& topic : topics)
        connection->subscribe(topic, 0);
}

void Client::log(Log::Level level, const char* fmt, ...) const
{
    const std::string format = String::format("[%s::Client] %s", getLogName().c_str(), fmt);
    va_list args;
    va_start(args, fmt);
    Log::vprint(level, format.c_str(), args);
    va_end(args);
}

} // namespace MQTT
