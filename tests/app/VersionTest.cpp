#include <gtest/gtest.h>

#include <regex>

#include "app/version/Version.h"

TEST(Version, TextsAndDefaults)
{
    EXPECT_STREQ(getProjectVersion(), "1.0.28");
    EXPECT_STREQ(getProjectName(), "lumacore");
    EXPECT_STREQ(getProjectDescription(), "LPC Lumacore");
    EXPECT_STREQ(getDefaultConfigFile(), "lumacore.json");
    EXPECT_EQ(getDefaultPort(), 1414u);
    EXPECT_STREQ(getDefaultDevice(), "/dev/lpc");
}

TEST(Version, BuildStampHasTheCompilerForms)
{
    EXPECT_TRUE(std::regex_match(getProgramBuildDate(), std::regex("[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}")))
        << getProgramBuildDate();
    EXPECT_TRUE(std::regex_match(getProgramBuildTime(), std::regex("[0-9]{2}:[0-9]{2}:[0-9]{2}")))
        << getProgramBuildTime();
}
