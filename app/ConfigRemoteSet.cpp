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

// The path of the "config" node, which every path of its mirror starts with.
const size_t kNodePath = std::string("config").size();

// True when value's own paths pass a bound where the configuration's do
// not, or pass it further. Judged before the previews: the components keep
// each setting under its whole path, so previewing such a value would take
// megabytes.
bool holdsLongPaths(const json& value, const json& current)
{
    const LambdaTree::Paths paths = LambdaTree::measurePaths(value, kNodePath);
    const LambdaTree::Paths now = LambdaTree::measurePaths(current, kNodePath);
    return (paths.longest > LambdaTree::kMaxNodePath && paths.longest > now.longest) ||
           (paths.octets > LambdaTree::kMaxMirrorPaths && paths.octets > now.octets);
}

// The file's octets, the nodes and the paths of one member {key: value} of
// the configuration, as they add up in the whole: the whole object's text
// is "{}" plus each member's text between its braces.
Config::Size memberSize(const std::string& key, const json& value)
{
    const LambdaTree::Paths paths = LambdaTree::measurePaths(json{{key, value}}, kNodePath);
    return Config::Size{fileText(json{{key, value}}).size() - 2, 1 + LambdaTree::countNodes(value), paths.longest,
                        paths.octets};
}

// The size of a configuration whose members are each either result's or
// current's: the larger of both, member by member.
Config::Size largerOf(const json& result, const json& current)
{
    if (!result.is_object() || !current.is_object()) {
        const LambdaTree::Paths after = LambdaTree::measurePaths(result, kNodePath);
        const LambdaTree::Paths now = LambdaTree::measurePaths(current, kNodePath);
        return Config::Size{std::max(fileText(result).size(), fileText(current).size()),
                            std::max(LambdaTree::countNodes(result), LambdaTree::countNodes(current)),
                            std::max(after.longest, now.longest), std::max(after.octets, now.octets)};
    }
    Config::Size size{2, 0, 0, 0};
    const auto add = [&size](const Config::Size& a, const Config::Size& b) {
        size.octets += std::max(a.octets, b.octets);
        size.nodes += std::max(a.nodes, b.nodes);
        size.longestPath = std::max({size.longestPath, a.longestPath, b.longestPath});
        size.pathOctets += std::max(a.pathOctets, b.pathOctets);
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
        const json& judged = value.empty() ? mStored : value;
        if (holdsLongText(judged, current) || holdsLongPaths(judged, current)) {
            return false;
        }
        const auto [now, after] = remoteSetSizes(value);
        return (after.octets <= kMaxRemoteFile || after.octets <= now.octets) &&
               (after.nodes <= LambdaTree::kMaxMirrorNodes || after.nodes <= now.nodes) &&
               (after.longestPath <= LambdaTree::kMaxNodePath || after.longestPath <= now.longestPath) &&
               (after.pathOctets <= LambdaTree::kMaxMirrorPaths || after.pathOctets <= now.pathOctets);
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace tavo::Config
