// The working side of LambdaTree: the set and update walk, the wrapping of
// values in paths, the mirroring of JSON results and the topic listing.

#include "messaging/LambdaTree.h"

#include "messaging/JsonNesting.h"
#include "messaging/LambdaTreePath.h"

#include "foundation/Log.h"
#include "foundation/String.h"
#include "foundation/Utils.h"

#include <exception>
#include <stdexcept>

namespace {

// MQTT gives "#", "+" and "/" a meaning inside a topic and forbids NUL and
// empty levels; a member under such a key stays inside its parent's value.
bool isTopicLevel(const std::string& key)
{
    static const std::string forbidden("#+/\0", 4);
    return !key.empty() && key.find_first_of(forbidden) == std::string::npos;
}

// A child's errors count as a failure unless each entry is plain true.
bool failed(const LambdaTree::ErrorMap& errors)
{
    for (const auto& entry : errors) {
        if (entry.second != nlohmann::json(true))
            return true;
    }
    return false;
}

nlohmann::json exceptionValue(const std::exception& error)
{
    return nlohmann::json{{"exception", error.what()}};
}

} // namespace

LambdaTree::ErrorMap LambdaTree::set(const std::string& path, const nlohmann::json& value)
{
    nlohmann::json out;
    return updateInternal(out, NewValue{true, &value}, "", LambdaTreePath::trim(path));
}

LambdaTree::ErrorMap LambdaTree::update(const std::string& path)
{
    const nlohmann::json marker = nlohmann::json::object();
    nlohmann::json out;
    return updateInternal(out, NewValue{false, &marker}, "", LambdaTreePath::trim(path));
}

LambdaTree::ErrorMap LambdaTree::updateInternal(nlohmann::json& out, const NewValue& newValue,
                                                const std::string& topic, const std::string& rest)
{
    ErrorMap errors;
    if (kind == Group)
        errors = updateInternalLambdaGroup(out, newValue, topic, rest);
    else if (kind == Lambda)
        errors = updateInternalLambda(out, newValue, topic, rest);
    else
        throw std::runtime_error("impossible node");
    value = out;
    return errors;
}

LambdaTree::ErrorMap LambdaTree::updateInternalLambda(nlohmann::json& out, const NewValue& newValue,
                                                      const std::string& topic, const std::string& rest)
{
    Result setResult{true, nullptr};
    if (newValue.apply && setter) {
        try {
            setResult = setter(wrap(rest, *newValue.value));
        } catch (const std::exception& error) {
            setResult = {false, exceptionValue(error)};
        }
    }
    Result getResult{false, nullptr};
    try {
        getResult = getter();
    } catch (const std::exception& error) {
        getResult = {false, exceptionValue(error)};
    }
    out = getResult.first ? getResult.second : nlohmann::json();

    ErrorMap errors;
    if (!getResult.first)
        errors.emplace(topic, getResult.second);
    else if (!setResult.first)
        errors.emplace(topic, setResult.second);
    if (out.is_structured())
        acceptJson(out, ability);
    return errors;
}

LambdaTree::ErrorMap LambdaTree::updateInternalLambdaGroup(nlohmann::json& out, const NewValue& newValue,
                                                           const std::string& topic, const std::string& rest)
{
    std::string wanted;
    std::string childRest;
    bool byPath = LambdaTreePath::splitFirst(rest, wanted, childRest);
    ErrorMap errors;
    for (auto& entry : children) {
        const std::string& key = entry.first;
        NewValue childValue{newValue.apply, newValue.value};
        if (byPath) {
            if (key != wanted)
                continue;
        } else if (newValue.apply) {
            if (!newValue.value->is_object() || newValue.value->count(key) == 0)
                continue;
            childValue.value = &newValue.value->at(key);
        }
        if (out.is_null())
            out = nlohmann::json::object();
        nlohmann::json& slot = out[key];
        ErrorMap childErrors = entry.second.updateInternal(slot, childValue, Utils::combinePath(topic, key),
                                                           byPath ? childRest : std::string());
        errors.insert(childErrors.begin(), childErrors.end());
        if (abortOnError && failed(childErrors))
            break;
    }
    return errors;
}

nlohmann::json LambdaTree::wrap(const std::string& path, const nlohmann::json& value)
{
    std::vector<std::string> components = String::tokenizeV(path, "/");
    if (components.empty())
        return value;
    nlohmann::json wrapped;
    nlohmann::json* level = &wrapped;
    for (const auto& component : components)
        level = &(*level)[component];
    *level = value;
    return wrapped;
}

void LambdaTree::acceptJson(const nlohmann::json& json, uint8_t ability)
{
    mirror(json, ability, kMaxJsonNesting);
}

namespace {
// The members of value at all depths, counted until more than limit.
size_t countNodes(const nlohmann::json& value, size_t limit)
{
    size_t count = 0;
    if (!value.is_structured())
        return count;
    for (const auto& member : value) {
        count += 1 + countNodes(member, limit - count);
        if (count > limit)
            break;
    }
    return count;
}
} // namespace

bool LambdaTree::tooWide(const nlohmann::json& value)
{
    return countNodes(value, kMaxMirrorNodes) > kMaxMirrorNodes;
}

size_t LambdaTree::mirror(const nlohmann::json& json, uint8_t mirrorAbility, size_t levels)
{
    children.clear();
    if (!json.is_structured() || levels == 0)
        return 0;
    size_t nodes = 0;
    size_t index = 0;
    for (auto member = json.begin(); member != json.end(); ++member, ++index) {
        std::string key = json.is_object() ? member.key() : std::to_string(index);
        if (!isTopicLevel(key))
            continue;
        LambdaTree& child = children[key];
        child.parent = this;
        child.kind = member->is_structured() ? JsonBranch : JsonLeaf;
        child.ability = mirrorAbility;
        child.value = *member;
        nodes += 1 + child.mirror(*member, mirrorAbility, levels - 1);
        // Members that were cut count as one node each, so the cut falls on
        // the member that brings the bulk and its siblings keep their topics.
        if (nodes > kMaxMirrorNodes) {
            children.clear();
            Log::warning("[LambdaTree] '%s' holds more than %zu nodes; none of them gets topics",
                         pathFromRoot().c_str(), kMaxMirrorNodes);
            return 0;
        }
    }
    return nodes;
}

std::string LambdaTree::pathFromRoot() const
{
    std::string path;
    for (const LambdaTree* node = this; const LambdaTree* above = node->parent.load(); node = above) {
        for (const auto& entry : above->children) {
            if (&entry.second == node) {
                path = Utils::combinePath(entry.first, path);
                break;
            }
        }
    }
    return path;
}

std::vector<std::string> LambdaTree::topicDump(const std::string& path, uint8_t ability) const
{
    std::vector<std::string> topics;
    target(path, "").topicDumpInternal("", ability, topics);
    return topics;
}

void LambdaTree::topicDumpInternal(const std::string& prefix, uint8_t mask, std::vector<std::string>& topics) const
{
    for (const auto& entry : children)
        entry.second.topicDumpInternal(Utils::combinePath(prefix, entry.first), mask, topics);
    if ((ability & mask) != 0)
        topics.push_back(prefix);
}
