// The working side of LambdaTree: the set and update walk, the bound a set
// is judged by, the wrapping of values in paths and the topic listing.

#include "messaging/LambdaTree.h"

#include "messaging/LambdaTreePath.h"

#include "foundation/KeyPath.h"
#include "foundation/String.h"
#include "foundation/Utils.h"

#include <algorithm>
#include <exception>
#include <stdexcept>

namespace {

// A child's errors count as a failure unless each entry is plain true.
bool failed(const LambdaTree::ErrorMap& errors)
{
    for (const auto& entry : errors) {
        if (entry.second != nlohmann::json(true))
            return true;
    }
    return false;
}

// The member of value that the path names, made an object member where it
// names none; an array's element where a component is one of its indices.
nlohmann::json& memberAt(nlohmann::json& value, const std::string& path)
{
    nlohmann::json* member = &value;
    for (const auto& component : String::tokenizeV(path, "/")) {
        size_t index = 0;
        if (member->is_array() && KeyPath::arrayIndex(component, member->size(), index)) {
            member = &(*member)[index];
            continue;
        }
        if (!member->is_object())
            *member = nlohmann::json::object();
        member = &(*member)[component];
    }
    return *member;
}

// Folds value into target as a setter that replaces or one that merges may
// leave it, whichever is larger: objects keep the members value does not
// name, arrays the elements beyond its length; anything else is value.
void fold(nlohmann::json& target, const nlohmann::json& value)
{
    if (target.is_object() && value.is_object()) {
        for (auto member = value.begin(); member != value.end(); ++member)
            fold(target[member.key()], *member);
    } else if (target.is_array() && value.is_array()) {
        for (size_t i = 0; i < value.size(); ++i) {
            if (i < target.size())
                fold(target[i], value[i]);
            else
                target.push_back(value[i]);
        }
    } else {
        target = value;
    }
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

bool LambdaTree::setFits(const std::string& path, const nlohmann::json& value) const
{
    return fits(value, LambdaTreePath::trim(path), tooWide(value));
}

bool LambdaTree::fits(const nlohmann::json& part, const std::string& rest, bool wide) const
{
    if (kind == Lambda && setter) {
        if (bound) {
            // Cheap before the bound: a part wider than the bound and than
            // the node holds now cannot be a set that does not grow it.
            const size_t limit = std::max(kMaxMirrorNodes, countNodes(value));
            return countNodes(part, limit) <= limit && bound(wrap(rest, part));
        }
        if (wide)
            return false;
        nlohmann::json result = value;
        fold(memberAt(result, rest), part);
        return !tooWide(result) || countNodes(result) <= countNodes(value);
    }
    // Where no setter judges, no part of a value too wide as a whole passes.
    if (kind != Group)
        return !wide;
    std::string wanted;
    std::string childRest;
    if (LambdaTreePath::splitFirst(rest, wanted, childRest)) {
        const auto child = children.find(wanted);
        return child == children.end() ? !wide : child->second.fits(part, childRest, wide);
    }
    if (!part.is_object())
        return !wide;
    for (auto member = part.begin(); member != part.end(); ++member) {
        const auto child = children.find(member.key());
        if (child == children.end() ? wide : !child->second.fits(*member, "", wide))
            return false;
    }
    return true;
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
