// The "tcp" and "device" sections between the configuration file, a TCP
// service on loopback sockets and a manager on the simulated board.

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "ServiceFixture.h"
#include "app/BoardConfigAdaptor.h"
#include "app/Config.h"
#include "app/TCPConfigAdaptor.h"
#include "app/version/Version.h"
#include "support/TempDir.h"
#include "support/Unowned.h"

namespace {

using nlohmann::json;

class TCPConfigAdaptorTest : public ServiceTest {
protected:
    // Opens the board, makes the service with the command line's port and
    // attaches both adaptors; then the file is read and the service started.
    void startUp(const std::string& file, unsigned long commandLinePort)
    {
        open();
        makeService(commandLinePort);
        config.observerAttach(std::make_shared<tavo::Board::ConfigAdaptor>(unowned(config), manager));
        adaptor = std::make_shared<tavo::Board::TCP::ConfigAdaptor>(unowned(config), service);
        config.observerAttach(adaptor);
        std::ofstream(path, std::ios::binary) << file;
        config.update();
        service->start();
    }

    json fileJson() const { return json::parse(readFile(path)); }

    TempDir dir;
    const std::string path = dir.file("lumacore.json");
    tavo::Config::Config config{path};
    std::shared_ptr<tavo::Board::TCP::ConfigAdaptor> adaptor;
};

TEST_F(TCPConfigAdaptorTest, SectionWithOnlyAPortMovesTheService)
{
    port = freePort();
    startUp(json{{"device", {{"display", {{"brightness", 40}, {"mode", "manual"}}}}}, {"tcp", {{"port", port}}}}.dump(),
            getDefaultPort());
    connect(client);
    EXPECT_EQ(boardState([](SimDeviceState& s) { return s.backlightLevel; }), 40);
    EXPECT_EQ(fileJson(), (json{{"device", manager->getConfig()}, {"tcp", {{"address", "127.0.0.1"}, {"port", port}}}}));
}

TEST_F(TCPConfigAdaptorTest, CommandLinePortWinsAndTheFileKeepsItsSettings)
{
    const unsigned short configured = freePort();
    port = freePort();
    startUp(json{{"tcp", {{"port", configured}, {"extra", "kept"}}}}.dump(), port);
    connect(client);
    EXPECT_EQ(fileJson()["tcp"], (json{{"address", "127.0.0.1"}, {"extra", "kept"}, {"port", configured}}));
}

TEST_F(TCPConfigAdaptorTest, SectionThatIsNoObjectIsIgnored)
{
    port = freePort();
    startUp(json{{"tcp", {{"port", port}}}}.dump(), getDefaultPort());
    const json before = service->configGet();
    for (const json& tcp : {json(5), json("1500"), json::array({1500}), json()}) {
        capture.clear();
        adaptor->onConfigSet({{"tcp", tcp}});
        EXPECT_TRUE(capture.contains("[TCP::ConfigAdaptor] Ignoring the tcp section: not an object: " + tcp.dump()));
        EXPECT_EQ(service->configGet(), before);
    }
    connect(client);
}

} // namespace
