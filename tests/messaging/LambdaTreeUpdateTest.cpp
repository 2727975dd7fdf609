#include "messaging/JsonNesting.h"
#include "messaging/LambdaTree.h"

#include <gtest/gtest.h>


#include <stdexcept>
#include <string>
#include <vector>

#include "tests/messaging/ClientFixture.h"
#include "tests/support/LogCapture.h"

namespace {

using json = nlohmann::json;
using Lines = std::vector<std::string>;

// A lambda node over a stored value that logs its calls.
LambdaTree cell(const std::string& name, json& stored, Lines& log)
{
    return LambdaTree(
        [&, name] {
            log.push_back(name + " get");
            return LambdaTree::Result{true, stored};
        },
        [&, name](const json& value) {
            log.push_back(name + " set " + value.dump());
            stored = value;
            return LambdaTree::Result{true, nullptr};
        });
}

LambdaTree::Result failWith(const char* text) { return {false, text}; }
LambdaTree::Result accept(const json&) { return {true, nullptr}; }

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
    Lines log;
    json a = 1, b = 2;
    LambdaTree group({{"a", cell("a", a, log)}, {"b", cell("b", b, log)}});
    group.update("");
    log.clear();
    EXPECT_TRUE(group.set("", json{{"a", 7}}).empty());
    EXPECT_EQ(group.getInternal(), (json{{"a", 7}}));
    EXPECT_EQ(group.get("b"), 2);
    EXPECT_TRUE(group.set("", 5).empty());
    EXPECT_TRUE(group.getInternal().is_null());
    EXPECT_TRUE(group.set("//a/b/c", 5).empty());
    EXPECT_EQ(log, (Lines{"a set 7", "a get", R"(a set {"b":{"c":5}})", "a get"}));
}

TEST(LambdaTreeUpdate, FailuresByTopic)
{
    auto threw = []() -> LambdaTree::Result { throw std::runtime_error("t"); };
    auto three = [] { return LambdaTree::Result{true, 3}; };
    auto rejects = [](const json&) { return failWith("no"); };
    const json exception = {{"exception", "t"}};
    struct Case {
        LambdaTree node;
        json error;
        json value;
    } const cases[] = {
        {LambdaTree(three, rejects), "no", 3},
        {LambdaTree(threw, accept), exception, nullptr},
        {LambdaTree([] { return failWith("get"); }, rejects), "get", nullptr},
        {LambdaTree(three, [](const json&) -> LambdaTree::Result { throw std::logic_error("t"); }), exception, 3},
        {LambdaTree(LambdaTree::Getter(), accept), json{{"exception", "bad_function_call"}}, nullptr},
    };
    for (const auto& c : cases) {
        LambdaTree root;
        root["x"]["node"] = c.node;
        EXPECT_EQ(root.set("x/node", 1), (LambdaTree::ErrorMap{{"x/node", c.error}})) << c.error;
        EXPECT_EQ(root.get("x/node"), c.value) << c.error;
    }
}

TEST(LambdaTreeUpdate, AbortOnErrorStopsAtTheFirstFailure)
{
    const LambdaTree failing([] { return failWith("e"); });
    const LambdaTree trueEntry([] { return LambdaTree::Result{false, true}; });
    const LambdaTree::Children three = {{"a", failing}, {"b", failing}, {"c", failing}};
    EXPECT_EQ(LambdaTree(three, true).update("").size(), 1u);
    EXPECT_EQ(LambdaTree(three, false).update("").size(), 3u);
    EXPECT_EQ(LambdaTree({{"a", trueEntry}, {"b", failing}}, true).update(""),
              (LambdaTree::ErrorMap{{"a", true}, {"b", "e"}}));
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
    root["n"] = LambdaTree([&] { return LambdaTree::Result{true, result}; }, accept, signal);
    root["r"] = LambdaTree([] { return LambdaTree::Result{true, json::array({{{"k", 1}}, {{"k", 2}}})}; });
    root.update("");
    EXPECT_EQ(root.topicDump("", LambdaTree::Set), (Lines{"n/x", "n/y/0", "n/y", "n", ""}));
    EXPECT_EQ(root.topicDump("r", LambdaTree::Get), (Lines{"0/k", "0", "1/k", "1", ""}));
    EXPECT_EQ(root.get("n")["a#b"], 2);
    EXPECT_EQ(root.get("r/1/k"), 2);

    // A scalar result leaves the mirror as it was; the walk never enters it.
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

// A member that would hold more nodes than the bound, wide or nested, keeps
// its value but gets no children, with one warning naming it; its siblings
// and its parent are mirrored as usual.
TEST(LambdaTreeUpdate, MirrorIsBoundedInNodesBelowOneNode)
{
    const size_t bound = LambdaTree::kMaxMirrorNodes;
    const json wide = std::vector<int>(bound + 1);
    const json half = std::vector<int>(bound / 2);
    const json nested = {half, half};
    const json value = {{"fits", half}, {"wide", wide}, {"deep", {{"inner", wide}}}, {"nested", nested}};
    LambdaTree root(LambdaTree::Children{{"n", LambdaTree([&] { return LambdaTree::Result{true, value}; })}});
    LogCapture capture;
    root.update("");
    EXPECT_EQ(root.at("n").at("fits").size(), bound / 2);
    EXPECT_EQ(root.at("n").at("wide").size(), 0u);
    EXPECT_EQ(root.at("n").at("deep").size(), 1u);
    EXPECT_EQ(root.at("n").at("deep").at("inner").size(), 0u);
    EXPECT_EQ(root.at("n").at("nested").size(), 0u);
    EXPECT_EQ(root.get("n/wide"), wide);
    std::string logged;
    for (const std::string& text : capture.texts())
        logged += text + "\n";
    for (const char* cut : {"'n/wide'", "'n/deep/inner'", "'n/nested'"})
        EXPECT_EQ(1, occurrences(logged, cut + std::string(" holds more than"))) << logged;

    EXPECT_TRUE(LambdaTree::tooWide(nested));
    EXPECT_TRUE(LambdaTree::tooWide(value["deep"]));
    EXPECT_FALSE(LambdaTree::tooWide(std::vector<int>(bound)));
    EXPECT_FALSE(LambdaTree::tooWide(5));
}

TEST(JsonNesting, DepthIsMeasuredWithoutParsing)
{
    struct Case {
        std::string text;
        bool exceeds;
    } const cases[] = {
        {"5", false},
        {nested(64).dump(), false},
        {nested(65).dump(), true},
        {std::string(100000, '[') + std::string(100000, ']'), true},
        {"[[[ not json", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(jsonNestingExceeds(c.text), c.exceeds) << c.text.substr(0, 40);
    EXPECT_TRUE(jsonNestingExceeds("[[]]", 1));
}
