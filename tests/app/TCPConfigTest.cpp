// The TCP service's settings: defaults, the port's conversions and keys
// kept through a merge.

#include <gtest/gtest.h>

#include "app/TCPConfig.h"

namespace {

TEST(TCPConfig, PortReadsAsANumberWhateverItsJsonType)
{
    const std::pair<nlohmann::json, unsigned long> cases[] = {
        {1500, 1500}, {"1500", 1500}, {1500.7, 1500}, {"letters", 0}, {true, 0},
    };
    for (const auto& c : cases) {
        tavo::Board::TCP::Config config;
        config.fromJson({{"port", c.first}});
        EXPECT_EQ(config.portGet(), c.second) << c.first;
    }
}

TEST(TCPConfig, DefaultsAndOtherKeys)
{
    tavo::Board::TCP::Config config;
    EXPECT_EQ(config.toJson(), (nlohmann::json{{"address", "127.0.0.1"}, {"port", 1414}}));
    config.fromJson({{"extra", "kept"}, {"address", "0.0.0.0"}});
    config.portSet(2000);
    EXPECT_EQ(config.addressGet(), "0.0.0.0");
    EXPECT_EQ(config.toJson(), (nlohmann::json{{"address", "0.0.0.0"}, {"extra", "kept"}, {"port", 2000}}));
}

} // namespace
