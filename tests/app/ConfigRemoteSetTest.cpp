// Remote sets of "config" judged by what they would really leave, through
// the real components (board on the simulated board, TCP service, MQTT
// client, none of them started): random sets against the bound they were
// judged by, and the rules for long texts, the file and the nodes.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include <nlohmann/json.hpp>

#include "app/BoardConfigAdaptor.h"
#include "app/Config.h"
#include "app/ConfigMqttAdaptor.h"
#include "app/TCPConfigAdaptor.h"
#include "app/TCPService.h"
#include "app/version/Version.h"
#include "board/ManagerFixture.h"
#include "messaging/LambdaTree.h"
#include "support/Unowned.h"

namespace {

using nlohmann::json;

// The octets of the path of the node that serves the configuration
// ("config"), which every path starts with.
const size_t kNodePath = 6;

// {"deep": ...} nested `levels` names of 4,000 octets deep, holding inner.
json chain(size_t levels, const json& inner)
{
    json value = inner;
    for (size_t level = levels; level > 0; --level)
        value = json{{std::string(4000, static_cast<char>('a' + level)), value}};
    return json{{"deep", value}};
}

// Counts the previews it is asked for; holds no section.
class PreviewCount : public tavo::Config::Observer {
public:
    void onConfigSet(const json&) override {}
    json onConfigGet() const override { return json::object(); }
    json onConfigPreview(const json&) const override
    {
        ++previews;
        return json::object();
    }

    mutable int previews = 0;
};

class ConfigRemoteSetTest : public ManagerTest {
protected:
    ConfigRemoteSetTest() { open(); }

    // A fresh configuration over the components, holding start.
    void begin(const json& start)
    {
        attach();
        config->configSet(start);
    }
    // A fresh configuration over the components read from a file holding
    // start, as the daemon starts.
    void startFrom(const json& start)
    {
        std::ofstream(path()) << start.dump();
        attach();
        config->update();
    }
    void attach()
    {
        config.reset();
        config = std::make_unique<tavo::Config::Config>(path());
        service = std::make_shared<tavo::Board::TCP::Service>(manager, getDefaultPort(), false);
        config->observerAttach(std::make_shared<tavo::Config::MqttAdaptor>(unowned(*config), client));
        config->observerAttach(std::make_shared<tavo::Board::ConfigAdaptor>(unowned(*config), manager));
        config->observerAttach(std::make_shared<tavo::Board::TCP::ConfigAdaptor>(unowned(*config), service));
    }
    std::string path() const { return dir.file("lumacore.json"); }

    size_t pick(size_t count) { return std::uniform_int_distribution<size_t>(0, count - 1)(random); }

    std::string randomKey()
    {
        static const char* const keys[] = {"0",   "1",   "2",   "a",       "b",       "mode", "value", "resistor",
                                           "log", "x/y", "",    "get",     "set",     "monitor", "request"};
        return pick(8) == 0 ? "k" + std::to_string(pick(1000)) : keys[pick(std::size(keys))];
    }

    json randomValue(int depth)
    {
        static const char* const texts[] = {"", "digitalOut", "digitalIn", "analogIn", "pullUp", "rs485", "manual"};
        const size_t kind = pick(depth > 0 ? 6 : 4);
        if (kind < 4) {
            const json text = pick(3) == 0 ? json(std::string(pick(3000), 't')) : json(texts[pick(std::size(texts))]);
            return std::vector<json>{nullptr, pick(20) * 1000, pick(2) == 0, text}[kind];
        }
        json value = kind == 4 ? json::array() : json::object();
        for (size_t members = pick(6); members > 0; --members) {
            if (kind == 4)
                value.push_back(randomValue(depth - 1));
            else
                value[randomKey()] = randomValue(depth - 1);
        }
        return value;
    }

    // Long member names nested a few levels, a random value below them.
    json randomChain()
    {
        json value = randomValue(2);
        for (size_t level = pick(5) + 1; level > 0; --level)
            value = json{{std::string(pick(4096) + 1, static_cast<char>('a' + pick(26))), value}};
        return value;
    }

    // A value at a random place of the configuration, or a new one, wrapped
    // in its path as the node's setter gets it.
    json randomSet(const json& current)
    {
        std::string path;
        for (const json* at = &current; at->is_structured() && !at->empty() && pick(3) != 0;) {
            auto member = at->begin();
            std::advance(member, pick(at->size()));
            path += "/" + (at->is_object() ? member.key() : std::to_string(member - at->begin()));
            at = &*member;
        }
        if (pick(3) == 0)
            path += "/" + randomKey();
        return LambdaTree::wrap(path, pick(10) == 0 ? randomChain() : randomValue(3));
    }

    // The reply to an RPC set of value on "config", judged and applied as a
    // peer's would be; the client is not started, so nothing is sent.
    json setOnNode(const json& value)
    {
        return json::parse(client->handleLambdaTreeRpcSet("config", "config/set", value.dump(), "1"));
    }

    TempDir dir;
    std::shared_ptr<MQTT::Client> client = std::make_shared<MQTT::Client>("tavo/lumacore", "MQTT");
    std::shared_ptr<tavo::Board::TCP::Service> service;
    std::unique_ptr<tavo::Config::Config> config;
    std::mt19937 random{20261209};
};

// Whatever a set does (merges, type changes at any depth, a component that
// throws half-way), it leaves at most the file and the nodes it was judged
// by, and the configuration's size now is exact.
TEST_F(ConfigRemoteSetTest, ASetLeavesAtMostWhatItWasJudgedBy)
{
    Log::setLevel(Log::Error);
    for (int round = 0; round < 12; ++round) {
        begin(json::object());
        for (int set = 0; set < 100; ++set) {
            const json current = config->configGet();
            json value = randomSet(current);
            // Sets of several sections, where one may throw before the others.
            if (const json more = randomSet(current); value.is_object() && more.is_object() && pick(2) == 0)
                value.insert(more.begin(), more.end());
            const auto [now, judged] = config->remoteSetSizes(value, kNodePath);
            // The pins a set names count at their widest records, now too; an
            // empty set hands the components the whole stored configuration.
            if (value.empty() || (value.contains("device") && value["device"].contains("gpio")))
                EXPECT_LE(tavo::Config::fileText(current).size(), now.octets);
            else
                EXPECT_EQ(now.octets, tavo::Config::fileText(current).size());
            const bool admitted = config->admitsRemoteSet(value, kNodePath);
            try {
                config->configSet(value);
            } catch (const std::exception&) {
            }
            const json after = config->configGet();
            ASSERT_LE(tavo::Config::fileText(after).size(), judged.octets) << value.dump();
            ASSERT_LE(LambdaTree::countNodes(after), judged.nodes) << value.dump();
            const auto [longest, octets] = LambdaTree::measurePaths(after, kNodePath);
            const auto [longestBefore, octetsBefore] = LambdaTree::measurePaths(current, kNodePath);
            if (admitted) {
                ASSERT_TRUE(longest <= LambdaTree::kMaxNodePath || longest <= longestBefore) << longest;
                ASSERT_TRUE(octets <= LambdaTree::kMaxMirrorPaths || octets <= octetsBefore) << octets;
            }
        }
    }
}

// A long text or member name passes where the file holds one of its kind at
// least as long at that key path; the file may not grow over its octets, nor
// "config" over its nodes.
TEST_F(ConfigRemoteSetTest, LongTextsAndTheNodesAreBounded)
{
    const std::string text(5000, 'l');
    const std::string name(5000, 'n');
    begin({{"tcp", {{"long", text}, {name, 1}}}});
    const json current = config->configGet();
    // A member of `slack` elements brings "config" to the bound exactly.
    const size_t slack = LambdaTree::kMaxMirrorNodes - 1 - LambdaTree::countNodes(current);
    // Texts within their bound that bring the file to its bound exactly.
    constexpr size_t kFile = tavo::Config::Config::kMaxRemoteFile;
    json filled = current;
    json& pad = filled["tcp"]["pad"] = json::array();
    while (tavo::Config::fileText(filled).size() < kFile - tavo::Config::Config::kMaxRemoteText)
        pad.push_back(std::string(2048, 'p'));
    pad.push_back("");
    pad.back() = std::string(kFile - tavo::Config::fileText(filled).size(), 'p');
    json overPad = pad;
    overPad.back().get_ref<std::string&>() += "p";
    const std::pair<json, bool> cases[] = {
        {current, true},
        {{{"tcp", {{"long", std::string(5000, 'm')}}}}, true},
        {{{"tcp", {{std::string(5000, 'm'), 1}}}}, true},
        {{{"tcp", {{"page", std::string(4096, 'p')}}}}, true},
        {{{"tcp", {{"long", text + "l"}}}}, false},
        {{{"tcp", {{"other", text}}}}, false},
        {{{"mqtt", {{name, 1}}}}, false},
        {{{"tcp", {{"list", {1, {{"deep", std::string(4097, 'p')}}}}}}}, false},
        {{{"tcp", {{"more", std::vector<int>(slack)}}}}, true},
        {{{"tcp", {{"more", std::vector<int>(slack + 1)}}}}, false},
        // A path of 16,019 octets, then one of 20,020.
        {{{"tcp", chain(4, 0)}}, true},
        {{{"tcp", chain(5, 0)}}, false},
        // Leaves of about 12,020 octets each, the chain above them.
        {{{"tcp", chain(3, std::vector<int>(16))}}, true},
        {{{"tcp", chain(3, std::vector<int>(22))}}, false},
        {{{"tcp", {{"long", {{std::string(5000, 'm'), 1}}}}}}, false},
        {{{"tcp", {{"pad", pad}}}}, true},
        {{{"tcp", {{"pad", overPad}}}}, false},
    };
    for (const auto& [value, admitted] : cases)
        EXPECT_EQ(config->admitsRemoteSet(value, kNodePath), admitted) << value.dump().substr(0, 80);
    config->configSet({{"tcp", {{"pad", pad}}}});
    EXPECT_EQ(tavo::Config::fileText(config->configGet()).size(), kFile);
}

// At the file bound exactly, with every pin an output: a set that names a
// pin and changes nothing else is judged as the configuration now, however
// the board may leave the pin meanwhile, and passes; one octet more does
// not.
TEST_F(ConfigRemoteSetTest, APinSetAtTheFileBoundPasses)
{
    const auto octets = [this] { return tavo::Config::fileText(config->configGet()).size(); };
    json pins;
    for (const char* pin : {"0", "1", "2", "3"})
        pins[pin] = {{"mode", "digitalOut"}, {"value", 0}};
    json tcp = {{"pad", ""}};
    for (int filler = 10; filler < 74; ++filler)
        tcp["f" + std::to_string(filler)] = std::string(4000, 'f');
    begin({{"device", {{"gpio", pins}}}, {"tcp", tcp}});
    tcp["pad"] = std::string(tavo::Config::Config::kMaxRemoteFile - octets(), 'p');
    config->configSet({{"tcp", tcp}});
    const json current = config->configGet();
    ASSERT_EQ(octets(), tavo::Config::Config::kMaxRemoteFile);

    EXPECT_TRUE(config->admitsRemoteSet(current, kNodePath));
    EXPECT_TRUE(config->admitsRemoteSet({{"device", {{"gpio", {{"2", {{"value", 1}}}}}}}}, kNodePath));
    tcp["pad"] = tcp["pad"].get<std::string>() + "p";
    EXPECT_FALSE(config->admitsRemoteSet({{"tcp", tcp}}, kNodePath));
}


// A file edited by hand may hold a path over 16 KiB, more than 800 nodes,
// or a file and paths over 256 KiB: the value a get returned sets back, and a small set of
// another section passes, but a set that grows them does not. Near 256 KiB
// of paths, a small set that takes them over is refused.
TEST_F(ConfigRemoteSetTest, AConfigurationOverABoundIsSetBackButNotGrown)
{
    const std::string name(4000, 'n');
    json wide;
    json leaves;
    for (int member = 100; member < 170; ++member) {
        wide[std::to_string(member) + name] = member;
        leaves[std::to_string(member)] = member;
    }
    const json pin = {{"device", {{"gpio", {{"2", {{"mode", "digitalOut"}}}}}}}};
    const std::pair<json, json> cases[] = {
        {{{"tcp", chain(5, 0)}}, {{"tcp", chain(6, 0)}}},
        {{{"tcp", {{"list", std::vector<int>(900)}}}}, {{"tcp", {{"more", 1}}}}},
        {{{"tcp", wide}}, {{"tcp", {{"170" + name, 1}}}}},
        {{{"tcp", {{"deep", {{name, leaves}}}}}}, {{"tcp", {{"deep", {{name, {{"170", 1}}}}}}}}},
    };
    for (const auto& [start, grown] : cases) {
        begin(start);
        EXPECT_TRUE(config->admitsRemoteSet(config->configGet(), kNodePath)) << start.dump().substr(0, 80);
        EXPECT_TRUE(config->admitsRemoteSet(pin, kNodePath)) << start.dump().substr(0, 80);
        EXPECT_FALSE(config->admitsRemoteSet(grown, kNodePath)) << start.dump().substr(0, 80);
    }
    begin(json::object());
    json near = config->configGet();
    json& nearLeaves = near["tcp"]["deep"][name];
    for (int leaf = 100; LambdaTree::measurePaths(near, kNodePath).octets <= LambdaTree::kMaxMirrorPaths; ++leaf)
        nearLeaves[std::to_string(leaf)] = leaf;
    nearLeaves.erase(std::to_string(99 + nearLeaves.size()));
    config->configSet(near);
    EXPECT_TRUE(config->admitsRemoteSet(config->configGet(), kNodePath));
    EXPECT_FALSE(config->admitsRemoteSet({{"tcp", {{"deep", {{name, {{"999", 1}}}}}}}}, kNodePath));
}

// The node counts every path from the topic root, its own "config/"
// included: a path of 16,384 octets passes, or paths of 262,144 octets
// together, and one octet more is refused. A file's root that a set may
// not give is set back with the rest of its section.
TEST_F(ConfigRemoteSetTest, TheNodeJudgesPathsFromTheTopicRoot)
{
    begin(json::object());
    // Leaves below a long name: "config/tcp/deep/<name>/" has 4,017 octets,
    // and the last leaf's name brings the paths of "config" to the bound.
    json whole = config->configGet();
    json& leaves = whole["tcp"]["deep"][std::string(4000, 'n')];
    const auto paths = [&whole] { return LambdaTree::measurePaths(whole, kNodePath).octets; };
    for (int leaf = 100; paths() + 2 * 4020 < LambdaTree::kMaxMirrorPaths; ++leaf)
        leaves[std::to_string(leaf)] = 0;
    const size_t fill = LambdaTree::kMaxMirrorPaths - paths() - 4017;
    json atBound = whole["tcp"]["deep"];
    json overBound = atBound;
    atBound.begin()->emplace(std::string(fill, 'z'), 0);
    overBound.begin()->emplace(std::string(fill + 1, 'z'), 0);
    // "config/tcp/deep" and four names of 4,000 octets make 16,019.
    const std::pair<json, bool> rows[] = {
        {{{"tcp", chain(4, {{std::string(364, 'x'), 0}})}}, true},
        {{{"tcp", chain(4, {{std::string(365, 'x'), 0}})}}, false},
        {{{"tcp", {{"deep", atBound}}}}, true},
        {{{"tcp", {{"deep", overBound}}}}, false},
    };
    for (size_t row = 0; row < std::size(rows); ++row) {
        begin(json::object());
        const json error = setOnNode(rows[row].first).value("error", json());
        EXPECT_EQ(error, rows[row].second ? json() : json({{"description", "Value too wide"}})) << row;
    }

    begin({{"mqtt", {{"base", "$lumacore"}}}});
    json mqtt = config->configGet()["mqtt"];
    mqtt["keepAliveSec"] = 30;
    EXPECT_EQ(setOnNode({{"mqtt", mqtt}}).value("error", json()), json());
}

// A value whose own paths are refused is refused before any component
// previews it: a preview keeps each setting under its whole path, which for
// such a value takes megabytes.
TEST_F(ConfigRemoteSetTest, NoPreviewRunsForAValueItsOwnPathsRefuse)
{
    begin(json::object());
    const auto counted = std::make_shared<PreviewCount>();
    config->observerAttach(counted);
    json leaves;
    for (int leaf = 0; leaf < 700; ++leaf)
        leaves["leaf" + std::to_string(leaf)] = leaf;
    EXPECT_FALSE(config->admitsRemoteSet({{"tcp", chain(15, leaves)}}, kNodePath));
    EXPECT_EQ(counted->previews, 0);
    EXPECT_TRUE(config->admitsRemoteSet({{"tcp", chain(1, 0)}}, kNodePath));
    EXPECT_GT(counted->previews, 0);
}

// A file may hold a client id or a user name MQTT cannot carry: a set that
// keeps it and changes another member is applied and saved.
TEST_F(ConfigRemoteSetTest, ASetThatKeepsTheFilesClientIdOrUserNamePasses)
{
    const std::pair<const char*, const char*> rows[] = {{"clientId", "lumacore\u0007"}, {"username", "user\u0001"}};
    for (const auto& [key, text] : rows) {
        startFrom({{"mqtt", {{key, text}}}});
        json section = client->getConfig().toJson();
        ASSERT_EQ(section[key], text) << key;
        section["keepAliveSec"] = 7;
        const json reply = setOnNode({{"mqtt", section}});
        EXPECT_EQ(reply["completed"], true) << key << " " << reply.value("error", json());
        const json saved = json::parse(readFile(path()))["mqtt"];
        EXPECT_EQ(saved.value("keepAliveSec", json()), 7) << key;
        EXPECT_EQ(saved.value(key, json()), text) << key;
    }
}

} // namespace
