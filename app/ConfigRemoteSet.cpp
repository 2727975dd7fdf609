// The judging of remote sets of the configuration by what they would
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

// A measure after a set is within its bound, or no larger than before it.
bool within(size_t after, size_t before, size_t bound)
{
    return after <= bound || after <= before;
}

// The paths of a value after a set fit those before it.
bool pathsFit(const LambdaTree::Paths& after, const LambdaTree::Paths& before)
{
    return within(after.longest, before.longest, LambdaTree::kMaxNodePath) &&
           within(after.octets, before.octets, LambdaTree::kMaxMirrorPaths);
}

// The file's octets, the nodes and the paths of value.
Config::Size sizeOf(const json& value, size_t nodePath)
{
    const LambdaTree::Paths paths = LambdaTree::measurePaths(value, nodePath);
    return Config::Size{fileText(value).size(), LambdaTree::countNodes(value), paths.longest, paths.octets};
}

// Each field of a and b, the larger.
Config::Size larger(const Config::Size& a, const Config::Size& b)
{
    return Config::Size{std::max(a.octets, b.octets), std::max(a.nodes, b.nodes),
                        std::max(a.longestPath, b.longestPath), std::max(a.pathOctets, b.pathOctets)};
}

// The size of a configuration whose members are each either result's or
// current's: the larger of both, member by member.
Config::Size largerOf(const json& result, const json& current, size_t nodePath)
{
    if (!result.is_object() || !current.is_object()) {
        return larger(sizeOf(result, nodePath), sizeOf(current, nodePath));
    }
    // An object's text is its braces and each member's text as the object
    // {key: value} alone writes it, less that object's braces.
    Config::Size size{2, 0, 0, 0};
    const auto add = [&size, nodePath](const std::string& key, const json& after, const json& now) {
        const Config::Size part = larger(sizeOf(json{{key, after}}, nodePath), sizeOf(json{{key, now}}, nodePath));
        size.octets += part.octets - 2;
        size.nodes += part.nodes;
        size.longestPath = std::max(size.longestPath, part.longestPath);
        size.pathOctets += part.pathOctets;
    };
    for (auto member = result.begin(); member != result.end(); ++member) {
        const auto now = current.find(member.key());
        add(member.key(), *member, now == current.end() ? *member : *now);
    }
    for (auto member = current.begin(); member != current.end(); ++member) {
        if (!result.contains(member.key())) {
            add(member.key(), *member, *member);
        }
    }
    return size;
}

} // namespace

json Config::merge() const
{
    return combined([](const Observer& observer) { return observer.onConfigGet(); });
}

bool Config::Size::fits(const Size& now) const
{
    return within(octets, now.octets, kMaxRemoteFile) && within(nodes, now.nodes, LambdaTree::kMaxMirrorNodes) &&
           pathsFit({longestPath, pathOctets}, {now.longestPath, now.pathOctets});
}

std::pair<Config::Size, Config::Size> Config::remoteSetSizes(const json& value, size_t nodePath) const
{
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    // What configSet hands the observers.
    const json& applied = value.empty() ? mStored : value;
    const json result = combined([&applied](const Observer& observer) { return observer.onConfigPreview(applied); });
    // Now as the preview counts it: what may change before the set counts
    // alike in both.
    const json now = combined([&applied](const Observer& observer) { return observer.onConfigPreviewNow(applied); });
    return {sizeOf(now, nodePath), largerOf(result, now, nodePath)};
}

bool Config::admitsRemoteSet(const json& value, size_t nodePath) const
{
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    try {
        const json current = merge();
        const json& judged = value.empty() ? mStored : value;
        // The value's own paths are judged before the previews: the
        // components keep each setting under its whole path, so previewing
        // a value of long paths would take megabytes.
        if (holdsLongText(judged, current) ||
            !pathsFit(LambdaTree::measurePaths(judged, nodePath), LambdaTree::measurePaths(current, nodePath))) {
            return false;
        }
        const auto [now, after] = remoteSetSizes(value, nodePath);
        return after.fits(now);
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace tavo::Config
