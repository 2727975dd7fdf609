// The "device" section between the configuration file and a manager on the
// simulated board.

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "app/BoardConfigAdaptor.h"
#include "app/Config.h"
#include "board/ManagerFixture.h"
#include "support/TempDir.h"
#include "support/Unowned.h"

namespace {

using nlohmann::json;

class BoardConfigAdaptorTest : public ManagerTest {
protected:
    // The adaptor's reference to the configuration does not own it, so the
    // configuration and its observers end with the test.
    void attach()
    {
        open();
        adaptor = std::make_shared<tavo::Board::ConfigAdaptor>(unowned(config), manager);
        config.observerAttach(adaptor);
    }

    void writeFile(const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

    TempDir dir;
    const std::string path = dir.file("lumacore.json");
    tavo::Config::Config config{path};
    std::shared_ptr<tavo::Board::ConfigAdaptor> adaptor;
};

TEST_F(BoardConfigAdaptorTest, DeviceSectionReachesTheBoardAndIsWrittenBack)
{
    attach();
    writeFile(R"({"device": {"display": {"brightness": 40, "mode": "manual"},
                             "serial": {"1": {"protocol": "rs485", "duplex": "half"}}}})");
    config.update();

    EXPECT_EQ(boardState([](SimDeviceState& s) { return s.backlightLevel; }), 40);
    EXPECT_EQ(boardState([](SimDeviceState& s) { return s.serialPorts[1].protocol; }), 1);
    const json file = json::parse(readFile(path));
    EXPECT_EQ(file, (json{{"device", manager->getConfig()}}));
    EXPECT_EQ(file["device"]["display"]["brightness"], 40);
    EXPECT_EQ(file["device"]["serial"]["1"]["duplex"], "half");
}

struct IgnoredCase {
    const char* name;
    json document;
    const char* logged; // the document as the debug line shows it
};

class BoardConfigIgnoredTest : public BoardConfigAdaptorTest, public ::testing::WithParamInterface<IgnoredCase> {};

TEST_P(BoardConfigIgnoredTest, LeavesTheBoardAlone)
{
    attach();
    const json before = manager->getConfig();
    capture.clear();
    adaptor->onConfigSet(GetParam().document);
    EXPECT_TRUE(capture.contains(std::string("[ManagerConfigAdaptor] Setting config... ") + GetParam().logged))
        << testing::PrintToString(capture.texts());
    EXPECT_FALSE(capture.contains("[Manager] Notifying observers of setConfig"));
    EXPECT_EQ(manager->getConfig(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, BoardConfigIgnoredTest,
    ::testing::Values(
        IgnoredCase{"OtherSections", {{"mqtt", {{"password", "hunter2"}, {"url", "x"}}}, {"tcp", {{"port", 1500}}}},
                    R"({"mqtt":{"password":"********","url":"x"},"tcp":{"port":1500}})"},
        IgnoredCase{"NullDevice", {{"device", nullptr}}, R"({"device":null})"},
        IgnoredCase{"EmptyDevice", {{"device", json::object()}}, R"({"device":{}})"},
        IgnoredCase{"NotAnObject", json::array({1, 2}), "[1,2]"}),
    [](const testing::TestParamInfo<IgnoredCase>& info) { return info.param.name; });

TEST_F(BoardConfigAdaptorTest, WrongTypeReachesTheCallerAndTheBoardReportsWhatItHolds)
{
    attach();
    const std::string text = R"({"device": {"statusPeriod": "often"}})";
    writeFile(text);
    const json before = manager->getConfig();
    EXPECT_THROW(config.update(), json::type_error);
    EXPECT_EQ(readFile(path), text);
    EXPECT_EQ(adaptor->onConfigGet(), (json{{"device", before}}));
}

} // namespace
