// The LambdaTree's topics: mounting subtrees, keeping the get, set and
// monitor subscriptions in step with the nodes, publishing a node.
#include "messaging/Client.h"

#include <type_traits>
#include <unordered_set>

#include "foundation/JsonText.h"
#include "foundation/String.h"
#include "foundation/Utils.h"

namespace MQTT {

namespace {
// The entries of from that are not in other, in from's order; hashed, as a
// tree may have tens of thousands of topics.
std::vector<std::string> missingFrom(const std::vector<std::string>& from, const std::vector<std::string>& other)
{
    const std::unordered_set<std::string> others(other.begin(), other.end());
    std::vector<std::string> result;
    for (const auto& topic : from) {
        if (others.count(topic) == 0)
            result.push_back(topic);
    }
    return result;
}

// Node paths below path.
std::vector<std::string> nodePaths(const std::string& path, const std::vector<std::string>& topics)
{
    std::vector<std::string> nodes;
    for (const auto& topic : topics)
        nodes.push_back(Utils::combinePath(path, topic));
    return nodes;
}

// The three topic forms of a node and the handlers that serve them, in the
// order in which they are listed, dropped and added.
struct TreeForm
{
    uint8_t ability;
    const char* verb;
    const char* kind;
    void (Client::*command)(const std::string& path, const Message& message);
    std::string (Client::*rpc)(const std::string& path, const std::string& name, const std::string& payload,
                               const std::string& id);
};
const TreeForm kTreeForms[] = {
    {LambdaTree::Get, "get", "get", &Client::handleLambdaTreeGet, &Client::handleLambdaTreeRpcGet},
    {LambdaTree::Set, "set", "set", &Client::handleLambdaTreeSet, &Client::handleLambdaTreeRpcSet},
    {LambdaTree::Notify, "monitor", "notify", &Client::handleLambdaTreeMonitor, &Client::handleLambdaTreeRpcMonitor},
};
constexpr size_t kForms = std::size(kTreeForms);
} // namespace

bool Client::subscribeLambdaTree(const LambdaTree& subtree, const std::string& path)
{
    {
        TreeLock lock(*this);
        LambdaTree* node = &tree;
        for (const auto& key : String::tokenizeV(path, "/"))
            node = &(*node)[key];
        for (const auto& child : subtree)
            node->insert(child);
    }
    if (!running.load())
        return true;
    bool ok = true;
    for (const auto& child : subtree)
        ok = updateLambdaTreeSubscriptions(Utils::combinePath(path, child.first), true) && ok;
    return ok;
}

bool Client::unsubscribeLambdaTree(const std::string& path)
{
    const std::vector<std::string> keys = String::tokenizeV(path, "/");
    {
        TreeLock lock(*this);
        if (keys.empty() || !tree.topicExists(path))
            return false;
        TreeTopicChange change;
        for (size_t i = 0; i < kForms; ++i)
            change.gone[i] = nodePaths(path, tree.topicDump(path, kTreeForms[i].ability));
        LambdaTree* parent = &tree;
        for (size_t i = 0; i + 1 < keys.size(); ++i)
            parent = &parent->at(keys[i]);
        parent->erase(keys.back());
        // Their callbacks went with the nodes.
        for (auto entry = monitors.begin(); entry != monitors.end();)
            entry = tree.topicExists(entry->first) ? std::next(entry) : monitors.erase(entry);
        queueTreeTopics(std::move(change));
    }
    return mustDefer() || applyTreeTopicChanges();
}

bool Client::updateLambdaTreeSubscriptions(const std::string& path, bool diff)
{
    bool ok = true;
    {
        TreeLock lock(*this);
        if (tree.size() == 0 || (!path.empty() && !tree.topicExists(path)))
            return false;
        std::vector<std::string> before[kForms];
        if (diff) {
            for (size_t i = 0; i < kForms; ++i)
                before[i] = tree.topicDump(path, kTreeForms[i].ability);
        }
        log(Log::Debug, "Collected %d topics of '%s' before the update",
            static_cast<int>(before[0].size() + before[1].size() + before[2].size()), JsonText::cut(path).c_str());
        log(Log::Debug, "Calling update on '%s'...", JsonText::cut(path).c_str());
        ok = tree.update(path).empty();
        std::vector<std::string> after[kForms];
        for (size_t i = 0; i < kForms; ++i) {
            after[i] = tree.topicDump(path, kTreeForms[i].ability);
            log(Log::Debug, "Collected %d %s topics of '%s' after the update", static_cast<int>(after[i].size()),
                kTreeForms[i].kind, JsonText::cut(path).c_str());
        }
        TreeTopicChange change;
        log(Log::Debug, "Filtering topics to unsubscribe");
        for (size_t i = 0; i < kForms; ++i)
            change.gone[i] = nodePaths(path, missingFrom(before[i], after[i]));
        log(Log::Debug, "Filtering topics to subscribe");
        for (size_t i = 0; i < kForms; ++i)
            change.added[i] = nodePaths(path, missingFrom(after[i], before[i]));
        queueTreeTopics(std::move(change));
    }
    // Library threads and setters (under the tree lock) leave the
    // (un)subscriptions to the worker: they are many for a wide value, and
    // the library's threads take the tree lock in their callbacks.
    return (mustDefer() || applyTreeTopicChanges()) && ok;
}

void Client::queueTreeTopics(TreeTopicChange change)
{
    std::lock_guard<std::mutex> lock(workerMutex);
    treeTopicChanges.push_back(std::move(change));
    workerWake.notify_one();
}

bool Client::applyTreeTopicChanges()
{
    static_assert(std::extent<decltype(TreeTopicChange::gone)>::value == kForms, "one list per topic form");
    std::lock_guard<std::mutex> order(treeTopicsMutex);
    bool ok = true;
    for (;;) {
        TreeTopicChange change;
        {
            std::lock_guard<std::mutex> lock(workerMutex);
            if (treeTopicChanges.empty())
                return ok;
            change = std::move(treeTopicChanges.front());
            treeTopicChanges.pop_front();
        }
        log(Log::Debug, "Unsubscribing...");
        for (size_t i = 0; i < kForms; ++i)
            ok = unregisterTreeTopics(change.gone[i], i) && ok;
        log(Log::Debug, "Subscribing...");
        for (size_t i = 0; i < kForms; ++i)
            ok = registerTreeTopics(change.added[i], i) && ok;
    }
}

bool Client::registerTreeTopics(const std::vector<std::string>& nodes, size_t formIndex)
{
    const TreeForm& form = kTreeForms[formIndex];
    bool ok = true;
    for (const auto& node : nodes) {
        const std::string topic = Utils::combinePath(node, form.verb);
        const auto rpc = form.rpc;
        const auto command = form.command;
        ok = subscribeRpc(topic,
                          [this, node, rpc](const std::string& name, const std::string& payload,
                                            const std::string& id) { return (this->*rpc)(node, name, payload, id); }) &&
             ok;
        ok = subscribeCommand(topic, [this, node, command](const Message& m) { (this->*command)(node, m); }, true) &&
             ok;
    }
    return ok;
}

bool Client::unregisterTreeTopics(const std::vector<std::string>& nodes, size_t formIndex)
{
    const TreeForm& form = kTreeForms[formIndex];
    bool ok = true;
    for (const auto& node : nodes) {
        const std::string topic = Utils::combinePath(node, form.verb);
        ok = unsubscribeRpc(topic) && ok;
        ok = unsubscribeCommand(topic, true) && ok;
    }
    return ok;
}

bool Client::publishLambdaTreeNode(const std::string& path, Retained retained, QoS qos)
{
    // Published under the lock, so that values reach the broker in the order
    // the tree took them: a set's retained value is never overtaken by an
    // older one read before it.
    TreeLock lock(*this);
    if (!tree.topicExists(path))
        return false;
    tree.update(path);
    return publish(Message(path, toText(tree.get(path)), retained, qos), true);
}

} // namespace MQTT
