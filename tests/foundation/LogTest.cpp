#include "foundation/Log.h"

#include "foundation/JsonText.h"

#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

#include <syslog.h>

namespace {

const std::string red = "\033[31m";
const std::string yellow = "\033[33m";
const std::string reset = "\033[39m";

class LogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Log::open("lumacore-test", false, false);
        Log::setLevel(Log::Debug);
    }

    void TearDown() override
    {
        Log::setLevel(Log::Debug);
        Log::open("lumacore-test", false, false);
    }

    LogCapture capture;
};

class Component : public Logger
{
public:
    explicit Component(const std::string& name) : Logger(name) {}
};

} // namespace

TEST_F(LogTest, StampCountsSecondsSinceOpenInNineColumns)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Log::info("x=%d", 5);
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].priority, LOG_INFO);
    std::smatch m;
    const std::regex stamped(R"(^\[ {4}(\d\.\d{3})\] x=5$)");
    ASSERT_TRUE(std::regex_match(lines[0].line, m, stamped)) << lines[0].line;
    const double seconds = std::stod(m[1]);
    EXPECT_GE(seconds, 0.15);
    EXPECT_LT(seconds, 9.0);
    EXPECT_EQ(lines[0].text, "x=5");

    // A new open restarts the stamp.
    Log::open("lumacore-test", false, false);
    Log::info("again");
    const std::string again = capture.lines().back().line;
    ASSERT_TRUE(std::regex_match(again, m, std::regex(R"(^\[ {4}(\d\.\d{3})\] again$)"))) << again;
    EXPECT_LT(std::stod(m[1]), seconds);
}

TEST_F(LogTest, PrioritiesAndColours)
{
    Log::open("lumacore-test", false, true);
    Log::error("bad");
    Log::warning("%s", "careful");
    Log::info("fine");
    Log::debug("detail");
    Log::print(static_cast<Log::Level>(7), "odd");
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 5u);
    const int priorities[] = {LOG_ERR, LOG_WARNING, LOG_INFO, LOG_DEBUG, LOG_DEBUG};
    const std::string texts[] = {red + "bad" + reset, yellow + "careful" + reset, "\033[39mfine" + reset,
                                 "\033[35mdetail" + reset, "odd" + reset};
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].priority, priorities[i]) << i;
        EXPECT_EQ(lines[i].text, texts[i]) << i;
        // The colour encloses the text, never the stamp.
        EXPECT_EQ(lines[i].line.substr(0, 1), "[") << i;
    }
}

TEST_F(LogTest, TextIsLiteralButFormatIsNot)
{
    Log::print(Log::Info, std::string("100% %d %s"));
    Log::print(Log::Info, "rate %d%%", 50);
    Log::open("lumacore-test", false, true);
    Log::print(Log::Error, std::string("50%"));
    EXPECT_EQ(capture.texts(), (std::vector<std::string>{"100% %d %s", "rate 50%", red + "50%" + reset}));
    EXPECT_EQ(capture.lines()[2].priority, LOG_ERR);
}

TEST_F(LogTest, LevelMaskFiltersLines)
{
    Log::setLevel(Log::Warning);
    Log::debug("d1");
    Log::info("i1");
    Log::print(Log::Info, std::string("i2"));
    Log::warning("w1");
    Log::error("e1");
    Log::setLevel(Log::Info);
    Log::debug("d2");
    Log::info("i3");
    Log::setLevel(Log::Error);
    Log::warning("w2");
    Log::error("e2");
    Log::setLevel(static_cast<Log::Level>(9));
    Log::print(static_cast<Log::Level>(9), "any");
    EXPECT_EQ(capture.texts(), (std::vector<std::string>{"w1", "e1", "i3", "e2", "any"}));
}

namespace {
// A value whose serialiser counts its calls.
struct Counted {
    int* calls;
};

void to_json(nlohmann::json& value, const Counted& counted)
{
    ++*counted.calls;
    value = "counted";
}
} // namespace

TEST_F(LogTest, ADebugLineAtTheInfoLevelDoesNotSerialiseItsValue)
{
    int calls = 0;
    for (Log::Level level : {Log::Info, Log::Debug}) {
        Log::setLevel(level);
        EXPECT_EQ(Log::enabled(Log::Debug), level == Log::Debug);
        if (Log::enabled(Log::Debug))
            Log::debug("value %s", JsonText::forLog(Counted{&calls}).c_str());
    }
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(capture.texts(), std::vector<std::string>{"value \"counted\""});
}

TEST_F(LogTest, LoggerPrefixesItsName)
{
    const Component config("Lpc::Config");
    config.log(Log::Warning, "value %d", 3);
    Log::open("lumacore-test", false, true);
    config.log(Log::Error, "failed %s", "now");
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].priority, LOG_WARNING);
    EXPECT_EQ(lines[0].text, "[Lpc::Config] value 3");
    EXPECT_EQ(lines[1].text, red + "[Lpc::Config] failed now" + reset);
}

TEST_F(LogTest, SinkSeesLinesFromEveryThreadAndNothingGoesToStderr)
{
    testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 100; ++i) {
                Log::info("thread %d line %d", t, i);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(capture.lines().size(), 400u);
    EXPECT_TRUE(capture.contains("thread 3 line 99"));
    EXPECT_TRUE(capture.waitFor("thread 0 line 0", 10));
    EXPECT_FALSE(capture.waitFor("never logged", 10));
    capture.clear();
    EXPECT_TRUE(capture.lines().empty());
}

TEST(LogCaptureTest, StripStamp)
{
    EXPECT_EQ(LogCapture::stripStamp("[    1.500] x=5"), "x=5");
    EXPECT_EQ(LogCapture::stripStamp("[1733689000.123] [Manager] up"), "[Manager] up");
    EXPECT_EQ(LogCapture::stripStamp("no stamp"), "no stamp");
}
