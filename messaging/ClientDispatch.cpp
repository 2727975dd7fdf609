// Dispatch of every received message to a waiting command(), an internal or
// external command, an RPC handler or a waiting rpc().
#include "messaging/Client.h"

#include <algorithm>

#include "foundation/JsonText.h"
#include "foundation/String.h"
#include "foundation/Utils.h"
#include "messaging/PasswordMask.h"

namespace MQTT {

namespace {
// Received messages this thread is handling (a handler may stop the client).
thread_local int handlerDepth = 0;

// The answer to a message whose payload was too large to be taken.
const char* const kPayloadTooLarge = "Payload too large";

const std::string& keyOf(const std::string& key) { return key; }
template <typename Value>
const std::string& keyOf(const std::pair<const std::string, Value>& entry)
{
    return entry.first;
}

// The first entry (in key order) whose key, as a pattern, matches topic.
template <typename Table>
typename Table::const_iterator firstMatch(const Table& table, const std::string& topic)
{
    return std::find_if(table.begin(), table.end(),
                        [&topic](const auto& entry) { return Client::topicMatch(topic, keyOf(entry)); });
}
} // namespace

Client::Entry Client::enterHandler()
{
    std::lock_guard<std::mutex> lock(handlersMutex);
    if (messagesRefused)
        return droppedMessages++ == 0 ? Entry::FirstRefused : Entry::Refused;
    ++activeHandlers;
    ++handlerDepth;
    return Entry::Taken;
}

void Client::leaveHandler()
{
    std::lock_guard<std::mutex> lock(handlersMutex);
    --activeHandlers;
    --handlerDepth;
    handlersDone.notify_all();
}

void Client::refuseMessages(bool refuse)
{
    std::lock_guard<std::mutex> lock(handlersMutex);
    messagesRefused = refuse;
    droppedMessages = 0;
}

int Client::awaitHandlers(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock<std::mutex> lock(handlersMutex);
    handlersDone.wait_until(lock, deadline, [this] { return activeHandlers == handlerDepth; });
    return activeHandlers - handlerDepth;
}

void Client::onMessageReceived(const std::string& topic, const std::string& payload, int qos, bool retained)
{
    receive(Message(topic, payload, retained ? Retained::Yes : Retained::No, fromMqttQos(qos)));
}

void Client::onMessageTooLarge(const std::string& topic, size_t size, int qos, bool retained)
{
    Message message(topic, std::string(), retained ? Retained::Yes : Retained::No, fromMqttQos(qos));
    message.oversize = size;
    receive(message);
}

void Client::receive(const Message& message)
{
    const std::string& topic = message.topic;
    CallbackScope scope(*this);
    if (!scope.live())
        return;
    const Entry entry = enterHandler();
    if (entry != Entry::Taken) {
        // Once per stop: a peer that keeps sending would flood the log.
        if (entry == Entry::FirstRefused)
            log(Log::Debug, "Stopping: dropped the message on '%s' and drop all that follow.",
                JsonText::cut(topic).c_str());
        return;
    }
    // Left however the handling ends.
    struct Leave {
        Client& client;
        ~Leave() { client.leaveHandler(); }
    } leave{*this};
    const Settings current = settings();
    if (current.logReceived && Log::enabled(Log::Info)) {
        const std::string shown = !current.logPayload ? std::string()
                                  : message.oversize  ? String::format(" : (%zu octets)", message.oversize)
                                                      : " : " + payloadForLog(topic, message.payload);
        log(Log::Info, "%s message received (qos=%d): %s%s", message.retained == Retained::Yes ? "Retained" : "New",
            toMqttQos(message.qos), JsonText::cut(topic).c_str(), shown.c_str());
    }
    try {
        if (handleReceivedCommandResponse(message) || handleReceivedCommandInternal(message) ||
            handleReceivedCommandExternal(message) || handleReceivedRpcRequest(message) ||
            handleReceivedRpcResponse(message))
            return;
        publish(makeErrorMessage("Unknown topic", topic), true);
    } catch (const std::exception& e) {
        publish(makeErrorMessage(e.what(), topic), true);
    }
}

bool Client::handleReceivedCommandResponse(const Message& message)
{
    Completion completion;
    {
        std::lock_guard<std::mutex> lock(commandCallsMutex);
        const auto entry = firstMatch(commandCalls, message.topic);
        if (entry == commandCalls.end())
            return false;
        log(Log::Debug, "Detected command response '%s'", JsonText::cut(entry->first).c_str());
        completion = entry->second;
    }
    if (!refusedOversize(message, message.topic))
        (*completion)(message);
    return true;
}

bool Client::refusedOversize(const Message& message, const std::string& topic)
{
    if (message.oversize == 0)
        return false;
    // MQTTClient has logged the message's refusal.
    publish(errorMessage(kPayloadTooLarge, topic), true);
    return true;
}

Client::CommandHandler Client::findCommand(const CommandTable& table, const std::string& topic, const char* what)
{
    std::lock_guard<std::mutex> lock(mapsMutex);
    const auto entry = firstMatch(table, topic);
    if (entry == table.end())
        return nullptr;
    log(Log::Debug, "Detected %s '%s'", what, JsonText::cut(entry->first).c_str());
    return entry->second;
}

bool Client::handleReceivedCommandInternal(const Message& message)
{
    const std::string relative = removeTopicPart(message.topic, settings().root);
    const CommandHandler handler = findCommand(internalCommands, relative, "internal command");
    if (!handler)
        return false;
    if (!refusedOversize(message, relative))
        handler(Message(relative, message.payload, message.retained, message.qos));
    return true;
}

bool Client::handleReceivedCommandExternal(const Message& message)
{
    const CommandHandler handler = findCommand(externalCommands, message.topic, "command");
    if (!handler)
        return false;
    if (!refusedOversize(message, message.topic))
        handler(message);
    return true;
}

bool Client::handleReceivedRpcRequest(const Message& message)
{
    const RpcData request = parseRpcTopicRequest(message.topic);
    if (request.name.empty())
        return false;
    RpcHandler handler;
    {
        std::lock_guard<std::mutex> lock(mapsMutex);
        const auto entry = firstMatch(rpcHandlers, request.name);
        if (entry == rpcHandlers.end())
            return false;
        handler = entry->second;
    }
    log(Log::Debug, "Detected RPC command '%s' with id '%s' from issuer '%s'", JsonText::cut(request.name).c_str(),
        JsonText::cut(request.id).c_str(), JsonText::cut(request.issuer).c_str());
    const std::string replyTopic = Utils::combinePath(request.name, "/response/") +
                                   (request.issuer.empty() ? "" : request.issuer + "/") + request.id;
    std::string reply;
    try {
        reply = message.oversize ? makeRpcFailed({{"description", kPayloadTooLarge}}, nullptr)
                                 : handler(request.name, message.payload, request.id);
    } catch (const std::exception& e) {
        reply = makeRpcFailed({{"description", e.what()}}, nullptr);
    }
    publish(Message(replyTopic, reply, Retained::No, message.qos), true);
    return true;
}

bool Client::handleReceivedRpcResponse(const Message& message)
{
    const RpcData response = parseRpcTopicResponse(message.topic);
    if (response.id.empty())
        return false;
    {
        std::lock_guard<std::mutex> lock(mapsMutex);
        if (firstMatch(expectedRpcs, response.name) == expectedRpcs.end())
            return false;
    }
    Completion completion;
    {
        std::lock_guard<std::mutex> lock(rpcCallsMutex);
        const auto entry = rpcCalls.find(response.id);
        if (entry != rpcCalls.end())
            completion = entry->second;
    }
    if (!completion) {
        log(Log::Debug, "Detected RPC response '%s' with unexpected id '%s', ignoring...",
            JsonText::cut(response.name).c_str(), JsonText::cut(response.id).c_str());
        return true;
    }
    log(Log::Debug, "Detected RPC response '%s' with id '%s'", JsonText::cut(response.name).c_str(),
        JsonText::cut(response.id).c_str());
    if (!refusedOversize(message, message.topic))
        (*completion)(message);
    return true;
}

} // namespace MQTT
