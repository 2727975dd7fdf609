// Get, set and monitor requests for LambdaTree nodes, in their plain and
// RPC forms, and the throttled publication of monitored changes.
#include "messaging/Client.h"

#include <limits>

#include "foundation/JsonText.h"
#include "messaging/JsonNesting.h"
#include "messaging/PasswordMask.h"

namespace MQTT {

namespace {
const char* const kMalformedJson = "Malformed json";
const char* const kActiveNotBoolean = "'active' must be boolean";
// Its members would not all become nodes, or its node's own bound refuses
// it, so the value is not taken.
const char* const kValueTooWide = "Value too wide";
// The process stop has begun: a set now could be acknowledged and then lost.
const char* const kStopping = "Stopping";
} // namespace

bool Client::parsePayload(const std::string& payload, nlohmann::json& value)
{
    if (jsonNestingExceeds(payload))
        return false;
    value = nlohmann::json::parse(payload, nullptr, false);
    return !value.is_discarded();
}

nlohmann::json Client::errorsObject(const LambdaTree::ErrorMap& errors)
{
    nlohmann::json object = nlohmann::json::object();
    for (const auto& entry : errors)
        object[entry.first] = entry.second;
    return object;
}

void Client::handleLambdaTreeGet(const std::string& path, const Message&)
{
    TreeLock lock(*this);
    const LambdaTree::ErrorMap errors = tree.update(path);
    if (!errors.empty())
        publish(makeErrorMessage(errorsObject(errors), path), true);
    publish(Message(path, toText(tree.get(path)), Retained::No, QoS::AtMostOnce), true);
}

void Client::handleLambdaTreeSet(const std::string& path, const Message& message)
{
    if (message.payload.empty()) {
        publishLambdaTreeNode(path, Retained::No, QoS::AtMostOnce);
        return;
    }
    nlohmann::json value;
    if (!parsePayload(message.payload, value)) {
        publish(makeErrorMessage(kMalformedJson, message.topic), true);
        return;
    }
    TreeLock lock(*this);
    if (processStopping.load()) {
        publish(makeErrorMessage(kStopping, message.topic), true);
        return;
    }
    if (!tree.setFits(path, value)) {
        publish(makeErrorMessage(kValueTooWide, message.topic), true);
        return;
    }
    const LambdaTree::ErrorMap errors = tree.set(path, value);
    if (!errors.empty())
        publish(makeErrorMessage(errorsObject(errors), message.topic), true);
    log(Log::Debug, "Publishing node '%s'", JsonText::cut(path).c_str());
    publishLambdaTreeNode(path, Retained::No, QoS::AtMostOnce);
}

void Client::handleLambdaTreeMonitor(const std::string& path, const Message& message)
{
    const MonitorRequest request = parseMonitorRequest(message.payload);
    if (request.outcome != MonitorRequest::Valid) {
        const char* error = request.outcome == MonitorRequest::MalformedJson ? kMalformedJson : kActiveNotBoolean;
        publish(makeErrorMessage(error, message.topic), true);
        return;
    }
    applyMonitor(path, request, PlainMonitor);
}

std::string Client::handleLambdaTreeRpcGet(const std::string& path, const std::string&, const std::string& payload,
                                           const std::string&)
{
    if (Log::enabled(Log::Debug))
        log(Log::Debug, "Handling LambdaTree RPC '%s' '%s'", JsonText::cut(path).c_str(),
            payloadForLog(path, payload).c_str());
    TreeLock lock(*this);
    const LambdaTree::ErrorMap errors = tree.update(path);
    const nlohmann::json value = tree.get(path);
    return errors.empty() ? makeRpcCompleted(value) : makeRpcFailed(errorsObject(errors), value);
}

std::string Client::handleLambdaTreeRpcSet(const std::string& path, const std::string&, const std::string& payload,
                                           const std::string&)
{
    if (Log::enabled(Log::Debug))
        log(Log::Debug, "Handling LambdaTree RPC '%s' '%s'", JsonText::cut(path).c_str(),
            payloadForLog(path, payload).c_str());
    nlohmann::json value;
    if (!payload.empty() && !parsePayload(payload, value))
        return makeRpcFailed({{"description", kMalformedJson}}, nullptr);
    TreeLock lock(*this);
    // An empty payload asks for the value, as the plain form does.
    if (!payload.empty() && processStopping.load())
        return makeRpcFailed({{"description", kStopping}}, nullptr);
    if (!payload.empty() && !tree.setFits(path, value))
        return makeRpcFailed({{"description", kValueTooWide}}, nullptr);
    const LambdaTree::ErrorMap errors = payload.empty() ? LambdaTree::ErrorMap() : tree.set(path, value);
    publishLambdaTreeNode(path, Retained::No, QoS::AtMostOnce);
    const nlohmann::json current = tree.get(path);
    return errors.empty() ? makeRpcCompleted(current) : makeRpcFailed(errorsObject(errors), current);
}

std::string Client::handleLambdaTreeRpcMonitor(const std::string& path, const std::string&,
                                               const std::string& payload, const std::string&)
{
    const MonitorRequest request = parseMonitorRequest(payload);
    if (request.outcome != MonitorRequest::Valid) {
        const char* error = request.outcome == MonitorRequest::MalformedJson ? kMalformedJson : kActiveNotBoolean;
        return makeRpcFailed({{"description", error}}, nullptr);
    }
    applyMonitor(path, request, RpcMonitor);
    if (!request.active)
        return makeRpcCompleted({{"active", false}});
    return makeRpcCompleted({{"active", true}, {"skipChangesForMs", request.skipChangesForMs}});
}

Client::MonitorRequest Client::parseMonitorRequest(const std::string& payload)
{
    if (payload.empty())
        return {MonitorRequest::Valid, true, 0};
    nlohmann::json value;
    if (!parsePayload(payload, value))
        return {MonitorRequest::MalformedJson, false, 0};
    const auto active = value.is_object() ? value.find("active") : value.end();
    if (!value.is_object() || active == value.end() || !active->is_boolean())
        return {MonitorRequest::ActiveNotBoolean, false, 0};
    const auto skip = value.find("skipChangesForMs");
    const bool skipValid = skip != value.end() && skip->is_number_unsigned();
    return {MonitorRequest::Valid, active->get<bool>(), skipValid ? skip->get<size_t>() : 0};
}

void Client::applyMonitor(const std::string& path, const MonitorRequest& request, MonitorForm form)
{
    log(Log::Info, "Requested monitor %s '%s' (skipChangesForMs=%zums)", request.active ? "enable" : "disable",
        JsonText::cut(path).c_str(), request.skipChangesForMs);
    TreeLock lock(*this);
    const auto existing = monitors.find(path);
    if (!request.active)
        log(Log::Info, "Stopping monitor '%s'", JsonText::cut(path).c_str());
    else if (existing != monitors.end())
        log(Log::Warning, "Monitor '%s' already enabled. Disabling", JsonText::cut(path).c_str());
    if (existing != monitors.end()) {
        if (tree.topicExists(path))
            tree.disconnect(path, static_cast<int>(existing->second));
        monitors.erase(existing);
    }
    if (!request.active)
        return;
    log(Log::Info, "Activating monitor for '%s'", JsonText::cut(path).c_str());
    const size_t skip = request.skipChangesForMs;
    monitors[path] = tree.connect(path, [this, path, skip, form] { nodeChanged(path, skip, form); });
}

void Client::nodeChanged(const std::string& path, size_t skipChangesForMs, MonitorForm form)
{
    using namespace std::chrono;
    Throttle& throttle = throttles[form];
    {
        std::lock_guard<std::mutex> lock(throttle.mutex);
        if (!throttle.started) {
            throttle.started = true;
            throttle.previous = steady_clock::now();
        }
        const auto now = steady_clock::now();
        const uint64_t elapsed = static_cast<uint64_t>(duration_cast<nanoseconds>(now - throttle.previous).count());
        const uint64_t window = skipChangesForMs > std::numeric_limits<uint64_t>::max() / 1000000
                                    ? std::numeric_limits<uint64_t>::max()
                                    : static_cast<uint64_t>(skipChangesForMs) * 1000000;
        if (elapsed <= window)
            return;
        throttle.previous = now;
    }
    schedule([this, path] {
        log(Log::Debug, "Notified of change under %s. Notifying!", JsonText::cut(path).c_str());
        publishLambdaTreeNode(path, Retained::No, QoS::AtMostOnce);
    });
}

} // namespace MQTT
