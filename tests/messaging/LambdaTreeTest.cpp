#include "messaging/LambdaTree.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using json = nlohmann::json;

LambdaTree::Result readOne() { return {true, 1}; }
LambdaTree::Result writeAny(const json&) { return {true, nullptr}; }

// Emits once; every bound node carries the counting callback, so the result
// is the number of live slots.
int notifications(Signal<>& signal, std::atomic<int>& count)
{
    count = 0;
    signal.emit();
    return count;
}

} // namespace

TEST(LambdaTree, ConstructorsGiveKindAndAbility)
{
    Signal<> signal;
    const LambdaTree setter(readOne, writeAny);
    const LambdaTree notifier(readOne, signal);
    struct Case {
        LambdaTree node;
        LambdaTree::Kind kind;
        int ability;
    } const cases[] = {
        {LambdaTree(), LambdaTree::Group, 1},
        {LambdaTree(readOne), LambdaTree::Lambda, 1},
        {setter, LambdaTree::Lambda, 3},
        {notifier, LambdaTree::Lambda, 5},
        {LambdaTree(readOne, writeAny, signal), LambdaTree::Lambda, 7},
        {LambdaTree({{"a", setter}, {"b", notifier}}), LambdaTree::Group, 7},
        {LambdaTree({{"a", LambdaTree(readOne)}}), LambdaTree::Group, 1},
        {LambdaTree(6, json{{"x", 1}}), LambdaTree::JsonBranch, 6},
        {LambdaTree(2, json(5)), LambdaTree::JsonLeaf, 2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.node.getKind(), c.kind) << c.ability;
        EXPECT_EQ(c.node.getAbility(), c.ability) << c.kind;
        for (const auto& child : c.node)
            EXPECT_EQ(child.second.getParent(), &c.node);
    }
}

TEST(LambdaTree, ExplicitAbortFlagShieldsItsSubtree)
{
    LambdaTree nested({{"leaf", LambdaTree(readOne)}}, false);
    LambdaTree outer({{"nested", nested}, {"plain", LambdaTree({{"leaf", LambdaTree(readOne)}})}}, true);
    EXPECT_TRUE(outer.at("nested").at("leaf").getAbortOnError());
    EXPECT_TRUE(outer.at("plain").at("leaf").getAbortOnError());
    outer.setAbortOnError(false);
    EXPECT_FALSE(outer.at("plain").at("leaf").getAbortOnError());
    EXPECT_TRUE(outer.at("nested").at("leaf").getAbortOnError());
}

TEST(LambdaTree, EveryBoundNodeOwnsOneSlot)
{
    Signal<> signal;
    std::atomic<int> count{0};
    auto original = std::make_unique<LambdaTree>(readOne, signal);
    original->connect("", [&] { ++count; });
    {
        LambdaTree copy(*original);
        EXPECT_EQ(notifications(signal, count), 2);
    }
    EXPECT_EQ(notifications(signal, count), 1);

    LambdaTree group;
    group["moved"] = LambdaTree(std::move(*original));
    original.reset();
    EXPECT_EQ(notifications(signal, count), 1);
    EXPECT_EQ(group.getAbility(), 5);

    // The slot calls the node where it now lives, and reaches its parent.
    std::vector<std::string> order;
    group.at("moved").connect("", [&] { order.push_back("moved"); });
    group.connect("", [&] { order.push_back("group"); });
    signal.emit();
    EXPECT_EQ(order, (std::vector<std::string>{"moved", "group"}));
    group.erase("moved");
    EXPECT_EQ(notifications(signal, count), 0);
}

TEST(LambdaTree, SwapReparentsAndKeepsIdsRising)
{
    LambdaTree a({{"x", LambdaTree()}});
    LambdaTree b({{"y", LambdaTree()}});
    EXPECT_EQ(a.connect("", [] {}), 1u);
    EXPECT_EQ(a.connect("", [] {}), 2u);
    swap(a, b);
    EXPECT_EQ(a.at("y").getParent(), &a);
    EXPECT_EQ(b.at("x").getParent(), &b);
    EXPECT_EQ(a.connect("", [] {}), 1u);
    EXPECT_EQ(b.connect("", [] {}), 3u);
    EXPECT_TRUE(b.disconnect("", 1));
    EXPECT_FALSE(b.disconnect("", 1));
}

TEST(LambdaTree, KeysAndInsert)
{
    LambdaTree group;
    EXPECT_EQ(&group.at(""), &group);
    EXPECT_EQ(&group[""], &group);
    EXPECT_EQ(group.find(""), group.end());
    EXPECT_THROW(group.at("a"), std::out_of_range);
    EXPECT_EQ(group["a"].getParent(), &group);
    EXPECT_FALSE(group.insert({"a", LambdaTree(readOne, writeAny)}).second);
    EXPECT_EQ(group.at("a").getKind(), LambdaTree::Group);
    EXPECT_EQ(group.getAbility(), 3);
}

TEST(LambdaTree, PathsSkipEmptyComponents)
{
    LambdaTree tree;
    tree["a"]["b"];
    for (const char* path : {"", "/", "///", "a/b", "/a/b/", "a//b", "//a//b//"})
        EXPECT_TRUE(tree.topicExists(path)) << path;
    EXPECT_EQ(&tree.target("//a//b", ""), &tree.at("a").at("b"));
    EXPECT_FALSE(LambdaTree().topicExists("a"));

    auto failure = [&](const char* path) {
        try {
            tree.target(path, "");
        } catch (const std::runtime_error& error) {
            return std::string(error.what());
        }
        return std::string();
    };
    EXPECT_EQ(failure("x"), "LambdaTree::Target failed from  to x");
    EXPECT_EQ(failure("a/x/y"), "LambdaTree::Target failed from a to x/y");
    EXPECT_FALSE(tree.topicExists("a/x/y"));
}

// Under ThreadSanitizer (LUMACORE_TSAN) this checks the slot bookkeeping.
TEST(LambdaTree, EmittingWhileNodesAreCopiedAndDestroyed)
{
    Signal<> signal;
    std::atomic<int> count{0};
    LambdaTree group({{"node", LambdaTree(readOne, signal)}});
    group.connect("", [&] { ++count; });
    std::atomic<bool> done{false};
    std::thread emitter([&] {
        while (!done)
            signal.emit();
    });
    for (int i = 0; i < 2000; ++i) {
        LambdaTree copy(group);
        LambdaTree holder;
        holder.insert({"copy", copy});
        holder.erase("copy");
    }
    done = true;
    emitter.join();
    EXPECT_EQ(notifications(signal, count), 1);
}
