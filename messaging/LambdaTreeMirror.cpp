// The mirroring of the JSON objects and arrays that getters return as child
// nodes, and the bounds on what one mirror may make. Each node costs six
// subscriptions of its path's length, so the members that bring a mirror
// over kMaxMirrorNodes nodes or kMaxMirrorPaths octets of paths are cut:
// they keep their values but get no children, and with them no topics. The
// cut falls on the member that brings the bulk, never on an ancestor of
// members that fit, so that the nodes around it keep theirs. A node whose
// members' paths would pass kMaxNodePath gets no children, and a member
// named as a level of the command topics gets no node at all.

#include "messaging/LambdaTree.h"

#include "messaging/JsonNesting.h"
#include "messaging/TopicText.h"

#include "foundation/JsonText.h"
#include "foundation/Log.h"
#include "foundation/Utils.h"

#include <algorithm>
#include <queue>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

using nlohmann::json;

// MQTT gives "#", "+" and "/" a meaning inside a topic, forbids empty levels
// and cannot carry some code points; a member under such a key stays inside
// its parent's value.
bool isTopicLevel(const std::string& key)
{
    return !key.empty() && key.find_first_of("#+/") == std::string::npos && MQTT::carriesCodePoints(key);
}

// A node of such a name would have its parent's get, set or monitor topic,
// and "request" would break the parsing of every RPC below it.
bool isCommandLevel(const std::string& key)
{
    return key == "get" || key == "set" || key == "monitor" || key == "request";
}

// The octets of a member's path: its parent's, a separator and its key; a
// top whose path is empty adds no separator.
size_t pathLength(size_t parent, const std::string& key)
{
    return parent == 0 ? key.size() : parent + 1 + key.size();
}

// Calls visit(key, member) for each member of value, under the key its
// path takes.
template <typename Visit>
void forEachMember(const json& value, Visit visit)
{
    size_t index = 0;
    for (auto member = value.begin(); member != value.end(); ++member, ++index)
        visit(value.is_object() ? member.key() : std::to_string(index), *member);
}

// Calls visit(key, member) for each member of value that becomes a node.
template <typename Visit>
void forEachNode(const json& value, Visit visit)
{
    forEachMember(value, [&visit](const std::string& key, const json& member) {
        if (isTopicLevel(key) && !isCommandLevel(key))
            visit(key, member);
    });
}

// One member that gets fewer nodes than its value holds, by path below the
// top (empty for the top itself).
struct Cut
{
    enum Reason { Nodes, Paths, LongPath, CommandName } reason;
    std::string path;
    const json* member;
    // Nodes, or octets of paths, below the member, those of earlier cuts
    // included; unused for the other reasons.
    size_t amount;
};

// The cuts by one measure, each node weighing one (nodes) or its path's
// octets (paths), so that the mirror weighs at most the bound. The weight
// below every member is counted once; each cut then walks down from the top
// along the heaviest member that has members, until the node whose own
// members make up at least half of the weight below it, or pass the bound by
// themselves, and cuts that node. The members in `cut` count as having no
// members.
class WeightCuts
{
public:
    WeightCuts(const json& top, size_t levels, size_t topLength, Cut::Reason reason,
               const std::unordered_set<const json*>& cut, std::vector<Cut>& out)
        : byPaths(reason == Cut::Paths), bound(byPaths ? LambdaTree::kMaxMirrorPaths : LambdaTree::kMaxMirrorNodes),
          excluded(cut)
    {
        count(top, levels, topLength);
        while (counts[&top].below > bound)
            out.push_back(cutOne(top, reason));
    }

private:
    // A member as its parent ranks it: by the weight below it when ranked,
    // then by its place among its siblings.
    struct Ranked
    {
        size_t below;
        size_t place;
        const json* member;
        std::string key;
        bool operator<(const Ranked& other) const
        {
            return below != other.below ? below < other.below : place > other.place;
        }
    };

    struct Count
    {
        size_t below = 0;
        size_t total = 0;
        size_t own = 0;
        size_t members = 0;
        // The members that have members, heaviest first; an entry whose
        // weight is no longer the member's is stale and skipped. Each cut
        // walks these heaps instead of every member, so thousands of cuts
        // stay cheap.
        std::priority_queue<Ranked> widest;
    };

    size_t count(const json& value, size_t levels, size_t length)
    {
        if (!value.is_structured() || levels == 0 || excluded.count(&value) != 0)
            return 0;
        Count here;
        forEachNode(value, [&](const std::string& key, const json& member) {
            const size_t memberLength = pathLength(length, key);
            const size_t weight = byPaths ? memberLength : 1;
            const size_t below = count(member, levels - 1, memberLength);
            if (below != 0)
                here.widest.push(Ranked{below, here.members, &member, key});
            ++here.members;
            here.own += weight;
            here.below += weight + below;
        });
        here.total = here.below;
        const size_t below = here.below;
        counts[&value] = std::move(here);
        return below;
    }

    // The heaviest member of here that has members; null when none has.
    const Ranked* widestOf(Count& here)
    {
        while (!here.widest.empty() && here.widest.top().below != counts[here.widest.top().member].below)
            here.widest.pop();
        return here.widest.empty() ? nullptr : &here.widest.top();
    }

    Cut cutOne(const json& top, Cut::Reason reason)
    {
        std::vector<Ranked> walked{Ranked{0, 0, &top, std::string()}};
        std::string path;
        for (;;) {
            const Count& here = counts[walked.back().member];
            if (here.own > bound || 2 * here.own >= here.below)
                break;
            const Ranked* widest = widestOf(counts[walked.back().member]);
            if (widest == nullptr)
                break;
            walked.push_back(*widest);
            path = Utils::combinePath(path, widest->key);
        }
        Count& cut = counts[walked.back().member];
        const size_t removed = cut.below;
        cut.own = 0;
        for (size_t step = walked.size(); step-- > 0;) {
            Ranked& node = walked[step];
            node.below = counts[node.member].below -= removed;
            if (step > 0 && node.below != 0)
                counts[walked[step - 1].member].widest.push(node);
        }
        return Cut{reason, path, walked.back().member, cut.total};
    }

    const bool byPaths;
    const size_t bound;
    const std::unordered_set<const json*>& excluded;
    std::unordered_map<const json*, Count> counts;
};

// Which members of a value to cut so that its mirror keeps every bound: the
// members named as command levels, the nodes whose members' paths would
// pass kMaxNodePath, then the cuts by nodes, then those by paths. A cut
// below a member that another cut takes whole does not stand.
class MirrorCuts
{
public:
    MirrorCuts(const json& value, size_t levels, size_t topLength)
    {
        std::vector<Cut> all;
        std::string path;
        const Totals totals = scan(value, levels, topLength, path, all);
        if (totals.nodes > LambdaTree::kMaxMirrorNodes)
            WeightCuts(value, levels, topLength, Cut::Nodes, cutMembers, all);
        if (totals.octets > LambdaTree::kMaxMirrorPaths) {
            for (const Cut& cut : all)
                cutMembers.insert(cut.member);
            WeightCuts(value, levels, topLength, Cut::Paths, cutMembers, all);
        }
        keepOutermost(all);
    }

    const std::unordered_set<const json*>& members() const { return cutMembers; }
    // In the order they were found; the top itself has the empty path.
    const std::vector<Cut>& cuts() const { return cutList; }

private:
    struct Totals
    {
        size_t nodes = 0;
        size_t octets = 0;
    };

    // Finds the command names and the long paths below value, whose path is
    // path (length octets from the root); returns the nodes and the octets
    // of paths the mirror would hold with those cuts alone.
    Totals scan(const json& value, size_t levels, size_t length, std::string& path, std::vector<Cut>& found)
    {
        Totals totals;
        if (!value.is_structured() || levels == 0)
            return totals;
        bool tooLong = false;
        forEachNode(value, [&](const std::string& key, const json&) {
            tooLong = tooLong || pathLength(length, key) > LambdaTree::kMaxNodePath;
        });
        if (tooLong) {
            found.push_back(Cut{Cut::LongPath, path, &value, 0});
            cutMembers.insert(&value);
            return totals;
        }
        forEachMember(value, [&](const std::string& key, const json& member) {
            if (!isTopicLevel(key))
                return;
            const size_t end = path.size();
            path += end == 0 ? key : "/" + key;
            if (isCommandLevel(key)) {
                found.push_back(Cut{Cut::CommandName, path, &member, 0});
            } else {
                const size_t memberLength = pathLength(length, key);
                const Totals below = scan(member, levels - 1, memberLength, path, found);
                totals.nodes += 1 + below.nodes;
                totals.octets += memberLength + below.octets;
            }
            path.resize(end);
        });
        return totals;
    }

    // Keeps the cuts that no other cut holds; the top holds every other.
    void keepOutermost(const std::vector<Cut>& all)
    {
        // Views into `all`, which outlives the set: no path is copied.
        std::unordered_set<std::string_view> paths;
        for (const Cut& cut : all) {
            if (cut.reason != Cut::CommandName)
                paths.insert(cut.path);
        }
        cutMembers.clear();
        for (const Cut& cut : all) {
            const std::string_view path(cut.path);
            bool held = !path.empty() && paths.count(std::string_view()) != 0;
            for (size_t slash = path.find('/'); !held && slash != std::string_view::npos;
                 slash = path.find('/', slash + 1))
                held = paths.count(path.substr(0, slash)) != 0;
            if (held)
                continue;
            if (cut.reason != Cut::CommandName)
                cutMembers.insert(cut.member);
            cutList.push_back(cut);
        }
    }

    std::unordered_set<const json*> cutMembers;
    std::vector<Cut> cutList;
};

// The warning for one cut; top is the path of the node mirrored.
void warn(const Cut& cut, const std::string& top)
{
    const std::string path = JsonText::cut(Utils::combinePath(top, cut.path));
    const std::string shownTop = JsonText::cut(top);
    switch (cut.reason) {
    case Cut::Nodes:
        Log::warning("[LambdaTree] '%s' holds %zu nodes; with them '%s' would hold more than %zu, so none of them "
                     "gets topics",
                     path.c_str(), cut.amount, shownTop.c_str(), LambdaTree::kMaxMirrorNodes);
        break;
    case Cut::Paths:
        Log::warning("[LambdaTree] '%s' holds paths of %zu octets; with them the paths of '%s' would pass %zu "
                     "octets, so none of them gets topics",
                     path.c_str(), cut.amount, shownTop.c_str(), LambdaTree::kMaxMirrorPaths);
        break;
    case Cut::LongPath:
        Log::warning("[LambdaTree] The members of '%s' get no topics: a path among them would pass %zu octets",
                     path.c_str(), LambdaTree::kMaxNodePath);
        break;
    case Cut::CommandName:
        Log::warning("[LambdaTree] '%s' gets no topics: its name is a level of the command topics", path.c_str());
        break;
    }
}

} // namespace

size_t LambdaTree::countNodes(const json& value, size_t limit)
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

LambdaTree::Paths LambdaTree::measurePaths(const json& value, size_t prefix)
{
    Paths paths{0, 0};
    if (!value.is_structured())
        return paths;
    forEachMember(value, [&paths, prefix](const std::string& key, const json& member) {
        const size_t length = pathLength(prefix, key);
        const Paths below = measurePaths(member, length);
        paths.longest = std::max({paths.longest, length, below.longest});
        paths.octets += length + below.octets;
    });
    return paths;
}

bool LambdaTree::tooWide(const json& value)
{
    return countNodes(value, kMaxMirrorNodes) > kMaxMirrorNodes;
}

void LambdaTree::acceptJson(const json& json, uint8_t ability)
{
    const std::string top = pathFromRoot();
    const MirrorCuts plan(json, kMaxJsonNesting, top.size());
    mirror(json, ability, kMaxJsonNesting, plan.members());
    std::map<std::string, size_t> warned;
    for (const auto& cut : plan.cuts()) {
        const size_t hash = std::hash<nlohmann::json>{}(*cut.member);
        const auto previous = cutWarnings.find(cut.path);
        if (previous == cutWarnings.end() || previous->second != hash)
            warn(cut, top);
        warned.emplace(cut.path, hash);
    }
    cutWarnings.swap(warned);
}

void LambdaTree::mirror(const json& json, uint8_t mirrorAbility, size_t levels,
                        const std::unordered_set<const nlohmann::json*>& cut)
{
    children.clear();
    if (!json.is_structured() || levels == 0 || cut.count(&json) != 0)
        return;
    forEachNode(json, [&](const std::string& key, const nlohmann::json& member) {
        LambdaTree& child = children[key];
        child.parent = this;
        child.kind = member.is_structured() ? JsonBranch : JsonLeaf;
        child.ability = mirrorAbility;
        child.value = member;
        child.mirror(member, mirrorAbility, levels - 1, cut);
    });
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
