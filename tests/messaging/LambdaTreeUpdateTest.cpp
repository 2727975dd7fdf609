#include "messaging/JsonNesting.h"
#include "messaging/LambdaTree.h"

#include <gtest/gtest.h>


#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/Utils.h"
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

json numbers(size_t count)
{
    json list = json::array();
    for (size_t i = 0; i < count; ++i)
        list.push_back(i);
    return list;
}

// The members that bring a mirror over the bound lose their children, as
// deep as it takes; the nodes around them, ancestors included, keep theirs.
// A cut member keeps its value, and one warning names it.
TEST(LambdaTreeUpdate, MirrorCutsTheMembersThatBringTheBulk)
{
    const size_t bound = LambdaTree::kMaxMirrorNodes;
    const json half = numbers(bound / 2);
    // Sections like those of the daemon's configuration, with mqtt as given.
    const auto own = [](json mqtt) {
        return json{{"device", numbers(40)}, {"tcp", {{"port", 1414}}}, {"mqtt", std::move(mqtt)}};
    };
    struct Case {
        json value;
        std::vector<std::string> cut;
        std::vector<std::string> kept;
    } const cases[] = {
        {own({{"url", "u"}, {"extra", numbers(780)}}), {"mqtt/extra"},
         {"device/39", "tcp/port", "mqtt/url"}},
        {own({{"url", "u"}, {"a", numbers(390)}, {"b", numbers(390)}}), {"mqtt/a"},
         {"device/39", "tcp/port", "mqtt/url", "mqtt/b/389"}},
        {{{"fits", half}, {"wide", numbers(bound + 1)}, {"deep", {{"inner", numbers(bound + 1)}}}, {"nested", {half, half}}},
         {"wide", "deep/inner", "nested/0", "nested/1"},
         {"fits/399", "deep", "nested"}},
        {numbers(bound + 1), {""}, {}},
    };
    for (const auto& c : cases) {
        LambdaTree root(LambdaTree::Children{{"n", LambdaTree([&] { return LambdaTree::Result{true, c.value}; })}});
        LogCapture capture;
        root.update("");
        root.update("n");
        std::string logged;
        for (const std::string& text : capture.texts())
            logged += text + "\n";
        for (const auto& path : c.cut) {
            const std::string node = Utils::combinePath("n", path);
            ASSERT_TRUE(root.topicExists(node)) << node;
            EXPECT_EQ(root.target(node, "").size(), 0u) << node;
            EXPECT_EQ(root.get(node), path.empty() ? c.value : c.value[json::json_pointer("/" + path)]) << node;
            EXPECT_EQ(1, occurrences(logged, "'" + node + "' holds ")) << logged;
        }
        for (const auto& path : c.kept)
            EXPECT_TRUE(root.topicExists(Utils::combinePath("n", path))) << path;
        EXPECT_EQ(c.cut.size(), static_cast<size_t>(occurrences(logged, "holds "))) << logged;
    }
    EXPECT_TRUE(LambdaTree::tooWide({half, half}));
    EXPECT_FALSE(LambdaTree::tooWide(numbers(bound)));
    EXPECT_FALSE(LambdaTree::tooWide(5));
}

TEST(LambdaTreeUpdate, ACutIsWarnedAgainOnlyOnceItsValueChanged)
{
    json value = {{"url", "u"}, {"extra", numbers(LambdaTree::kMaxMirrorNodes)}};
    LambdaTree root(LambdaTree::Children{{"n", LambdaTree([&] { return LambdaTree::Result{true, value}; })}});
    LogCapture capture;
    const auto warnings = [&] { return capture.texts().size(); };
    root.update("");
    root.update("");
    EXPECT_EQ(warnings(), 1u);
    value["extra"][0] = -1;
    root.update("");
    root.update("");
    EXPECT_EQ(warnings(), 2u);
    EXPECT_EQ(root.get("n/extra")[0], -1);
}

// A set is judged before any setter runs by the value it would leave: the
// cached value with the set's value folded in where the set names it.
TEST(LambdaTreeUpdate, ASetIsJudgedByTheValueItWouldLeave)
{
    json stored = {{"a", numbers(500)}, {"s", "x"}, {"list", {1, 2}}};
    Lines calls;
    LambdaTree root(LambdaTree::Children{{"n", cell("n", stored, calls)}});
    root.update("");
    json seen;
    bool admit = true;
    root.at("n").setBound([&](const json& value, const json& current, const json& result) {
        seen = {value, current, result};
        return admit;
    });
    struct Case {
        std::string path;
        json value;
        bool fits;
    } const cases[] = {
        {"n/b", numbers(400), false},
        {"n", {{"b", numbers(400)}}, false},
        {"", {{"n", {{"b", numbers(400)}}}}, false},
        {"n/a", numbers(700), true},
        {"n", {{"b", numbers(290)}}, true},
        {"n/list", numbers(400), false},
        {"n", numbers(LambdaTree::kMaxMirrorNodes + 1), false},
        {"other", numbers(400), true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(root.setFits(c.path, c.value), c.fits) << c.path << " " << c.value.size();
    seen = nullptr;
    EXPECT_TRUE(root.setFits("n/s", "y"));
    json after = stored;
    after["s"] = "y";
    EXPECT_EQ(seen, json({"y", stored, after}));
    EXPECT_TRUE(root.setFits("n/list/1", 7));
    EXPECT_EQ(seen[2]["list"], json({1, 7}));
    admit = false;
    EXPECT_FALSE(root.setFits("n/s", "y"));
    EXPECT_EQ(calls, Lines{"n get"});

    // Above the bound already: a set that adds no node still passes.
    stored["b"] = numbers(400);
    root.update("");
    admit = true;
    EXPECT_TRUE(root.setFits("n", {{"b", numbers(10)}}));
    EXPECT_FALSE(root.setFits("n", {{"c", 1}}));
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
