#include "messaging/JsonNesting.h"
#include "messaging/LambdaTree.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using json = nlohmann::json;
using Topics = std::vector<std::string>;

// A lambda node over one stored value that records its calls.
struct Cell
{
    json stored;
    std::vector<std::string>* log;
    std::string name;

    LambdaTree node()
    {
        return LambdaTree([this] { return read(); }, [this](const json& v) { return write(v); });
    }
    LambdaTree::Result read()
    {
        log->push_back(name + " get");
        return {true, stored};
    }
    LambdaTree::Result write(const json& value)
    {
        log->push_back(name + " set " + value.dump());
        stored = value;
        return {true, nullptr};
    }
};

LambdaTree::Result failWith(const char* text)
{
    return {false, text};
}

// A value nested `depth` arrays deep.
json nested(int depth)
{
    json value = 0;
    for (int i = 0; i < depth; ++i)
        value = json::array({value});
    return value;
}

} // namespace

TEST(LambdaTreeUpdate, SetHandsEachChildItsMember)
{
    std::vector<std::string> log;
    Cell a{1, &log, "a"};
    Cell b{2, &log, "b"};
    LambdaTree group({{"a", a.node()}, {"b", b.node()}});
    group.update("");
    EXPECT_EQ(log, (Topics{"a get", "b get"}));
    log.clear();

    EXPECT_TRUE(group.set("", json{{"a", 7}}).empty());
    EXPECT_EQ(log, (Topics{"a set 7", "a get"}));
    EXPECT_EQ(group.getInternal(), (json{{"a", 7}}));
    EXPECT_EQ(group.get("b"), 2);
    log.clear();

    EXPECT_TRUE(group.set("", 5).empty());
    EXPECT_TRUE(log.empty());
    EXPECT_TRUE(group.getInternal().is_null());

    EXPECT_TRUE(group.set("//a/b/c", 5).empty());
    EXPECT_EQ(log, (Topics{"a set {\"b\":{\"c\":5}}", "a get"}));
}

TEST(LambdaTreeUpdate, FailuresByTopic)
{
    auto throwing = []() -> LambdaTree::Result { throw std::runtime_error("t"); };
    auto rejecting = [](const json&) { return failWith("no"); };
    auto ok = [](const json&) { return LambdaTree::Result{true, nullptr}; };
    const json exception = {{"exception", "t"}};
    struct Case {
        const char* name;
        LambdaTree node;
        json error;
        json value;
    };
    const Case cases[] = {
        {"setter fails", LambdaTree([] { return LambdaTree::Result{true, 3}; }, rejecting), "no", 3},
        {"getter throws", LambdaTree(throwing, ok), exception, nullptr},
        {"getter hides setter", LambdaTree([] { return failWith("get"); }, rejecting), "get", nullptr},
        {"setter throws", LambdaTree([] { return LambdaTree::Result{true, 3}; },
                                     [](const json&) -> LambdaTree::Result { throw std::logic_error("t"); }),
         exception, 3},
        {"empty getter", LambdaTree(LambdaTree::Getter(), ok), json{{"exception", "bad_function_call"}}, nullptr},
    };
    for (const auto& c : cases) {
        LambdaTree root;
        root["x"]["node"] = c.node;
        EXPECT_EQ(root.set("x/node", 1), (LambdaTree::ErrorMap{{"x/node", c.error}})) << c.name;
        EXPECT_EQ(root.get("x/node"), c.value) << c.name;
    }
}

TEST(LambdaTreeUpdate, AbortOnErrorStopsAtTheFirstFailure)
{
    const LambdaTree failing([] { return failWith("e"); });
    const LambdaTree trueEntry([] { return LambdaTree::Result{false, true}; });
    const LambdaTree::Children three = {{"a", failing}, {"b", failing}, {"c", failing}};
    const LambdaTree::Children soft = {{"a", trueEntry}, {"b", failing}};
    EXPECT_EQ(LambdaTree(three, true).update("").size(), 1u);
    EXPECT_EQ(LambdaTree(three, false).update("").size(), 3u);
    EXPECT_EQ(LambdaTree(soft, true).update(""), (LambdaTree::ErrorMap{{"a", true}, {"b", "e"}}));
}

TEST(LambdaTreeUpdate, Wrap)
{
    EXPECT_EQ(LambdaTree::wrap("", 5), 5);
    EXPECT_EQ(LambdaTree::wrap("/a//b/", 5), (json{{"a", {{"b", 5}}}}));
    EXPECT_EQ(LambdaTree::wrap("a/a", 5), (json{{"a", {{"a", 5}}}}));
}

TEST(LambdaTreeUpdate, ResultsAreMirroredWithTheLambdasAbility)
{
    Signal<> signal;
    json result = {{"x", 1}, {"y", {true}}, {"a#b", 2}, {"", 3}, {"c/d", 4}, {"+", 5}};
    LambdaTree root;
    root["n"] = LambdaTree([&] { return LambdaTree::Result{true, result}; }, [](const json&) {
        return LambdaTree::Result{true, nullptr};
    }, signal);
    root["r"] = LambdaTree([] { return LambdaTree::Result{true, json::array({{{"k", 1}}, {{"k", 2}}})}; });
    root.update("");
    EXPECT_EQ(root.topicDump("", LambdaTree::Set), (Topics{"n/x", "n/y/0", "n/y", "n", ""}));
    EXPECT_EQ(root.topicDump("", LambdaTree::Get),
              (Topics{"n/x", "n/y/0", "n/y", "n", "r/0/k", "r/0", "r/1/k", "r/1", "r", ""}));
    EXPECT_EQ(root.at("n").at("y").getKind(), LambdaTree::JsonBranch);
    EXPECT_EQ(root.at("n").at("y").at("0").getAbility(), 7);
    EXPECT_FALSE(root.topicExists("n/a#b"));
    EXPECT_EQ(root.get("n")["a#b"], 2);
    EXPECT_EQ(root.get("r/1/k"), 2);
    EXPECT_THROW(root.topicDump("n/z", LambdaTree::Get), std::runtime_error);

    // A scalar or a failed read leaves the mirror as it was.
    result = 5;
    root.update("n");
    EXPECT_TRUE(root.topicExists("n/y/0"));
    EXPECT_THROW(root.at("n").at("y").update(""), std::runtime_error);
}

TEST(LambdaTreeUpdate, MirrorDepthIsBounded)
{
    LambdaTree node(LambdaTree::Get, nested(200));
    size_t levels = 0;
    for (const LambdaTree* level = &node; level->size() != 0; level = &level->at("0"))
        ++levels;
    EXPECT_EQ(levels, kMaxJsonNesting);
}

TEST(JsonNesting, DepthIsMeasuredWithoutParsing)
{
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    struct Case {
        std::string text;
        bool exceeds;
    };
    const Case cases[] = {
        {"5", false},
        {nested(64).dump(), false},
        {nested(65).dump(), true},
        {"{\"a\":{\"b\":[{}]}}", false},
        {deep, true},
        {"[[[ not json", false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(jsonNestingExceeds(c.text), c.exceeds) << c.text.substr(0, 40);
    EXPECT_TRUE(jsonNestingExceeds("[[]]", 1));
}
