// The judging of remote sets of the "config" node by what they would
// really leave: the observers' previews, not an estimate of the setter.

#include "app/Config.h"

#include <algorithm>
#include <exception>
#include <map>

#include "messaging/LambdaTree.h"

namespace tavo::Config {

namespace {

using nlohmann::json;

// Calls found(path, octets, isName) for each text and member name in value
// longer than the remote bound; path is the key path the settings store it
// under (a member name's is its object's), built on the path given.
template <typename Found>
void forEachLongText(const json& value, std::string& path, const Found& found)
{
    if (value.is_string()) {
        const size_t octets = value.get_ref<const std::string&>().size();
        if (octets > Config::kMaxRemoteText) {
            found(path, octets, false);
        }
        return;
    }
    const size_t length = path.size();
    size_t index = 0;
    for (auto member = value.begin(); value.is_structured() && member != value.end(); ++member, ++index) {
        const std::string key = value.is_object() ? member.key() : std::to_string(index);
        if (key.size() > Config::kMaxRemoteText) {
            found(path, key.size(), true);
        }
        // The settings drop empty components.
        if (!key.empty()) {
            path += path.empty() ? key : "/" + key;
        }
        forEachLongText(*member, path, found);
        path.resize(length);
    }
}

// True when value holds a long text or member name where current holds none
// at least as long at the same key path.
bool holdsLongText(const json& value, const json& current)
{
    std::map<std::pair<std::string, bool>, size_t> held;
    std::string path;
    forEachLongText(current, path, [&held](const std::string& at, size_t octets, bool name) {
        size_t& longest = held[{at, name}];
        longest = std::max(longest, octets);
    });
    bool longer = false;
    forEachLongText(value, path, [&held, &longer](const std::string& at, size_t octets, bool name) {
        const auto longest = held.find({at, name});
        longer = longer || longest == held.end() || longest->second < octets;
    });
    return longer;
}

// The file's octets and the nodes of one member {key: value} of the
// configuration, as they add up in the whole: the whole object's text is
// "{}" plus each member's text between its braces.
Config::Size memberSize(const std::string& key, const json& value)
{
    return Config::Size{fileText(json{{key, value}}).size() - 2, 1 + LambdaTree::countNodes(value)};
}

// The size of a configuration whose members are each either result's or
// current's: the larger of both, member by member.
Config::Size largerOf(const json& result, const json& current)
{
    if (!result.is_object() || !current.is_object()) {
        return Config::Size{std::max(fileText(result).size(), fileText(current).size()),
                            std::max(LambdaTree::countNodes(result), LambdaTree::countNodes(current))};
    }
    Config::Size size{2, 0};
    const auto add = [&size](const Config::Size& a, const Config::Size& b) {
        size.octets += std::max(a.octets, b.octets);
        size.nodes += std::max(a.nodes, b.nodes);
    };
    for (auto member = result.begin(); member != result.end(); ++member) {
        const auto now = current.find(member.key());
        const Config::Size after = memberSize(member.key(), *member);
        add(after, now == current.end() ? after : memberSize(now.key(), *now));
    }
    for (auto member = current.begin(); member != current.end(); ++member) {
        if (!result.contains(member.key())) {
            const Config::Size now = memberSize(member.key(), *member);
            add(now, now);
        }
    }
    return size;
}

} // namespace

json Config::merge() const
{
    return combined([](const Observer& observer) { return observer.onConfigGet(); });
}

std::pair<Config::Size, Config::Size> Config::remoteSetSizes(const json& value) const
{
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    // What configSet hands the observers.
    const json& applied = value.empty() ? mStored : value;
    const json result = combined([&applied](const Observer& observer) { return observer.onConfigPreview(applied); });
    // Now as the preview counts it: what may change before the set counts
    // alike in both.
    const json now = combined([&applied](const Observer& observer) { return observer.onConfigPreviewNow(applied); });
    return {largerOf(now, now), largerOf(result, now)};
}

bool Config::admitsRemoteSet(const json& value) const
{
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    try {
        const json current = merge();
        if (holdsLongText(value.empty() ? mStored : value, current)) {
            return false;
        }
        const auto [now, after] = remoteSetSizes(value);
        return (after.octets <= kMaxRemoteFile || after.octets <= now.octets) &&
               (after.nodes <= LambdaTree::kMaxMirrorNodes || after.nodes <= now.nodes);
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace tavo::Config
