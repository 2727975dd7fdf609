// The mirroring of the JSON objects and arrays that getters return as child
// nodes, and the bounds on what one mirror may make. Each node costs six
// subscriptions of its path's length. A member becomes a node only when its
// name is a topic level, no level of the command topics, and its own path
// stays within kMaxNodePath. Then the members that bring a mirror over
// kMaxMirrorNodes nodes or kMaxMirrorPaths octets of paths are cut: they
// keep their values but get no children, and with them no topics. Every cut
// falls on the member that brings the excess, never on its parent or its
// siblings.

#include "messaging/LambdaTree.h"

#include "messaging/JsonNesting.h"
#include "messaging/TopicText.h"

#include "foundation/JsonText.h"
#include "foundation/Log.h"
#include "foundation/Utils.h"

#include <algorithm>
#include <queue>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

using nlohmann::json;

// The octets of a member's path: its parent's, a separator and its key; a
// top whose path is empty adds no separator.
size_t pathLength(size_t parent, const std::string& key)
{
    return parent == 0 ? key.size() : parent + 1 + key.size();
}

// Appends a member's level to its parent's path, as pathLength counts it.
void addLevel(std::string& path, const std::string& key)
{
    if (!path.empty())
        path += '/';
    path += key;
}

// What becomes of a member of a node whose path has `parent` octets.
enum class Fate { Node, NoLevel, CommandLevel, LongPath };

Fate fateOf(const std::string& key, size_t parent)
{
    // MQTT gives "#", "+" and "/" a meaning inside a topic, forbids empty
    // levels and cannot carry some code points.
    if (key.empty() || key.find_first_of("#+/") != std::string::npos || !MQTT::carriesCodePoints(key))
        return Fate::NoLevel;
    // Such a node would have its parent's get, set or monitor topic, and
    // "request" would break the parsing of every RPC below it.
    if (key == "get" || key == "set" || key == "monitor" || key == "request")
        return Fate::CommandLevel;
    return pathLength(parent, key) > LambdaTree::kMaxNodePath ? Fate::LongPath : Fate::Node;
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

// The measures a mirror is bounded by: each node weighs one, or the octets
// of its path.
enum class Measure { Nodes, Paths };

// A member cut by a measure, and what it weighed below it then.
struct WeightCut
{
    Measure measure;
    size_t weight;
};
using WeightCuts = std::unordered_map<const json*, WeightCut>;

// The weight below every member of a value, for the cuts by one measure;
// the members cut already weigh nothing below them.
class Weights
{
public:
    Weights(Measure measure, const WeightCuts& cut) : byPaths(measure == Measure::Paths), excluded(cut) {}

    size_t count(const json& value, size_t levels, size_t length)
    {
        if (!value.is_structured() || levels == 0 || excluded.count(&value) != 0)
            return 0;
        Count here;
        forEachMember(value, [&](const std::string& key, const json& member) {
            if (fateOf(key, length) != Fate::Node)
                return;
            const size_t memberLength = pathLength(length, key);
            const size_t weight = byPaths ? memberLength : 1;
            const size_t below = count(member, levels - 1, memberLength);
            if (below != 0)
                here.widest.push(Ranked{below, here.members, &member});
            ++here.members;
            here.own += weight;
            here.below += weight + below;
        });
        here.total = here.below;
        const size_t below = here.below;
        counts[&value] = std::move(here);
        return below;
    }

    size_t below(const json& value) { return counts[&value].below; }

    // Walks down from the top along the heaviest member that has members,
    // until the node whose own members make up at least half of the weight
    // below it, or pass the bound by themselves, and cuts that node; returns
    // it with its weight as first counted. Keeps the invariants of Count:
    // the cut node and each node above it on the walk lose its weight below,
    // and each of those above that still weighs something is ranked anew in
    // its parent's heap, which leaves its older entry stale.
    std::pair<const json*, size_t> cutOne(const json& top, size_t bound)
    {
        std::vector<Ranked> walked{Ranked{0, 0, &top}};
        for (;;) {
            Count& here = counts[walked.back().member];
            if (here.own > bound || 2 * here.own >= here.below)
                break;
            const Ranked* widest = widestOf(here);
            if (widest == nullptr)
                break;
            walked.push_back(*widest);
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
        return {walked.back().member, cut.total};
    }

private:
    // A member as its parent ranks it: by the weight below it when ranked,
    // then by its place among its siblings.
    struct Ranked
    {
        size_t below;
        size_t place;
        const json* member;
        bool operator<(const Ranked& other) const
        {
            return below != other.below ? below < other.below : place > other.place;
        }
    };

    // A counted value's weights. Only its members that become nodes weigh.
    struct Count
    {
        // The weight of every node at all depths below it, less what the
        // cuts so far took: zero once it is cut itself.
        size_t below = 0;
        // `below` as first counted, before any cut; the cut's warning names it.
        size_t total = 0;
        // The weight of its own members (not reduced by cuts below them,
        // which stay nodes); zero once it is cut.
        size_t own = 0;
        // Its members that became nodes, which gives each its place.
        size_t members = 0;
        // Its members whose `below` is not zero, heaviest first. Weights
        // only fall, so an entry whose `below` is no longer the member's is
        // stale for good and skipped; the member has a newer entry unless it
        // now weighs nothing below it. Each cut walks these heaps instead of
        // every member, so thousands of cuts stay cheap.
        std::priority_queue<Ranked> widest;
    };

    // The heaviest member of here that has members; null when none has.
    const Ranked* widestOf(Count& here)
    {
        while (!here.widest.empty() && here.widest.top().below != counts[here.widest.top().member].below)
            here.widest.pop();
        return here.widest.empty() ? nullptr : &here.widest.top();
    }

    const bool byPaths;
    const WeightCuts& excluded;
    std::unordered_map<const json*, Count> counts;
};

// Adds to `cuts` the members to cut so that the mirror of top, whose path
// has topLength octets, weighs at most bound by the measure.
void cutByWeight(const json& top, size_t topLength, Measure measure, size_t bound, WeightCuts& cuts)
{
    Weights weights(measure, cuts);
    weights.count(top, kMaxJsonNesting, topLength);
    while (weights.below(top) > bound) {
        const auto [member, weight] = weights.cutOne(top, bound);
        cuts.emplace(member, WeightCut{measure, weight});
    }
}

} // namespace

// The state of one acceptJson's walk: the cuts, the path of the node being
// mirrored, and the warnings, each given again only once the value it names
// changed.
struct LambdaTree::MirrorWalk
{
    uint8_t ability;
    const WeightCuts& cuts;
    const std::string& top;
    std::string path;
    const std::map<std::string, size_t>& warnedBefore;
    std::map<std::string, size_t> warned;

    // True when the warning about value at `at` is due.
    bool due(const std::string& at, const json& value)
    {
        const size_t hash = std::hash<json>{}(value);
        warned.emplace(at, hash);
        const auto before = warnedBefore.find(at);
        return before == warnedBefore.end() || before->second != hash;
    }

    void warnCut(const json& value, const WeightCut& cut)
    {
        if (!due(path, value))
            return;
        const std::string shown = JsonText::cut(path);
        const std::string shownTop = JsonText::cut(top);
        if (cut.measure == Measure::Nodes)
            Log::warning("[LambdaTree] '%s' holds %zu nodes; with them '%s' would hold more than %zu, so none of "
                         "them gets topics",
                         shown.c_str(), cut.weight, shownTop.c_str(), LambdaTree::kMaxMirrorNodes);
        else
            Log::warning("[LambdaTree] '%s' holds paths of %zu octets; with them the paths of '%s' would pass %zu "
                         "octets, so none of them gets topics",
                         shown.c_str(), cut.weight, shownTop.c_str(), LambdaTree::kMaxMirrorPaths);
    }

    void warnCommandLevel(const std::string& key, const json& member)
    {
        std::string at = path;
        addLevel(at, key);
        if (due(at, member))
            Log::warning("[LambdaTree] '%s' gets no topics: its name is a level of the command topics",
                         JsonText::cut(at).c_str());
    }

    void warnLongPaths(const json& value, size_t cut)
    {
        if (due(path, value))
            Log::warning("[LambdaTree] The members of '%s' whose paths would pass %zu octets get no topics: %zu "
                         "of %zu",
                         JsonText::cut(path).c_str(), LambdaTree::kMaxNodePath, cut, value.size());
    }
};

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
    WeightCuts cuts;
    // These counts take every member, node or not, so they bound the weights
    // from above: a value within them needs no cut, and most refreshes skip
    // the weighing.
    if (tooWide(json))
        cutByWeight(json, top.size(), Measure::Nodes, kMaxMirrorNodes, cuts);
    if (measurePaths(json, top.size()).octets > kMaxMirrorPaths)
        cutByWeight(json, top.size(), Measure::Paths, kMaxMirrorPaths, cuts);
    MirrorWalk walk{ability, cuts, top, top, cutWarnings, {}};
    mirror(json, kMaxJsonNesting, walk);
    cutWarnings.swap(walk.warned);
}

void LambdaTree::mirror(const nlohmann::json& json, size_t levels, MirrorWalk& walk)
{
    children.clear();
    if (!json.is_structured() || levels == 0)
        return;
    if (const auto cut = walk.cuts.find(&json); cut != walk.cuts.end()) {
        walk.warnCut(json, cut->second);
        return;
    }
    const size_t length = walk.path.size();
    size_t longPaths = 0;
    forEachMember(json, [&](const std::string& key, const nlohmann::json& member) {
        const Fate fate = fateOf(key, length);
        if (fate == Fate::CommandLevel)
            walk.warnCommandLevel(key, member);
        longPaths += fate == Fate::LongPath ? 1 : 0;
        if (fate != Fate::Node)
            return;
        LambdaTree& child = children[key];
        child.parent = this;
        child.kind = member.is_structured() ? JsonBranch : JsonLeaf;
        child.ability = walk.ability;
        child.value = member;
        addLevel(walk.path, key);
        child.mirror(member, levels - 1, walk);
        walk.path.resize(length);
    });
    if (longPaths != 0)
        walk.warnLongPaths(json, longPaths);
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
