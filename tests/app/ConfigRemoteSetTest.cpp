// Remote sets of "config" judged by what they would really leave, through
// the real components (board on the simulated board, TCP service, MQTT
// client, none of them started): random sets against the bound they were
// judged by, and the rules for long texts, the file and the nodes.

#include <gtest/gtest.h>

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

class ConfigRemoteSetTest : public ManagerTest {
protected:
    ConfigRemoteSetTest() { open(); }

    // A fresh configuration over the components, holding start.
    void begin(const json& start)
    {
        config.reset();
        config = std::make_unique<tavo::Config::Config>(dir.file("lumacore.json"));
        service = std::make_shared<tavo::Board::TCP::Service>(manager, getDefaultPort(), false);
        config->observerAttach(std::make_shared<tavo::Config::MqttAdaptor>(unowned(*config), client));
        config->observerAttach(std::make_shared<tavo::Board::ConfigAdaptor>(unowned(*config), manager));
        config->observerAttach(std::make_shared<tavo::Board::TCP::ConfigAdaptor>(unowned(*config), service));
        config->configSet(start);
    }

    size_t pick(size_t count) { return std::uniform_int_distribution<size_t>(0, count - 1)(random); }

    std::string randomKey()
    {
        static const char* const keys[] = {"0", "1", "2", "a", "b", "mode", "value", "resistor", "log", "x/y", ""};
        return pick(8) == 0 ? "k" + std::to_string(pick(1000)) : keys[pick(std::size(keys))];
    }

    json randomValue(int depth)
    {
        static const char* const texts[] = {"", "digitalOut", "digitalIn", "analogIn", "pullUp", "rs485", "manual"};
        json value = json::object();
        switch (pick(depth > 0 ? 7 : 4)) {
        case 0:
            return nullptr;
        case 1:
            return pick(20) * 1000;
        case 2:
            return pick(3) == 0 ? std::string(pick(3000), 't') : texts[pick(std::size(texts))];
        case 3:
            return pick(2) == 0;
        case 4:
            value = json::array();
            for (size_t size = pick(6); value.size() < size;)
                value.push_back(randomValue(depth - 1));
            return value;
        default:
            for (size_t members = pick(6); members > 0; --members)
                value[randomKey()] = randomValue(depth - 1);
            return value;
        }
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
        return LambdaTree::wrap(path, randomValue(3));
    }

    TempDir dir;
    std::shared_ptr<MQTT::Client> client = std::make_shared<MQTT::Client>("tavo/lumacore", "MQTT");
    std::shared_ptr<tavo::Board::TCP::Service> service;
    std::unique_ptr<tavo::Config::Config> config;
    std::mt19937 random{52};
};

// Whatever a set does (merges, type changes at any depth, a component that
// throws half-way), it leaves at most the file and the nodes it was judged
// by, and the configuration's size now is exact.
TEST_F(ConfigRemoteSetTest, ASetLeavesAtMostWhatItWasJudgedBy)
{
    Log::setLevel(Log::Error);
    for (int round = 0; round < 30; ++round) {
        begin(json::object());
        for (int set = 0; set < 100; ++set) {
            const json value = randomSet(config->configGet());
            const auto [now, judged] = config->remoteSetSizes(value);
            EXPECT_EQ(now.octets, tavo::Config::fileText(config->configGet()).size());
            try {
                config->configSet(value);
            } catch (const std::exception&) {
            }
            const json after = config->configGet();
            ASSERT_LE(tavo::Config::fileText(after).size(), judged.octets) << value.dump();
            ASSERT_LE(LambdaTree::countNodes(after), judged.nodes) << value.dump();
        }
    }
}

json membersOf(const json& element, size_t count)
{
    json members;
    for (size_t i = 0; i < count; ++i)
        members["a" + std::to_string(i)] = element;
    return members;
}

// A long text or member name passes where the file holds one at least as
// long; the file and the nodes may not grow over their bounds, however
// the type of a member changes.
TEST_F(ConfigRemoteSetTest, LongTextsTheFileAndTheNodesAreBounded)
{
    const std::string text(5000, 'l');
    const std::string name(5000, 'n');
    const std::string page(4096, 'p');
    json arr = json::array();
    for (size_t i = 0; i < 390; ++i)
        arr.push_back(i);
    begin({{"tcp", {{"long", text}, {name, 1}, {"big", std::vector<std::string>(50, page)}, {"arr", arr}}}});
    const json current = config->configGet();
    // A member of `slack` elements brings "config" to the bound exactly.
    const size_t slack = LambdaTree::kMaxMirrorNodes - 1 - LambdaTree::countNodes(current);
    struct Case {
        json value;
        bool admitted;
    } const cases[] = {
        {current, true},
        {json::object(), true},
        {{{"tcp", {{"long", std::string(5000, 'm')}}}}, true},
        {{{"tcp", {{std::string(5000, 'm'), 1}}}}, true},
        {{{"tcp", {{"page", page}}}}, true},
        {{{"tcp", {{"long", text + "l"}}}}, false},
        {{{"tcp", {{"other", text}}}}, false},
        {{{"mqtt", {{name, 1}}}}, false},
        {{{"tcp", {{"list", {1, {{"deep", page + "p"}}}}}}}, false},
        {{{"tcp", {{"big", membersOf(page, 50)}}}}, false},
        {{{"tcp", {{"arr", membersOf(0, 390)}}}}, false},
        {{{"tcp", {{"more", std::vector<int>(slack)}}}}, true},
        {{{"tcp", {{"more", std::vector<int>(slack + 1)}}}}, false},
    };
    for (const Case& row : cases)
        EXPECT_EQ(config->admitsRemoteSet(row.value), row.admitted) << row.value.dump().substr(0, 80);
}

} // namespace
