// The serial-link stress test against the simulated board: what it reports
// must be what the link did, in both report formats.

#include "ManagerFixture.h"

#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "board/StressTest.h"

namespace {

using tavo::Board::StressTest;

// "key = value" lines of an INI text, section headers and blank lines skipped.
std::map<std::string, size_t> iniValues(const std::string& text)
{
    std::map<std::string, size_t> values;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t eq = line.find(" = ");
        if (eq != std::string::npos)
            values[line.substr(0, eq)] = std::stoull(line.substr(eq + 3));
    }
    return values;
}

size_t executedTests(const LogCapture& capture)
{
    const auto texts = capture.texts();
    return static_cast<size_t>(std::count_if(texts.begin(), texts.end(), [](const std::string& text) {
        return text.rfind("Executing: ", 0) == 0 && text.size() > 14 && text.compare(text.size() - 3, 3, ".. ") == 0;
    }));
}

struct LinkCase {
    const char* name;
    std::function<void(SimulatedBoard&)> fault;
    std::function<void(const LpcStats&, size_t lostOnLine)> check;
};

class StressTestLinkTest : public ManagerTest, public ::testing::WithParamInterface<LinkCase> {};

} // namespace

// A one-second run: every request that reached the board is counted once,
// under the outcome the link gave it.
TEST_P(StressTestLinkTest, ReportCountsWhatTheLinkDid)
{
    open();
    settle();
    GetParam().fault(board);
    const LpcStats before = manager->getStats();
    {
        StressTest test(manager);
        test.execute(std::chrono::seconds(1));
    }
    settle();
    const LpcStats stats = manager->getStats();

    std::set<uint16_t> seqNos;
    size_t lost = 0;
    for (const auto& request : board.requests()) {
        seqNos.insert(request.message.SeqNo);
        lost += request.lost ? 1 : 0;
    }
    EXPECT_EQ(seqNos.size(), stats.successes + stats.retransmitted + stats.failures);
    EXPECT_GT(stats.successes + stats.retransmitted + stats.failures,
              before.successes + before.retransmitted + before.failures);
    EXPECT_GT(executedTests(capture), 0u);
    GetParam().check(stats, lost);
}

INSTANTIATE_TEST_SUITE_P(
    Links, StressTestLinkTest,
    ::testing::Values(
        LinkCase{"Clean", [](SimulatedBoard&) {},
                 [](const LpcStats& stats, size_t lost) {
                     EXPECT_EQ(lost, 0u);
                     EXPECT_EQ(stats.failures, 0u);
                 }},
        LinkCase{"EveryThirdRequestLost", [](SimulatedBoard& board) { board.dropEveryNthRequest(3); },
                 [](const LpcStats& stats, size_t lost) {
                     EXPECT_GT(lost, 0u);
                     EXPECT_GE(stats.retransmitted, lost);
                     EXPECT_EQ(stats.failures, 0u);
                 }},
        LinkCase{"SilentBoard", [](SimulatedBoard& board) { board.setSilent(true); },
                 [](const LpcStats& stats, size_t) { EXPECT_GT(stats.failures, 0u); }}),
    [](const ::testing::TestParamInfo<LinkCase>& info) { return std::string(info.param.name); });

using StressTestReportTest = ManagerTest;

// Both formats carry every counter, equal to the driver's, and the file
// holds exactly the text of the log line, replacing a longer old file.
TEST_F(StressTestReportTest, BothFormatsCarryEveryCounter)
{
    open();
    settle();
    StressTest test(manager);
    test.execute(std::chrono::seconds(0));
    const LpcStats stats = manager->getStats();
    const std::map<std::string, size_t> expected{{"droppedBytes", stats.droppedBytes},
                                                 {"successes", stats.successes},
                                                 {"failures", stats.failures},
                                                 {"retransmitted", stats.retransmitted},
                                                 {"total", stats.successes + stats.failures + stats.retransmitted}};
    EXPECT_EQ(executedTests(capture), 0u);

    for (const auto format : {StressTest::Format::ini, StressTest::Format::json}) {
        SCOPED_TRACE(static_cast<int>(format));
        const std::string path = firmwareDir.file("report");
        std::ofstream(path) << std::string(4096, 'x');
        capture.clear();
        EXPECT_TRUE(test.report(format, path));

        const std::string text = readFile(path);
        EXPECT_TRUE(capture.contains("Report:\n" + text));
        std::map<std::string, size_t> values;
        if (format == StressTest::Format::ini) {
            values = iniValues(text);
        } else {
            EXPECT_EQ(text.find('\n'), std::string::npos);
            const auto json = nlohmann::json::parse(text);
            values["droppedBytes"] = json.at("serial").at("droppedBytes").get<size_t>();
            for (const char* key : {"successes", "failures", "retransmitted", "total"})
                values[key] = json.at("packets").at(key).get<size_t>();
        }
        EXPECT_EQ(values, expected);
    }
}

TEST_F(StressTestReportTest, UnwritableFileIsLoggedNotThrown)
{
    open();
    const std::string path = firmwareDir.file("missing/report.json");
    EXPECT_FALSE(StressTest(manager).report(StressTest::Format::json, path));
    EXPECT_TRUE(capture.contains("Could not open file '" + path + "': No such file or directory"));
}
