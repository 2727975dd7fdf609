// The "device" and "tcp" sections between the configuration file, a manager
// on the simulated board and a TCP service on loopback sockets.

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <syslog.h>

#include <nlohmann/json.hpp>

#include "ServiceFixture.h"
#include "app/BoardConfigAdaptor.h"
#include "app/Config.h"
#include "app/TCPConfigAdaptor.h"
#include "app/version/Version.h"
#include "foundation/JsonSetting.h"
#include "support/TempDir.h"
#include "support/Unowned.h"

namespace {

using nlohmann::json;

class ConfigAdaptorsTest : public ServiceTest {
protected:
    // Opens the board, makes the service with the command line's port,
    // attaches both adaptors and reads the file; then starts the service.
    void startUp(const std::string& file, unsigned long commandLinePort)
    {
        open();
        makeService(commandLinePort);
        board = std::make_shared<tavo::Board::ConfigAdaptor>(unowned(config), manager);
        tcp = std::make_shared<tavo::Board::TCP::ConfigAdaptor>(unowned(config), service);
        config.observerAttach(board);
        config.observerAttach(tcp);
        std::ofstream(path, std::ios::binary) << file;
        config.update();
        service->start();
    }

    json fileJson() const { return json::parse(readFile(path)); }

    TempDir dir;
    const std::string path = dir.file("lumacore.json");
    tavo::Config::Config config{path};
    std::shared_ptr<tavo::Board::ConfigAdaptor> board;
    std::shared_ptr<tavo::Board::TCP::ConfigAdaptor> tcp;
};

TEST_F(ConfigAdaptorsTest, SectionsReachTheComponentsAndAreWrittenBack)
{
    port = freePort();
    const json device = {{"display", {{"brightness", 40}, {"mode", "manual"}}},
                         {"serial", {{"1", {{"protocol", "rs485"}, {"duplex", "half"}}}}}};
    startUp(json{{"device", device}, {"tcp", {{"port", port}}}}.dump(), getDefaultPort());
    connect(client);
    EXPECT_EQ(boardState([](SimDeviceState& s) { return s.backlightLevel; }), 40);
    EXPECT_EQ(boardState([](SimDeviceState& s) { return s.serialPorts[1].protocol; }), 1);
    EXPECT_EQ(fileJson(), (json{{"device", manager->getConfig()}, {"tcp", {{"address", "127.0.0.1"}, {"port", port}}}}));
    EXPECT_EQ(fileJson()["device"]["serial"]["1"]["duplex"], "half");
}

TEST_F(ConfigAdaptorsTest, CommandLinePortWinsAndTheFileKeepsItsSettings)
{
    const unsigned short configured = freePort();
    port = freePort();
    startUp(json{{"tcp", {{"port", configured}, {"extra", "kept"}}}}.dump(), port);
    connect(client);
    EXPECT_EQ(fileJson()["tcp"], (json{{"address", "127.0.0.1"}, {"extra", "kept"}, {"port", configured}}));
}

struct IgnoredCase {
    json document;
    const char* logged; // the document as the board adaptor's debug line shows it
    const char* warned; // the "tcp" member in the warning; "" for none
};

TEST_F(ConfigAdaptorsTest, DocumentsWithoutUsableSectionsChangeNothing)
{
    port = freePort();
    startUp(json{{"tcp", {{"port", port}}}}.dump(), getDefaultPort());
    const json device = manager->getConfig();
    const json settings = service->configGet();
    const IgnoredCase cases[] = {
        {{{"mqtt", {{"password", "hunter2"}}}, {"tcp", 5}}, R"({"mqtt":{"password":"********"},"tcp":5})", "5"},
        {{{"device", nullptr}, {"tcp", "1500"}}, R"({"device":null,"tcp":"1500"})", R"("1500")"},
        {{{"device", json::object()}, {"tcp", {1500}}}, R"({"device":{},"tcp":[1500]})", "[1500]"},
        {json::array({1, 2}), "[1,2]", ""},
    };
    for (const IgnoredCase& c : cases) {
        capture.clear();
        board->onConfigSet(c.document);
        tcp->onConfigSet(c.document);
        EXPECT_TRUE(capture.contains(std::string("[ManagerConfigAdaptor] Setting config... ") + c.logged)) << c.logged;
        const std::string warning = "[TCP::ConfigAdaptor] Ignoring the tcp section: not an object: ";
        EXPECT_EQ(capture.contains(LOG_WARNING, warning + c.warned), *c.warned != '\0') << c.logged;
        EXPECT_FALSE(capture.contains("[Manager] Notifying observers of setConfig"));
        EXPECT_EQ(manager->getConfig(), device);
        EXPECT_EQ(service->configGet(), settings);
    }
    connect(client);
}

TEST_F(ConfigAdaptorsTest, WrongDeviceTypeReachesTheCallerAndTheBoardReportsWhatItHolds)
{
    open();
    board = std::make_shared<tavo::Board::ConfigAdaptor>(unowned(config), manager);
    config.observerAttach(board);
    const std::string text = R"({"device": {"statusPeriod": "often"}})";
    std::ofstream(path, std::ios::binary) << text;
    const json before = manager->getConfig();
    try {
        config.update();
        ADD_FAILURE() << "taken";
    } catch (const SettingError& error) {
        EXPECT_EQ(error.what(), path + R"(: device/statusPeriod: "often" is not an unsigned number of milliseconds)");
    }
    // A set from a peer is refused alike.
    EXPECT_THROW(config.configSet({{"device", {{"statusPeriod", -1}}}}), SettingError);
    EXPECT_EQ(readFile(path), text);
    EXPECT_EQ(board->onConfigGet(), (json{{"device", before}}));
}

} // namespace
