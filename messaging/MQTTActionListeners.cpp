#include "messaging/MQTTActionListeners.h"

#include <mqtt/token.h>

#include "foundation/Log.h"

namespace {
thread_local bool tLibraryThread = false;
} // namespace

void MQTTLibraryThread::mark()
{
    tLibraryThread = true;
}

bool MQTTLibraryThread::current()
{
    return tLibraryThread;
}

std::string MQTTActionListener::firstTopic(const mqtt::token& token)
{
    const mqtt::const_string_collection_ptr topics = token.get_topics();
    return topics && !topics->empty() ? (*topics)[0] : std::string();
}

std::string MQTTConnectListener::reason(int returnCode)
{
    switch (returnCode) {
    case 0: return "Connection accepted";
    case 1: return "Unacceptable protocol version";
    case 2: return "Identifier rejected";
    case 3: return "Service unavailable";
    case 4: return "Bad user name or password";
    case 5: return "Not authorized";
    case -1: return "Connection timeout";
    default: return "Unknown reason";
    }
}

void MQTTConnectListener::on_failure(const mqtt::token& token)
{
    MQTTLibraryThread::mark();
    if (MQTTClientListener* listener = target()) {
        listener->onConnectFailed(reason(token.get_return_code()));
    }
}

void MQTTConnectListener::on_success(const mqtt::token&)
{
    MQTTLibraryThread::mark();
}

void MQTTDisconnectListener::on_failure(const mqtt::token&)
{
    MQTTLibraryThread::mark();
    if (!retired()) {
        Log::error("[MQTTClient] Disconnect failed.");
    }
}

void MQTTDisconnectListener::on_success(const mqtt::token&)
{
    MQTTLibraryThread::mark();
    if (MQTTClientListener* listener = target()) {
        listener->onDisconnected();
    }
}

void MQTTSubscribeListener::on_failure(const mqtt::token& token)
{
    MQTTLibraryThread::mark();
    answered();
    if (MQTTClientListener* listener = target()) {
        listener->onSubscribeFailed(firstTopic(token));
    }
}

void MQTTSubscribeListener::on_success(const mqtt::token& token)
{
    MQTTLibraryThread::mark();
    answered();
    if (MQTTClientListener* listener = target()) {
        listener->onSubscribed(firstTopic(token));
    }
}

void MQTTUnSubscribeListener::on_failure(const mqtt::token& token)
{
    MQTTLibraryThread::mark();
    answered();
    if (MQTTClientListener* listener = target()) {
        listener->onUnsubscribeFailed(firstTopic(token));
    }
}

void MQTTUnSubscribeListener::on_success(const mqtt::token& token)
{
    MQTTLibraryThread::mark();
    answered();
    if (MQTTClientListener* listener = target()) {
        listener->onUnsubscribed(firstTopic(token));
    }
}

void MQTTPublishListener::on_failure(const mqtt::token& token)
{
    MQTTLibraryThread::mark();
    if (MQTTClientListener* listener = target()) {
        listener->onMessageSendFailed(token.get_message_id());
    }
}

void MQTTPublishListener::on_success(const mqtt::token& token)
{
    MQTTLibraryThread::mark();
    if (MQTTClientListener* listener = target()) {
        listener->onMessageSent(token.get_message_id());
    }
}
