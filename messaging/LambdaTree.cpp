// The node model of LambdaTree: construction, copy and move with their
// signal slots, navigation by key and by path, and change callbacks.

#include "messaging/LambdaTree.h"

#include "messaging/LambdaTreePath.h"

#include "foundation/String.h"
#include "foundation/Utils.h"

#include <stdexcept>

LambdaTree::LambdaTree() = default;

LambdaTree::LambdaTree(const Getter& getter) : getter(getter), kind(Lambda), ability(Get) {}

LambdaTree::LambdaTree(const Getter& getter, const Setter& setter)
    : getter(getter), setter(setter), kind(Lambda), ability(Get | Set)
{
}

LambdaTree::LambdaTree(const Getter& getter, Signal<>& signal)
    : getter(getter), kind(Lambda), ability(Get | Notify), signal(&signal)
{
    bindSignal();
}

LambdaTree::LambdaTree(const Getter& getter, const Setter& setter, Signal<>& signal)
    : getter(getter), setter(setter), kind(Lambda), ability(Get | Set | Notify), signal(&signal)
{
    bindSignal();
}

LambdaTree::LambdaTree(const Children& children) : children(children)
{
    for (auto& entry : this->children) {
        entry.second.parent = this;
        ability |= entry.second.ability;
    }
}

LambdaTree::LambdaTree(const Children& children, bool abortOnError)
    : children(children), abortOnError(abortOnError), abortOnErrorFixed(true)
{
    for (auto& entry : this->children) {
        entry.second.setAbortOnError(abortOnError);
        entry.second.parent = this;
        ability |= entry.second.ability;
    }
}

LambdaTree::LambdaTree(uint8_t ability, const nlohmann::json& value)
    : value(value), kind(value.is_structured() ? JsonBranch : JsonLeaf), ability(ability)
{
    acceptJson(value, ability);
}

LambdaTree::LambdaTree(const LambdaTree& other)
    : children(other.children), getter(other.getter), setter(other.setter), value(other.value),
      kind(other.kind), ability(other.ability), abortOnError(other.abortOnError),
      abortOnErrorFixed(other.abortOnErrorFixed), signal(other.signal), bound(other.bound),
      cutWarnings(other.cutWarnings)
{
    {
        std::lock_guard<std::mutex> guard(other.callbacksMutex);
        lastCallbackId = other.lastCallbackId;
        callbacks = other.callbacks;
    }
    adoptChildren();
    bindSignal();
}

LambdaTree::LambdaTree(LambdaTree&& other)
{
    other.unbindSignal();
    swap(*this, other);
    bindSignal();
}

LambdaTree& LambdaTree::operator=(LambdaTree other)
{
    LambdaTree* kept = parent.load();
    swap(*this, other);
    parent = kept;
    // The argument's slot calls the argument; this node needs its own.
    unbindSignal();
    bindSignal();
    if (kept != nullptr)
        kept->ability |= ability;
    return *this;
}

LambdaTree::~LambdaTree()
{
    unbindSignal();
    // Children first: one that is being notified still reaches this node.
    children.clear();
}

void swap(LambdaTree& a, LambdaTree& b)
{
    if (&a == &b)
        return;
    using std::swap;
    swap(a.children, b.children);
    swap(a.getter, b.getter);
    swap(a.setter, b.setter);
    swap(a.kind, b.kind);
    swap(a.ability, b.ability);
    swap(a.abortOnError, b.abortOnError);
    swap(a.abortOnErrorFixed, b.abortOnErrorFixed);
    {
        std::scoped_lock guard(a.callbacksMutex, b.callbacksMutex);
        swap(a.lastCallbackId, b.lastCallbackId);
        swap(a.callbacks, b.callbacks);
    }
    swap(a.value, b.value);
    b.parent = a.parent.exchange(b.parent.load());
    swap(a.signal, b.signal);
    swap(a.signalConnection, b.signalConnection);
    swap(a.bound, b.bound);
    swap(a.cutWarnings, b.cutWarnings);
    a.adoptChildren();
    b.adoptChildren();
}

void LambdaTree::bindSignal()
{
    signalConnection = signal != nullptr ? signal->connect_member(this, &LambdaTree::changed) : 0;
}

void LambdaTree::unbindSignal()
{
    if (signal != nullptr && signalConnection != 0)
        signal->disconnect(signalConnection);
    signalConnection = 0;
}

void LambdaTree::adoptChildren()
{
    for (auto& entry : children)
        entry.second.parent = this;
}

LambdaTree& LambdaTree::at(const std::string& key)
{
    return key.empty() ? *this : children.at(key);
}

const LambdaTree& LambdaTree::at(const std::string& key) const
{
    return key.empty() ? *this : children.at(key);
}

LambdaTree& LambdaTree::operator[](const std::string& key)
{
    if (key.empty())
        return *this;
    LambdaTree& child = children[key];
    child.parent = this;
    return child;
}

LambdaTree& LambdaTree::operator[](std::string&& key)
{
    if (key.empty())
        return *this;
    LambdaTree& child = children[std::move(key)];
    child.parent = this;
    return child;
}

std::pair<LambdaTree::iterator, bool> LambdaTree::insert(const Children::value_type& entry)
{
    ability |= entry.second.ability;
    auto result = children.insert(entry);
    result.first->second.parent = this;
    return result;
}

LambdaTree::iterator LambdaTree::insert(const_iterator hint, const Children::value_type& entry)
{
    ability |= entry.second.ability;
    auto result = children.insert(hint, entry);
    result->second.parent = this;
    return result;
}

LambdaTree::iterator LambdaTree::erase(const_iterator position)
{
    return children.erase(position);
}

LambdaTree::iterator LambdaTree::erase(const_iterator first, const_iterator last)
{
    return children.erase(first, last);
}

size_t LambdaTree::erase(const std::string& key)
{
    return children.erase(key);
}

LambdaTree& LambdaTree::target(const std::string& path, const std::string& from)
{
    return const_cast<LambdaTree&>(static_cast<const LambdaTree*>(this)->target(path, from));
}

const LambdaTree& LambdaTree::target(const std::string& path, const std::string& from) const
{
    std::string key;
    std::string rest;
    if (!LambdaTreePath::splitFirst(path, key, rest))
        return *this;
    auto child = children.find(key);
    if (child == children.end())
        throw std::runtime_error(
            String::format("LambdaTree::Target failed from %s to %s", from.c_str(), path.c_str()));
    return child->second.target(rest, Utils::combinePath(from, key));
}

bool LambdaTree::topicExists(const std::string& path) const
{
    std::string key;
    std::string rest;
    if (!LambdaTreePath::splitFirst(path, key, rest))
        return true;
    auto child = children.find(key);
    return child != children.end() && child->second.topicExists(rest);
}

nlohmann::json LambdaTree::get(const std::string& path) const
{
    return target(path, "").value;
}

nlohmann::json LambdaTree::getInternal() const
{
    return value;
}

void LambdaTree::setAbortOnError(bool abort)
{
    abortOnError = abort;
    for (auto& entry : children) {
        if (!entry.second.abortOnErrorFixed)
            entry.second.setAbortOnError(abort);
    }
}

uint64_t LambdaTree::connect(const std::string& path, const Callback& callback)
{
    LambdaTree& node = target(path, "");
    std::lock_guard<std::mutex> guard(node.callbacksMutex);
    node.callbacks[++node.lastCallbackId] = callback;
    return node.lastCallbackId;
}

bool LambdaTree::disconnect(const std::string& path, int id)
{
    LambdaTree& node = target(path, "");
    std::lock_guard<std::mutex> guard(node.callbacksMutex);
    return id > 0 && node.callbacks.erase(static_cast<uint64_t>(id)) > 0;
}

void LambdaTree::changed()
{
    for (LambdaTree* node = this; node != nullptr; node = node->parent.load()) {
        std::map<uint64_t, Callback> calls;
        {
            std::lock_guard<std::mutex> guard(node->callbacksMutex);
            calls = node->callbacks;
        }
        for (auto& entry : calls)
            entry.second();
    }
}
