#pragma once
// LambdaTree: the tree of named values that the MQTT interface exposes. A
// node is a group of named children, a lambda node (a getter and optionally
// a setter), or one of the two kinds of node that mirror the JSON objects and
// arrays a getter returned, so that their members become paths of their own.
// Paths are "/"-separated child names below the node called on. Every node
// carries its abilities (get, set, notify) and may hold change callbacks,
// which fire when the node or a node below it reports a change.
//
// A node is a value: copies are deep, and children live by value in their
// parent's map, each pointing back at the node that holds it.
//
// Threading:
// - The tree has no lock of its own: its owner serialises structural changes,
//   set, update and reads.
// - A lambda node built with a Signal owns a slot in that signal, which calls
//   changed() on the node. Building, copying, moving, assigning and
//   destroying such a node takes the signal's mutex to add or remove the
//   slot, and destroying it waits for an emission in progress.
// - changed() runs on the thread that emits the signal, under the signal's
//   mutex. It walks up the parent pointers (atomic, as re-parenting may run
//   meanwhile) and calls each node's callbacks. `callbacksMutex` guards a
//   node's `callbacks` and `lastCallbackId`; changed() holds it only to copy
//   the callbacks, never while they run, so a callback disconnected during an
//   emission may still run once in that emission.
// - Lock order: a signal's mutex, then a node's callbacksMutex. A callback
//   runs under the signal's mutex, so it must not build, copy, move or assign
//   a node bound to that signal, nor take a lock whose holder does; nor may
//   it destroy the node being notified or an ancestor of it.
// - A destroyed node removes its own slot, then destroys its children before
//   anything else, so a child's changed() never reaches a half-destroyed
//   parent. Nodes may therefore be built, copied, inserted, erased and
//   destroyed while their signal emits; moving or assigning a subtree that
//   holds bound nodes re-parents them and must not race an emission.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/Signal.h"

class LambdaTree
{
public:
    // What a node offers; bits of an unsigned 8-bit mask.
    enum Ability : uint8_t { Get = 1, Set = 2, Notify = 4 };
    enum Kind : uint32_t { Group = 0, Lambda = 1, JsonBranch = 2, JsonLeaf = 3 };

    // A getter's or setter's outcome: success and the value, or failure and
    // the error's description.
    using Result = std::pair<bool, nlohmann::json>;
    using Getter = std::function<Result()>;
    using Setter = std::function<Result(const nlohmann::json&)>;
    using Callback = std::function<void()>;
    using Children = std::map<std::string, LambdaTree>;
    using iterator = Children::iterator;
    using const_iterator = Children::const_iterator;
    // Topic relative to the node called on -> the failing node's error value.
    using ErrorMap = std::map<std::string, nlohmann::json>;

    // A group with ability Get, no children and a null value.
    LambdaTree();
    // Lambda nodes: ability Get, with a setter also Set, with a signal also
    // Notify; a signal's emission calls changed() on the node.
    explicit LambdaTree(const Getter& getter);
    LambdaTree(const Getter& getter, const Setter& setter);
    LambdaTree(const Getter& getter, Signal<>& signal);
    LambdaTree(const Getter& getter, const Setter& setter, Signal<>& signal);
    // A group of copies of the children; ability Get OR theirs.
    explicit LambdaTree(const Children& children);
    // As above, and sets abortOnError on the whole group; a later
    // setAbortOnError of an ancestor leaves this group and its subtree alone.
    LambdaTree(const Children& children, bool abortOnError);
    // A JSON mirror: a branch with one child per member for an object or an
    // array, else a leaf; every node gets the ability.
    LambdaTree(uint8_t ability, const nlohmann::json& value);

    // Deep copy without parent; a bound copy gets a slot of its own.
    LambdaTree(const LambdaTree& other);
    // Takes over the content and the parent; the source becomes a default node.
    LambdaTree(LambdaTree&& other);
    // Replaces the whole content but keeps the parent, whose ability then
    // gains this node's.
    LambdaTree& operator=(LambdaTree other);
    ~LambdaTree();

    // Exchanges every field, re-parents the children; signal slots untouched.
    friend void swap(LambdaTree& a, LambdaTree& b);

    iterator begin() { return children.begin(); }
    iterator end() { return children.end(); }
    const_iterator begin() const { return children.begin(); }
    const_iterator end() const { return children.end(); }
    size_t size() const { return children.size(); }
    // One key, no path splitting; end() when absent.
    iterator find(const std::string& key) { return children.find(key); }
    const_iterator find(const std::string& key) const { return children.find(key); }

    // The child under key, this node for the empty key; throws
    // std::out_of_range when absent.
    LambdaTree& at(const std::string& key);
    const LambdaTree& at(const std::string& key) const;
    // The child under key, added as a default node when absent; this node for
    // the empty key. The node's ability is not changed.
    LambdaTree& operator[](const std::string& key);
    LambdaTree& operator[](std::string&& key);
    // Ors the node's ability into this one, then adds a copy under the key
    // unless the key exists already (the old child stays).
    std::pair<iterator, bool> insert(const Children::value_type& entry);
    iterator insert(const_iterator hint, const Children::value_type& entry);
    // Removal of children; the ability is not recomputed.
    iterator erase(const_iterator position);
    iterator erase(const_iterator first, const_iterator last);
    size_t erase(const std::string& key);

    // The node the path names below this one; `from` is the path walked so
    // far, for the message. Throws std::runtime_error
    // "LambdaTree::Target failed from <from> to <path>" for a missing child.
    LambdaTree& target(const std::string& path, const std::string& from);
    const LambdaTree& target(const std::string& path, const std::string& from) const;
    // True when the path names a node below this one (the empty path does).
    bool topicExists(const std::string& path) const;
    // The cached value at the path; calls no getter. Throws as target().
    nlohmann::json get(const std::string& path) const;
    nlohmann::json getInternal() const;

    Kind getKind() const { return kind; }
    uint8_t getAbility() const { return ability; }
    bool getAbortOnError() const { return abortOnError; }
    const LambdaTree* getParent() const { return parent.load(); }

    // Sets abortOnError here and below, skipping subtrees whose group was
    // built with an explicit flag.
    void setAbortOnError(bool abort);

    // Adds a change callback to the node at the path; returns its id, 1 for
    // the node's first. Throws as target().
    uint64_t connect(const std::string& path, const Callback& callback);
    // Removes the callback; true when there was one. Throws as target().
    bool disconnect(const std::string& path, int id);
    // Calls this node's callbacks in id order, then each ancestor's. An empty
    // callback throws std::bad_function_call. Runs on the emitting thread.
    void changed();

    // Writes the value at the path: each lambda node reached gets it wrapped
    // in the rest of the path, groups hand each child its member of an
    // object. Every visited node is then read back and cached. Returns the
    // failures by topic; empty on success.
    ErrorMap set(const std::string& path, const nlohmann::json& value);
    // Reads every lambda node at or below the path into the caches.
    ErrorMap update(const std::string& path);
    // The topics, relative to the node at the path, of it and every node below
    // it whose ability shares a bit with the mask; children before their
    // parent, siblings in key order. Throws as target().
    std::vector<std::string> topicDump(const std::string& path, uint8_t ability) const;
    // The value nested in one object level per path component.
    static nlohmann::json wrap(const std::string& path, const nlohmann::json& value);
    // Replaces the children by a mirror of an object's or an array's members,
    // kMaxJsonNesting levels deep at most. A member gets no node, and stays
    // inside its parent's value only, when its key cannot be a topic level
    // (empty, holding "#", "+" or "/", or a code point that
    // MQTT::carriesCodePoints refuses), when it is named "get", "set",
    // "monitor" or "request" (its topics would be another node's command
    // topics; one warning each), or when its own path from the root of the
    // tree passes kMaxNodePath octets (one warning per parent, naming how
    // many). While the mirror would hold more than kMaxMirrorNodes nodes,
    // members are cut, as deep as it takes: each cut walks from this node
    // down the widest member that has members, to the first node whose own
    // members make up at least half of the nodes below it (or pass the bound
    // by themselves), and cuts that one; then, while the paths of the nodes
    // would pass kMaxMirrorPaths octets together, the same by octets of
    // paths. A cut member keeps its value and gets no children, and nothing
    // below it is warned of; one warning names it (and what it holds). Each
    // warning is given again only once the value it names changed.
    void acceptJson(const nlohmann::json& json, uint8_t ability);
    // True when value holds more than kMaxMirrorNodes members at all depths.
    // Expects a value within kMaxJsonNesting.
    static bool tooWide(const nlohmann::json& value);
    // The members of value at all depths, counted until more than limit.
    static size_t countNodes(const nlohmann::json& value, size_t limit = SIZE_MAX);
    // The longest path and the octets of all paths of the members of value
    // at all depths, below a node whose path has `prefix` octets. Every
    // member counts, a node or not, so a mirror's paths are at most these.
    struct Paths
    {
        size_t longest;
        size_t octets;
    };
    static Paths measurePaths(const nlohmann::json& value, size_t prefix);

    // Judges a set of this lambda node before any setter runs, on the
    // caller's thread, for a setter whose result the estimate below cannot
    // bound: gets the value as the setter would get it (wrapped in the path
    // below the node) and returns false to refuse the set. It then stands in
    // for the estimate and for the width of the set, and must apply
    // kMaxMirrorNodes to the node itself.
    using Bound = std::function<bool(const nlohmann::json& argument)>;
    void setBound(const Bound& check) { bound = check; }
    // False when a set of value at the path is refused before any setter
    // runs. Each lambda node with a setter that the set reaches judges the
    // part it gets. A node with a bound refuses a part with more members at
    // all depths than kMaxMirrorNodes and than its cached value holds, at
    // once, and else asks its bound. Elsewhere a value too wide as a whole
    // is refused, and a node without a bound refuses a set after which its
    // value would pass kMaxMirrorNodes and the nodes it holds already. That
    // value is estimated from the cached one with the part folded in at the
    // member the set names, so that the estimate holds whether the setter
    // replaces or merges: objects keep the members the set does not name,
    // arrays the elements beyond its length. A setter that keeps more (what
    // a change of type replaces) needs a bound.
    bool setFits(const std::string& path, const nlohmann::json& value) const;

    // The most nodes that one value may put below a node: each node costs six
    // subscriptions, so a remote value must not make thousands, wide or
    // nested. Ten times the most that one of the daemon's own nodes serves.
    static constexpr size_t kMaxMirrorNodes = 800;
    // The most octets of one node's path, and of the paths of one mirror's
    // nodes together: each node's six subscriptions carry its path, and
    // MQTT carries no topic over 65,535 octets. Each also carries the
    // connection's root, a separator and its verb ("/get", "/get/request/+",
    // "/get/request/+/+", the same for "set": 68 octets a node). A full
    // refresh of the "config" mirror (at each connection, or a set that
    // brings all of it back) so subscribes at most 6 x 801 topics: 1.5 MB of
    // paths, 54 KB of verbs and 4,806 copies of the root and its separator;
    // about 2.9 MB of topics under the longest root a remote set may give
    // (MQTT::kMaxSetBaseOctets), 1.7 MB under "tavo/lumacore", and as much
    // again in unsubscriptions when a set drops it.
    static constexpr size_t kMaxNodePath = 16 * 1024;
    static constexpr size_t kMaxMirrorPaths = 256 * 1024;

    // A getter that calls object->method().
    template <typename T>
    static Getter bindGetter(Result (T::*method)(), T* object)
    {
        return [method, object]() { return (object->*method)(); };
    }

    // A setter that calls object->method(value).
    template <typename T, typename Arg>
    static Setter bindSetter(Result (T::*method)(const Arg&), T* object)
    {
        return [method, object](const nlohmann::json& value) { return (object->*method)(value); };
    }

private:
    // Handed down the set and update walk: whether to apply, and the value
    // for the current level (an empty object for update).
    struct NewValue
    {
        bool apply;
        const nlohmann::json* value;
    };

    // The walk's steps; out receives the node's value, topic is the node's
    // topic relative to the starting node, rest the path below it (trimmed).
    ErrorMap updateInternal(nlohmann::json& out, const NewValue& newValue, const std::string& topic,
                            const std::string& rest);
    ErrorMap updateInternalLambda(nlohmann::json& out, const NewValue& newValue, const std::string& topic,
                                  const std::string& rest);
    ErrorMap updateInternalLambdaGroup(nlohmann::json& out, const NewValue& newValue, const std::string& topic,
                                       const std::string& rest);
    void topicDumpInternal(const std::string& prefix, uint8_t mask, std::vector<std::string>& topics) const;
    // setFits below this node, rest being the path still to walk, wide when
    // the whole value is too wide: walks as set() does, and each lambda node
    // with a setter judges the part that reaches it.
    bool fits(const nlohmann::json& part, const std::string& rest, bool wide) const;
    // acceptJson's walk: the cuts it made, the path of the node being
    // mirrored and the warnings.
    struct MirrorWalk;
    // Mirrors at most `levels` levels of the value's members as children.
    void mirror(const nlohmann::json& json, size_t levels, MirrorWalk& walk);
    // This node's path from the root of its tree, for log lines.
    std::string pathFromRoot() const;

    // Adds this node's slot to its signal, when it has one.
    void bindSignal();
    // Removes this node's slot from its signal, when it has one.
    void unbindSignal();
    // Makes this node the parent of each of its children.
    void adoptChildren();

    Children children;
    Getter getter;
    Setter setter;
    nlohmann::json value;
    Kind kind = Group;
    uint8_t ability = Get;
    bool abortOnError = false;
    bool abortOnErrorFixed = false;
    std::atomic<LambdaTree*> parent{nullptr};
    Signal<>* signal = nullptr;
    int signalConnection = 0;
    mutable std::mutex callbacksMutex;
    uint64_t lastCallbackId = 0;
    std::map<uint64_t, Callback> callbacks;
    Bound bound;
    // The members that acceptJson cut, by path below this node, with the
    // hash of the value it warned about.
    std::map<std::string, size_t> cutWarnings;
};
