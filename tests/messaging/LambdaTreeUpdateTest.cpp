#include "messaging/JsonNesting.h"
#include "messaging/LambdaTree.h"

#include <gtest/gtest.h>


#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/String.h"
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

json zeros(size_t count)
{
    return std::vector<int>(count);
}

// The members that bring a mirror over the bound lose their children, as
// deep as it takes; the nodes around them, ancestors included, keep theirs.
// A cut member keeps its value, and one warning names it with all its nodes;
// a cut below a member that is then cut whole is neither kept nor warned.
// A cut stops at the first node whose own members are half the nodes below
// it, and no cut follows one that leaves the bound exactly.
TEST(LambdaTreeUpdate, MirrorCutsTheMembersThatBringTheBulk)
{
    json pairs = std::vector<json>(200, {{0, 0}});
    pairs.insert(pairs.end(), {0, 0});
    json halves = std::vector<json>(160, {{"a", {0}}, {"b", {0}}});
    halves.push_back(0);
    struct Case {
        json value;
        std::vector<std::string> cut;
        std::vector<std::string> kept;
    } const cases[] = {
        {pairs, {"0/0"}, {"0", "1/0/1", "199/0/0"}},
        {halves, {"0"}, {"1/a/0", "159/b/0"}},
        {{{"device", zeros(40)}, {"tcp", {{"port", 1}}}, {"mqtt", {{"url", "u"}, {"extra", zeros(780)}}}},
         {"mqtt/extra"}, {"device/39", "tcp/port", "mqtt/url"}},
        {{{"device", zeros(40)}, {"mqtt", {{"url", "u"}, {"a", zeros(390)}, {"b", zeros(390)}}}}, {"mqtt/a"},
         {"device/39", "mqtt/url", "mqtt/b/389"}},
        {{{"fits", zeros(400)}, {"wide", zeros(801)}, {"deep", {{"inner", zeros(801)}}}, {"nested", {zeros(400), zeros(400)}}},
         {"wide", "deep/inner", "nested/0", "nested/1"}, {"fits/399", "deep"}},
        {zeros(801), {""}, {}},
        {{{"x", std::vector<json>(800, {1, 2})}, {"y", std::vector<json>(800, {1, 2})}, {"z", 1}},
         {"x", "y"}, {"z"}},
    };
    for (const auto& c : cases) {
        LambdaTree root(LambdaTree::Children{{"n", LambdaTree([&] { return LambdaTree::Result{true, c.value}; })}});
        LogCapture capture;
        root.update("");
        root.update("n");
        EXPECT_EQ(capture.texts().size(), c.cut.size());
        for (const auto& path : c.cut) {
            const std::string node = Utils::combinePath("n", path);
            EXPECT_EQ(root.target(node, "").size(), 0u) << node;
            EXPECT_EQ(root.get(node), c.value[json::json_pointer(path.empty() ? "" : "/" + path)]) << node;
            EXPECT_TRUE(capture.contains(String::format(
                "[LambdaTree] '%s' holds %zu nodes; with them 'n' would hold more than 800, so none of them gets topics",
                node.c_str(), LambdaTree::countNodes(root.get(node)))));
        }
        for (const auto& path : c.kept)
            EXPECT_TRUE(root.topicExists(Utils::combinePath("n", path))) << path;
    }
}

// A node costs its path: a member whose own path would pass 16 KiB gets no
// node, its siblings keep theirs, and one warning names their parent; the
// member that brings the paths together over 256 KiB is cut as the node
// bound cuts. Command levels and code points MQTT cannot carry make no node;
// each command level is warned once. Members that get no node weigh nothing.
TEST(LambdaTreeUpdate, MirrorBoundsThePathsAndTakesNoCommandLevel)
{
    // "n/k/" and a name of 16,380 octets make a path of 16,384.
    const std::string fits(16380, 'f');
    const std::string name(4000, 'n');
    json chain = 0;
    for (char level = 'e'; level >= 'a'; --level)
        chain = json{{std::string(4000, level), chain}};
    json many;
    for (int member = 0; member < 70; ++member)
        many[std::to_string(member) + name] = member;
    // Paths of 262,145 octets below "n", 134 of them its "n/" before each
    // path: one octet over the bound.
    json over;
    for (int member = 10; member < 73; ++member)
        over[std::to_string(member) + std::string(4024, 'o')] = member;
    over["73" + std::string(4040, 'o')] = 73;
    const struct {
        json value;
        std::vector<std::string> nodes;
        std::vector<std::string> none;
        std::vector<std::string> warned;
    } cases[] = {
        {{{"t", {{"set", {{"port", 2}}}, {"get", 1}, {"monitor", {1}}, {"request", {{"x", 1}}}, {"ok", {1}},
                 {"a\x01", 1}, {"\xEF\xBF\xBE", 1}, {"\xC2\x85", 1}}}},
         {"n/t/ok/0"},
         {"n/t/set", "n/t/get", "n/t/monitor", "n/t/request", "n/t/a\x01", "n/t/\xEF\xBF\xBE", "n/t/\xC2\x85"},
         {"'n/t/get' gets no", "'n/t/monitor' gets no", "'n/t/request' gets no", "'n/t/set' gets no"}},
        {chain,
         {"n/" + std::string(4000, 'a') + "/" + std::string(4000, 'b') + "/" + std::string(4000, 'c') + "/" +
          std::string(4000, 'd')},
         {"n/" + std::string(4000, 'a') + "/" + std::string(4000, 'b') + "/" + std::string(4000, 'c') + "/" +
          std::string(4000, 'd') + "/" + std::string(4000, 'e')},
         {"The members of 'n/aaaa"}},
        {{{"k", {{fits, 1}, {fits + "g", 2}, {fits + "gg", {3}}, {"s", {4}}}}},
         {"n/k/" + fits, "n/k/s/0"},
         {"n/k/" + fits + "g", "n/k/" + fits + "gg", "n/k/" + fits + "gg/0"},
         {"The members of 'n/k' whose paths would pass 16384 octets get no topics: 2 of 4"}},
        {{{"many", many}, {"few", {{name, 1}}}},
         {"n/many", "n/few/" + name},
         {"n/many/0" + name},
         {"'n/many' holds paths of 280620 octets; with them the paths of 'n' would pass 262144 octets"}},
        {{{"many", over}, {"few", {{name, 1}}}},
         {"n/many", "n/few/" + name},
         {"n/many/10" + std::string(4024, 'o')},
         {"'n/many' holds paths of 258128 octets; with them the paths of 'n' would pass 262144 octets"}},
        // 799 nodes, and 31 more members below a command level or a path
        // too long.
        {{{"ok", zeros(798)}, {"get", zeros(30)}}, {"n/ok/797"}, {"n/get"}, {"'n/get' gets no"}},
        {{{"k", {{fits + "g", zeros(30)}, {"ok", zeros(796)}}}},
         {"n/k/ok/795"},
         {"n/k/" + fits + "g"},
         {"The members of 'n/k' whose paths would pass 16384 octets get no topics: 1 of 2"}},
    };
    for (const auto& c : cases) {
        LambdaTree root(LambdaTree::Children{{"n", LambdaTree([&] { return LambdaTree::Result{true, c.value}; })}});
        LogCapture capture;
        root.update("");
        root.update("n");
        EXPECT_EQ(root.get("n"), c.value);
        for (const auto& path : c.nodes)
            EXPECT_TRUE(root.topicExists(path)) << path.substr(0, 40);
        for (const auto& path : c.none)
            EXPECT_FALSE(root.topicExists(path)) << path.substr(0, 40);
        const auto lines = capture.texts();
        ASSERT_EQ(lines.size(), c.warned.size());
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_NE(lines[i].find(c.warned[i]), std::string::npos) << lines[i].substr(0, 120);
            EXPECT_LT(lines[i].size(), 600u);
        }
    }
}

TEST(LambdaTreeUpdate, ACutIsWarnedAgainOnlyOnceItsValueChanged)
{
    json value = {{"url", "u"}, {"extra", zeros(LambdaTree::kMaxMirrorNodes)}};
    LambdaTree root(LambdaTree::Children{{"n", LambdaTree([&] { return LambdaTree::Result{true, value}; })}});
    LogCapture capture;
    root.update("");
    root.update("");
    value["extra"][0] = 1;
    root.update("");
    root.update("");
    EXPECT_EQ(capture.texts().size(), 2u);
}

// A set is judged before any setter runs by the value it would leave: the
// cached value with the set's value folded in where the set names it, or
// by the node's own bound, which gets what the setter would get and judges
// its width too.
TEST(LambdaTreeUpdate, ASetIsJudgedByTheValueItWouldLeave)
{
    json stored = {{"a", zeros(500)}, {"s", "x"}, {"list", {1, 2}}};
    Lines calls;
    LambdaTree root(LambdaTree::Children{{"n", cell("n", stored, calls)}});
    root.update("");
    const std::pair<std::string, json> fitting[] = {
        {"n/a", zeros(700)}, {"n", {{"b", zeros(290)}}}, {"other", zeros(400)}, {"n/s", "y"}, {"n/list/1", 7}};
    for (const auto& set : fitting)
        EXPECT_TRUE(root.setFits(set.first, set.second)) << set.first;
    const std::pair<std::string, json> refused[] = {{"n/b", zeros(400)},
                                                    {"", {{"n", {{"b", zeros(400)}}}}},
                                                    {"n/list", zeros(400)},
                                                    {"n", zeros(LambdaTree::kMaxMirrorNodes + 1)}};
    for (const auto& set : refused)
        EXPECT_FALSE(root.setFits(set.first, set.second)) << set.first;
    EXPECT_EQ(calls, Lines{"n get"});

    // Over the bound already: a set that adds no node still passes.
    stored["b"] = zeros(400);
    root.update("");
    EXPECT_TRUE(root.setFits("n", {{"b", zeros(10)}}));
    EXPECT_FALSE(root.setFits("n", {{"c", 1}}));

    json seen;
    root.at("n").setBound([&](const json& argument) {
        seen = argument;
        return argument != json{{"s", "refused"}};
    });
    EXPECT_TRUE(root.setFits("n/c", 1));
    EXPECT_EQ(seen, json({{"c", 1}}));
    EXPECT_FALSE(root.setFits("n/s", "refused"));
    // The bound judges a value as wide as the node holds now; a wider one
    // is refused before it, and one that also reaches no node is refused.
    const size_t now = LambdaTree::countNodes(stored);
    EXPECT_TRUE(root.setFits("n", zeros(now)));
    EXPECT_EQ(seen, zeros(now));
    EXPECT_FALSE(root.setFits("n", zeros(now + 1)));
    EXPECT_EQ(seen, zeros(now));
    EXPECT_FALSE(root.setFits("", {{"n", 1}, {"other", zeros(LambdaTree::kMaxMirrorNodes)}}));
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
