// Registration of commands and RPCs, and the blocking calls rpc() and
// command().
#include "messaging/Client.h"

#include <future>

#include "foundation/JsonText.h"
#include "foundation/Utils.h"

namespace MQTT {

namespace {
// Waits for the future until the steady deadline, saturated: a time-out too
// long to add to the clock waits without limit.
bool waitReady(std::future<Message>& future, unsigned long timeoutMs)
{
    using namespace std::chrono;
    const auto now = steady_clock::now();
    const auto room = duration_cast<milliseconds>(steady_clock::time_point::max() - now).count() - 1;
    if (room <= 0 || timeoutMs >= static_cast<unsigned long>(room)) {
        future.wait();
        return true;
    }
    return future.wait_until(now + milliseconds(timeoutMs)) == std::future_status::ready;
}
} // namespace

bool Client::subscribeTopic(const char* what, const std::string& topic)
{
    if (settings().logSubscriptions)
        log(Log::Debug, "Subscribing to %s '%s'...", what, JsonText::cut(topic).c_str());
    return connection->subscribe(topic, 0);
}

bool Client::subscribeCommand(const std::string& topic, CommandHandler handler, bool internal)
{
    {
        std::lock_guard<std::mutex> lock(mapsMutex);
        (internal ? internalCommands : externalCommands).emplace(topic, std::move(handler));
    }
    if (!running.load())
        return true;
    return subscribeTopic("command", internal ? Utils::combinePath(settings().root, topic) : topic);
}

bool Client::unsubscribeCommand(const std::string& topic, bool internal)
{
    {
        std::lock_guard<std::mutex> lock(mapsMutex);
        if ((internal ? internalCommands : externalCommands).erase(topic) == 0)
            return false;
    }
    if (!running.load())
        return true;
    return connection->unsubscribe(internal ? Utils::combinePath(settings().root, topic) : topic);
}

bool Client::subscribeRpc(const std::string& name, RpcHandler handler)
{
    {
        std::lock_guard<std::mutex> lock(mapsMutex);
        rpcHandlers.emplace(name, std::move(handler));
    }
    if (!running.load())
        return true;
    const std::string root = Utils::combinePath(settings().root, name);
    const std::string one = Utils::combinePath(root, "request/+");
    const std::string two = Utils::combinePath(root, "request/+/+");
    if (settings().logSubscriptions) {
        log(Log::Debug, "Subscribing to rpc '%s'...", JsonText::cut(two).c_str());
        log(Log::Debug, "Subscribing to rpc '%s'...", JsonText::cut(one).c_str());
    }
    return connection->subscribe(one, 0) && connection->subscribe(two, 0);
}

bool Client::unsubscribeRpc(const std::string& name)
{
    {
        std::lock_guard<std::mutex> lock(mapsMutex);
        if (rpcHandlers.erase(name) == 0)
            return false;
    }
    if (!running.load())
        return true;
    const std::string root = Utils::combinePath(settings().root, name);
    return connection->unsubscribe(Utils::combinePath(root, "request/+")) &&
           connection->unsubscribe(Utils::combinePath(root, "request/+/+"));
}

bool Client::expect(std::set<std::string>& table, const std::string& key, const char* what,
                    const std::string& topic)
{
    {
        std::lock_guard<std::mutex> lock(mapsMutex);
        if (!table.insert(key).second)
            return true;
    }
    return !running.load() || subscribeTopic(what, topic);
}

bool Client::unexpect(std::set<std::string>& table, const std::string& key, const std::string& topic)
{
    {
        std::lock_guard<std::mutex> lock(mapsMutex);
        if (table.erase(key) == 0)
            return true;
    }
    return !running.load() || connection->unsubscribe(topic);
}

bool Client::subscribeExpectedRpc(const std::string& target)
{
    return expect(expectedRpcs, target, "expected rpc", Utils::combinePath(target, "/response/+"));
}

bool Client::unsubscribeExpectedRpc(const std::string& target)
{
    return unexpect(expectedRpcs, target, Utils::combinePath(target, "/response/+"));
}

bool Client::subscribeExpectedResponse(const std::string& topic)
{
    return expect(expectedResponses, topic, "expected response", topic);
}

bool Client::unsubscribeExpectedResponse(const std::string& topic)
{
    return unexpect(expectedResponses, topic, topic);
}

std::string Client::nextRpcId()
{
    std::lock_guard<std::mutex> lock(randomMutex);
    return std::to_string(distribution(randomEngine));
}

std::pair<bool, std::string> Client::rpc(const std::string& target, const std::string& payload,
                                         unsigned long timeoutMs)
{
    bool added = false;
    {
        std::lock_guard<std::mutex> lock(mapsMutex);
        added = expectedRpcs.count(target) == 0;
    }
    if (added)
        subscribeExpectedRpc(target);
    const std::string id = nextRpcId();
    const Message request(Utils::combinePath(target, "/request/" + id), payload, Retained::No, QoS::ExactlyOnce);
    const auto reply = awaitReply(rpcCallsMutex, rpcCalls, id, request, timeoutMs);
    if (added)
        unsubscribeExpectedRpc(target);
    return reply;
}

std::pair<bool, std::string> Client::command(const std::string& topic, const std::string& responseTopic,
                                             const std::string& payload, unsigned long timeoutMs)
{
    bool added = false;
    {
        std::lock_guard<std::mutex> lock(mapsMutex);
        added = expectedResponses.count(responseTopic) == 0;
    }
    if (added)
        subscribeExpectedResponse(responseTopic);
    const Message request(topic, payload, Retained::No, QoS::ExactlyOnce);
    const auto reply = awaitReply(commandCallsMutex, commandCalls, responseTopic, request, timeoutMs);
    if (added)
        unsubscribeExpectedResponse(responseTopic);
    return reply;
}

std::pair<bool, std::string> Client::awaitReply(std::mutex& callsMutex, PendingCalls& calls, const std::string& key,
                                                const Message& request, unsigned long timeoutMs)
{
    struct Waiter
    {
        std::promise<Message> promise;
        std::atomic<bool> answered{false};
    };
    auto waiter = std::make_shared<Waiter>();
    std::future<Message> future = waiter->promise.get_future();
    const Completion completion = std::make_shared<CommandHandler>([waiter](const Message& response) {
        if (!waiter->answered.exchange(true))
            waiter->promise.set_value(response);
    });
    {
        std::lock_guard<std::mutex> lock(callsMutex);
        calls[key] = completion;
    }
    publish(request, false);
    const bool ready = waitReady(future, timeoutMs);
    {
        // A later call under the same key may have replaced this one.
        std::lock_guard<std::mutex> lock(callsMutex);
        const auto entry = calls.find(key);
        if (entry != calls.end() && entry->second == completion)
            calls.erase(entry);
    }
    if (!ready)
        return {false, std::string()};
    return {true, future.get().payload};
}

} // namespace MQTT
