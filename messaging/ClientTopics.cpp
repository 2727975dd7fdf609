// Topic parsing and matching, and the JSON payloads the client writes.
#include "messaging/Client.h"

#include "foundation/JsonText.h"
#include "foundation/String.h"

namespace MQTT {

namespace {
const std::string kRequest = "/request/";
const std::string kResponse = "/response/";

// Null, {} and [] carry nothing and are left out of replies.
bool carriesSomething(const nlohmann::json& value)
{
    return !(value.is_null() || ((value.is_object() || value.is_array()) && value.empty()));
}
} // namespace

Client::RpcData Client::parseRpcTopicRequest(const std::string& topic) const
{
    const std::string base = settings().root;
    if (topic.compare(0, base.size(), base) != 0)
        return {};
    // A separator follows the root, as Utils::combinePath joins them: none
    // after the empty root, and a root that ends in one needs no other.
    size_t nameStart = base.size();
    if (!base.empty() && nameStart < topic.size() && topic[nameStart] == '/')
        ++nameStart;
    else if (!base.empty() && base.back() != '/')
        return {};
    // The name ends at the first "/request/" below the root, which may hold
    // a level "request" itself.
    const size_t k = topic.find(kRequest, nameStart);
    if (k == std::string::npos || k == nameStart)
        return {};
    RpcData data;
    data.name = topic.substr(nameStart, k - nameStart);
    const std::string rest = topic.substr(k + kRequest.size());
    const size_t slash = rest.find('/');
    if (slash != std::string::npos) {
        data.issuer = rest.substr(0, slash);
        data.id = rest.substr(slash + 1);
        if (data.issuer.empty())
            return {};
    } else {
        data.id = rest;
        if (data.id.empty())
            return {};
    }
    return data;
}

Client::RpcData Client::parseRpcTopicResponse(const std::string& topic) const
{
    const size_t k = topic.find(kResponse);
    if (k == std::string::npos)
        return {};
    RpcData data;
    data.name = topic.substr(0, k);
    data.id = topic.substr(k + kResponse.size());
    return data;
}

std::string Client::removeTopicPart(const std::string& topic, const std::string& part)
{
    const size_t at = part.empty() ? std::string::npos : topic.find(part);
    if (at == std::string::npos)
        return topic;
    std::string result = topic;
    result.erase(at, part.size());
    for (size_t slashes = result.find("//"); slashes != std::string::npos; slashes = result.find("//"))
        result.erase(slashes, 1);
    if (!result.empty() && result[0] == '/')
        result.erase(0, 1);
    return result;
}

bool Client::topicMatch(const std::string& topic, const std::string& pattern)
{
    if (topic == pattern)
        return true;
    const bool endsInHash = !pattern.empty() && pattern.back() == '#';
    if (pattern.find('+') == std::string::npos) {
        if (!endsInHash)
            return false;
        std::string prefix = pattern.substr(0, pattern.size() - 1);
        if (!prefix.empty() && prefix.back() == '/')
            prefix.pop_back();
        return topic.compare(0, prefix.size(), prefix) == 0;
    }
    const std::vector<std::string> topicLevels = String::tokenizeV(topic, "/");
    const std::vector<std::string> patternLevels = String::tokenizeV(pattern, "/");
    if (topicLevels.size() != patternLevels.size() && !endsInHash)
        return false;
    if (patternLevels.empty())
        return true;
    if (topicLevels.size() < patternLevels.size())
        return false;
    for (size_t i = 0; i < patternLevels.size(); ++i) {
        const std::string& level = patternLevels[i];
        if (level.back() == '#')
            return true;
        if (level != topicLevels[i] && level.back() != '+')
            return false;
    }
    return true;
}

std::string Client::toText(const nlohmann::json& value)
{
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

Message Client::makeErrorMessage(const nlohmann::json& error, const std::string& topic) const
{
    log(Log::Warning, "Handling of topic '%s' failed: %s", JsonText::cut(topic).c_str(),
        JsonText::forLog(error).c_str());
    return errorMessage(error, topic);
}

Message Client::errorMessage(const nlohmann::json& error, const std::string& topic)
{
    const nlohmann::json payload = {{"command", topic}, {"error", error}};
    return Message("error", toText(payload), Retained::No, QoS::AtMostOnce);
}

std::string Client::makeRpcFailed(const nlohmann::json& error, const nlohmann::json& data)
{
    nlohmann::json reply = {{"completed", false}};
    if (carriesSomething(error))
        reply["error"] = error;
    if (carriesSomething(data))
        reply["data"] = data;
    return toText(reply);
}

std::string Client::makeRpcCompleted(const nlohmann::json& data)
{
    nlohmann::json reply = {{"completed", true}};
    if (carriesSomething(data))
        reply["data"] = data;
    return toText(reply);
}

} // namespace MQTT
