#include "messaging/LambdaTree.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using json = nlohmann::json;

LambdaTree::Result readOne()
{
    return {true, 1};
}

LambdaTree::Result writeAny(const json&)
{
    return {true, nullptr};
}

// Emits once and returns how many bound nodes were notified: each node
// carries the counting callback, copies included.
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
    LambdaTree setter(readOne, writeAny);
    LambdaTree notifier(readOne, signal);
    struct Case {
        const char* name;
        LambdaTree node;
        LambdaTree::Kind kind;
        int ability;
    };
    const Case cases[] = {
        {"default", LambdaTree(), LambdaTree::Group, 1},
        {"getter", LambdaTree(readOne), LambdaTree::Lambda, 1},
        {"getter and setter", setter, LambdaTree::Lambda, 3},
        {"getter and signal", notifier, LambdaTree::Lambda, 5},
        {"all three", LambdaTree(readOne, writeAny, signal), LambdaTree::Lambda, 7},
        {"group of 3 and 5", LambdaTree({{"a", setter}, {"b", notifier}}), LambdaTree::Group, 7},
        {"group of readers", LambdaTree({{"a", LambdaTree(readOne)}}), LambdaTree::Group, 1},
        {"object mirror", LambdaTree(6, json{{"x", 1}}), LambdaTree::JsonBranch, 6},
        {"scalar mirror", LambdaTree(2, json(5)), LambdaTree::JsonLeaf, 2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.node.getKind(), c.kind) << c.name;
        EXPECT_EQ(c.node.getAbility(), c.ability) << c.name;
        for (const auto& child : c.node)
            EXPECT_EQ(child.second.getParent(), &c.node) << c.name;
    }
    EXPECT_TRUE(LambdaTree().getInternal().is_null());
}

TEST(LambdaTree, ExplicitAbortFlagShieldsItsSubtree)
{
    LambdaTree nested({{"leaf", LambdaTree(readOne)}}, false);
    LambdaTree outer({{"nested", nested}, {"plain", LambdaTree({{"leaf", LambdaTree(readOne)}})}}, true);
    EXPECT_TRUE(outer.at("nested").getAbortOnError());
    EXPECT_TRUE(outer.at("nested").at("leaf").getAbortOnError());
    EXPECT_TRUE(outer.at("plain").at("leaf").getAbortOnError());

    outer.setAbortOnError(false);
    EXPECT_FALSE(outer.getAbortOnError());
    EXPECT_FALSE(outer.at("plain").at("leaf").getAbortOnError());
    EXPECT_TRUE(outer.at("nested").getAbortOnError());
    EXPECT_TRUE(outer.at("nested").at("leaf").getAbortOnError());
}

TEST(LambdaTree, EveryBoundNodeOwnsOneSlot)
{
    Signal<> signal;
    std::atomic<int> count{0};
    auto original = std::make_unique<LambdaTree>(readOne, signal);
    original->connect("", [&] { ++count; });
    EXPECT_EQ(notifications(signal, count), 1);
    {
        LambdaTree copy(*original);
        EXPECT_EQ(notifications(signal, count), 2);
    }
    EXPECT_EQ(notifications(signal, count), 1);

    LambdaTree group;
    group["moved"] = LambdaTree(std::move(*original));
    EXPECT_EQ(notifications(signal, count), 1);
    original.reset();
    EXPECT_EQ(notifications(signal, count), 1);

    // The slot calls the node where it now lives, and reaches its parent.
    std::vector<std::string> order;
    group.at("moved").connect("", [&] { order.push_back("moved"); });
    group.connect("", [&] { order.push_back("group"); });
    signal.emit();
    EXPECT_EQ(order, (std::vector<std::string>{"moved", "group"}));
    EXPECT_EQ(group.getAbility(), 5);

    group.erase("moved");
    EXPECT_EQ(notifications(signal, count), 0);
}

TEST(LambdaTree, SwapReparentsAndKeepsIdsRising)
{
    LambdaTree a({{"x", LambdaTree()}});
    LambdaTree b({{"y", LambdaTree()}, {"z", LambdaTree()}});
    EXPECT_EQ(a.connect("", [] {}), 1u);
    EXPECT_EQ(a.connect("", [] {}), 2u);
    EXPECT_EQ(b.connect("", [] {}), 1u);
    swap(a, b);
    EXPECT_EQ(a.at("y").getParent(), &a);
    EXPECT_EQ(a.at("z").getParent(), &a);
    EXPECT_EQ(b.at("x").getParent(), &b);
    EXPECT_EQ(a.connect("", [] {}), 2u);
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

    group["a"];
    EXPECT_EQ(group.at("a").getParent(), &group);
    EXPECT_EQ(group.getAbility(), 1);
    EXPECT_FALSE(group.insert({"a", LambdaTree(readOne, writeAny)}).second);
    EXPECT_EQ(group.at("a").getKind(), LambdaTree::Group);
    EXPECT_EQ(group.getAbility(), 3);
}

TEST(LambdaTree, PathsSkipEmptyComponents)
{
    LambdaTree tree;
    tree["a"]["b"];
    struct Case {
        const char* path;
        bool exists;
        const char* error;
    };
    const Case cases[] = {
        {"", true, nullptr},       {"/", true, nullptr},       {"///", true, nullptr},
        {"a/b", true, nullptr},    {"/a/b/", true, nullptr},   {"a//b", true, nullptr},
        {"//a//b//", true, nullptr},
        {"x", false, "LambdaTree::Target failed from  to x"},
        {"a/x/y", false, "LambdaTree::Target failed from a to x/y"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tree.topicExists(c.path), c.exists) << c.path;
        if (c.exists) {
            EXPECT_NO_THROW(tree.target(c.path, "")) << c.path;
            continue;
        }
        try {
            tree.target(c.path, "");
            ADD_FAILURE() << c.path;
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), c.error);
        }
    }
    EXPECT_EQ(&tree.target("a//b", ""), &tree.at("a").at("b"));
    EXPECT_FALSE(LambdaTree().topicExists("a"));
}

// Run under ThreadSanitizer (LUMACORE_TSAN) to check the slot bookkeeping.
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
        LambdaTree moved(std::move(copy));
        moved.connect("node", [] {});
    }
    done = true;
    emitter.join();
    EXPECT_EQ(notifications(signal, count), 1);
}
