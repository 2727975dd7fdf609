// The mirroring of the JSON objects and arrays that getters return as child
// nodes, and the bound on how many nodes one mirror may make. Each node costs
// six subscriptions, so the members that bring a mirror over kMaxMirrorNodes
// are cut: they keep their values but get no children, and with them no
// topics. The cut falls on the member that brings the bulk, never on an
// ancestor of members that fit, so that the nodes around it keep theirs.

#include "messaging/LambdaTree.h"

#include "messaging/JsonNesting.h"

#include "foundation/Log.h"
#include "foundation/Utils.h"

#include <queue>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

using nlohmann::json;

// MQTT gives "#", "+" and "/" a meaning inside a topic and forbids NUL and
// empty levels; a member under such a key stays inside its parent's value.
bool isTopicLevel(const std::string& key)
{
    static const std::string forbidden("#+/\0", 4);
    return !key.empty() && key.find_first_of(forbidden) == std::string::npos;
}

// Calls visit(key, member) for each member of value that becomes a node.
template <typename Visit>
void forEachNode(const json& value, Visit visit)
{
    size_t index = 0;
    for (auto member = value.begin(); member != value.end(); ++member, ++index) {
        const std::string key = value.is_object() ? member.key() : std::to_string(index);
        if (isTopicLevel(key))
            visit(key, *member);
    }
}

// Which members of a value to cut so that its mirror holds at most
// kMaxMirrorNodes nodes. The nodes below every member are counted once;
// each cut then walks down from the top along the widest member that has
// members, until the node whose own members make up at least half of the
// nodes below it, or pass the bound by themselves, and cuts that node. A cut
// below a member that a later cut takes whole does not stand.
class MirrorCuts
{
public:
    struct Cut
    {
        std::string path;
        const json* member;
        // All nodes below the member, those of earlier cuts included.
        size_t nodes;
    };

    MirrorCuts(const json& value, size_t levels)
    {
        if (!LambdaTree::tooWide(value))
            return;
        count(value, levels);
        std::vector<Cut> all;
        while (counts[&value].below > LambdaTree::kMaxMirrorNodes)
            all.push_back(cutOne(value));
        keepOutermost(all);
    }

    const std::unordered_set<const json*>& members() const { return cutMembers; }
    // In the order they were cut; the top itself has the empty path.
    const std::vector<Cut>& cuts() const { return cutList; }

private:
    // A member as its parent ranks it: by the nodes below it when ranked,
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
        size_t members = 0;
        // The members that have members, widest first; an entry whose count
        // is no longer the member's is stale and skipped. Each cut walks
        // these heaps instead of every member, so thousands of cuts stay
        // cheap.
        std::priority_queue<Ranked> widest;
    };

    size_t count(const json& value, size_t levels)
    {
        if (!value.is_structured() || levels == 0)
            return 0;
        Count here;
        forEachNode(value, [&](const std::string& key, const json& member) {
            const size_t below = count(member, levels - 1);
            if (below != 0)
                here.widest.push(Ranked{below, here.members, &member, key});
            ++here.members;
            here.below += 1 + below;
        });
        here.total = here.below;
        const size_t below = here.below;
        counts[&value] = std::move(here);
        return below;
    }

    // The widest member of here that has members; null when none has.
    const Ranked* widestOf(Count& here)
    {
        while (!here.widest.empty() && here.widest.top().below != counts[here.widest.top().member].below)
            here.widest.pop();
        return here.widest.empty() ? nullptr : &here.widest.top();
    }

    Cut cutOne(const json& top)
    {
        std::vector<Ranked> walked{Ranked{0, 0, &top, std::string()}};
        std::string path;
        for (;;) {
            const Count& here = counts[walked.back().member];
            if (here.members > LambdaTree::kMaxMirrorNodes || 2 * here.members >= here.below)
                break;
            const Ranked* widest = widestOf(counts[walked.back().member]);
            if (widest == nullptr)
                break;
            walked.push_back(*widest);
            path = Utils::combinePath(path, widest->key);
        }
        Count& cut = counts[walked.back().member];
        const size_t removed = cut.below;
        cut.members = 0;
        for (size_t step = walked.size(); step-- > 0;) {
            Ranked& node = walked[step];
            node.below = counts[node.member].below -= removed;
            if (step > 0 && node.below != 0)
                counts[walked[step - 1].member].widest.push(node);
        }
        return Cut{path, walked.back().member, cut.total};
    }

    // Keeps the cuts that no later cut holds; the top holds every other.
    void keepOutermost(const std::vector<Cut>& all)
    {
        std::unordered_set<std::string> paths;
        for (const Cut& cut : all)
            paths.insert(cut.path);
        for (const Cut& cut : all) {
            bool held = !cut.path.empty() && paths.count(std::string()) != 0;
            for (size_t slash = cut.path.find('/'); !held && slash != std::string::npos;
                 slash = cut.path.find('/', slash + 1))
                held = paths.count(cut.path.substr(0, slash)) != 0;
            if (held)
                continue;
            cutMembers.insert(cut.member);
            cutList.push_back(cut);
        }
    }

    std::unordered_map<const json*, Count> counts;
    std::unordered_set<const json*> cutMembers;
    std::vector<Cut> cutList;
};

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

bool LambdaTree::tooWide(const json& value)
{
    return countNodes(value, kMaxMirrorNodes) > kMaxMirrorNodes;
}

void LambdaTree::acceptJson(const json& json, uint8_t ability)
{
    const MirrorCuts plan(json, kMaxJsonNesting);
    mirror(json, ability, kMaxJsonNesting, plan.members());
    std::map<std::string, size_t> warned;
    const std::string top = plan.cuts().empty() ? std::string() : pathFromRoot();
    for (const auto& cut : plan.cuts()) {
        const size_t hash = std::hash<nlohmann::json>{}(*cut.member);
        const auto previous = cutWarnings.find(cut.path);
        if (previous == cutWarnings.end() || previous->second != hash) {
            Log::warning("[LambdaTree] '%s' holds %zu nodes; with them '%s' would hold more than %zu, so none "
                         "of them gets topics",
                         Utils::combinePath(top, cut.path).c_str(), cut.nodes, top.c_str(), kMaxMirrorNodes);
        }
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
