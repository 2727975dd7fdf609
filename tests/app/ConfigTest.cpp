// The configuration file with observers that stand for components: start-up
// against every kind of file, configSet, the merge order, the ".bad" copy,
// failed and interrupted rewrites, and what reaches the log.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <iterator>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/Config.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

using nlohmann::json;
using tavo::Config::Config;

// A component with a section of two typed settings ("name", "level") and
// whatever it was built with besides; a section member of the wrong type
// throws the JSON library's type error, as a real component's would.
class SectionObserver : public tavo::Config::Observer {
public:
    SectionObserver(std::string section, json settings) : section(std::move(section)), settings(std::move(settings)) {}

    void onConfigSet(const json& config) override
    {
        received.push_back(config);
        if (!config.is_object() || !config.contains(section)) {
            return;
        }
        const json& mine = config[section];
        if (mine.contains("name")) {
            settings["name"] = mine["name"].get<std::string>();
        }
        if (mine.contains("level")) {
            settings["level"] = mine["level"].get<int>();
        }
    }
    json onConfigGet() const override { return {{section, settings}}; }

    std::string section;
    json settings;
    std::vector<json> received;
};

const char* const kDefaultFile = R"({
    "alpha": {
        "level": 1,
        "name": "a"
    },
    "beta": {
        "level": 2,
        "name": "b"
    }
})";

void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// Runs f in a child process and returns its exit status (-1 when it did not
// exit normally). The child logs errors only and never returns to the test.
template <typename F>
int inChild(F&& f)
{
    const pid_t pid = fork();
    if (pid == 0) {
        Log::setLevel(Log::Error);
        _exit(f());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ConfigTest : public ::testing::Test {
protected:
    ConfigTest() : previousDir(std::filesystem::current_path())
    {
        Log::setLevel(Log::Debug);
        std::filesystem::current_path(workDir.path());
        alpha = std::make_shared<SectionObserver>("alpha", json{{"name", "a"}, {"level", 1}});
        beta = std::make_shared<SectionObserver>("beta", json{{"name", "b"}, {"level", 2}});
        config.observerAttach(alpha);
        config.observerAttach(beta);
    }
    ~ConfigTest() override
    {
        std::filesystem::current_path(previousDir);
        Log::setLevel(Log::Info);
    }

    json fileJson() const { return json::parse(readFile(path)); }
    bool saved() const { return capture.contains("[Config] Saving updated config file '" + temporary + "'"); }

    LogCapture capture;
    TempDir dir;
    TempDir workDir;
    std::filesystem::path previousDir;
    const std::string path = dir.file("lumacore.json");
    const std::string temporary = dir.file("lumacore-" + std::to_string(getpid()) + "-temp-config");
    Config config{path};
    std::shared_ptr<SectionObserver> alpha;
    std::shared_ptr<SectionObserver> beta;
};

struct StartCase {
    const char* name;
    bool exists;
    std::string content;
    const char* error;  // the error line, "<path>" standing for the path; "" for none
    bool rewritten;     // the file is written with the components' configuration
    bool keptAsBad;     // the old content is kept as ".bad"
};

class ConfigStartTest : public ConfigTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(ConfigStartTest, SynchronisesFileAndComponents)
{
    const StartCase& c = GetParam();
    if (c.exists) {
        writeFile(path, c.content);
    }
    config.update();

    if (*c.error != '\0') {
        std::string error = std::string("[Config] ") + c.error;
        error.replace(error.find("<path>"), 6, path);
        EXPECT_TRUE(capture.contains(LOG_ERR, error)) << testing::PrintToString(capture.texts());
    }
    EXPECT_EQ(saved(), c.rewritten);
    EXPECT_EQ(readFile(path), c.rewritten ? std::string(kDefaultFile) : c.content);
    EXPECT_EQ(std::filesystem::exists(path + ".bad"), c.keptAsBad);
    if (c.keptAsBad) {
        EXPECT_EQ(readFile(path + ".bad"), c.content);
        EXPECT_TRUE(capture.contains(LOG_WARNING, "[Config] Kept the unusable config file as '" + path + ".bad'"));
    }
    EXPECT_FALSE(std::filesystem::exists(temporary));
    EXPECT_TRUE(std::filesystem::is_empty(workDir.path()));
}

INSTANTIATE_TEST_SUITE_P(
    Files, ConfigStartTest,
    ::testing::Values(
        StartCase{"NoFile", false, "", "Could not read config file: '<path>'.", true, false},
        StartCase{"EmptyFile", true, "", "Could not read config file '<path>': empty file", true, false},
        StartCase{"ExtraMember", true, R"({"alpha":{"level":1,"name":"a"},"beta":{"level":2,"name":"b"},"x":1})", "",
                  true, false},
        StartCase{"EmptyObject", true, "{}", "", true, false},
        StartCase{"TrailingText", true, R"({"alpha":{"level":1,"name":"a"}} x)",
                  "Could not read config file '<path>': malformed json", true, true},
        StartCase{"Comment", true, "// settings\n{}", "Could not read config file '<path>': malformed json", true,
                  true},
        StartCase{"EqualFile", true, kDefaultFile, "", false, false},
        StartCase{"EqualFileOtherLayout", true, R"({"beta":{"name":"b","level":2.0},"alpha":{"level":1,"name":"a"}})",
                  "", false, false}),
    [](const testing::TestParamInfo<StartCase>& info) { return info.param.name; });

TEST_F(ConfigTest, StartWithFileHandsEveryObserverItsContent)
{
    writeFile(path, R"({"alpha":{"name":"z"},"extra":[1]})");
    config.update();
    const json file = {{"alpha", {{"name", "z"}}}, {"extra", {1}}};
    ASSERT_EQ(alpha->received.size(), 1u);
    EXPECT_EQ(alpha->received[0], file);
    EXPECT_EQ(beta->received, alpha->received);
    EXPECT_EQ(fileJson(), json::parse(R"({"alpha":{"level":1,"name":"z"},"beta":{"level":2,"name":"b"}})"));
}

TEST_F(ConfigTest, EmptySetReappliesTheStoredConfiguration)
{
    writeFile(path, kDefaultFile);
    config.update();
    for (const json& empty : {json(), json::object(), json::array()}) {
        config.configSet(empty);
    }
    ASSERT_EQ(alpha->received.size(), 4u);
    for (const json& received : alpha->received) {
        EXPECT_EQ(received, json::parse(kDefaultFile));
    }
    EXPECT_FALSE(saved());
}

TEST_F(ConfigTest, SetRewritesTheFileOnlyWhenItChangesIt)
{
    writeFile(path, kDefaultFile);
    config.update();
    config.configSet(json::parse(kDefaultFile));
    EXPECT_FALSE(saved());

    // Complete: every component takes it, so only the file differs.
    const json complete = {{"alpha", {{"level", 1}, {"name", "new"}}}, {"beta", {{"level", 2}, {"name", "b"}}}};
    config.configSet(complete);
    EXPECT_TRUE(saved());
    EXPECT_EQ(fileJson(), complete);
}

TEST_F(ConfigTest, LowerAddressWinsASharedKey)
{
    Config shared{dir.file("shared.json")};
    auto first = std::make_shared<SectionObserver>("alpha", json{{"name", "first"}});
    auto second = std::make_shared<SectionObserver>("alpha", json{{"name", "second"}});
    shared.observerAttach(second);
    shared.observerAttach(first);
    shared.observerAttach(first);
    shared.observerAttach(beta);
    const auto lower = first.get() < second.get() ? first : second;
    EXPECT_EQ(shared.configGet(), (json{{"alpha", lower->settings}, {"beta", beta->settings}}));
}

TEST_F(ConfigTest, WrongTypeReachesTheCallerAndLeavesTheFile)
{
    writeFile(path, kDefaultFile);
    config.update();
    const json wrong = {{"alpha", {{"level", "high"}}}, {"beta", {{"level", "high"}}}};
    EXPECT_THROW(config.configSet(wrong), json::type_error);
    EXPECT_EQ(readFile(path), kDefaultFile);
}

TEST_F(ConfigTest, RewriteKeepsTheModeAndReplacesAStaleTemporaryLink)
{
    writeFile(path, "{}");
    chmod(path.c_str(), 0640);
    const std::string victim = dir.file("victim");
    writeFile(victim, "untouched");
    std::filesystem::create_symlink(victim, temporary);

    config.update();
    struct stat file;
    ASSERT_EQ(stat(path.c_str(), &file), 0);
    EXPECT_EQ(file.st_mode & 07777, 0640u);
    EXPECT_EQ(readFile(path), kDefaultFile);
    EXPECT_EQ(readFile(victim), "untouched");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(temporary)));
}

TEST_F(ConfigTest, TemporaryFileThatCannotBeMadeLeavesTheOldFile)
{
    writeFile(path, kDefaultFile);
    alpha->settings["name"] = "changed";
    config.configGet();
    std::filesystem::create_directory(temporary);
    EXPECT_FALSE(config.fileWrite());
    EXPECT_TRUE(capture.contains(LOG_ERR, "[Config] Could not write config file: '" + temporary + "'."));
    EXPECT_EQ(readFile(path), kDefaultFile);
}

TEST_F(ConfigTest, FailedWriteLeavesTheOldFile)
{
    writeFile(path, kDefaultFile);
    alpha->settings["padding"] = std::string(100000, 'p');
    config.configGet();
    const int status = inChild([this] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        return config.fileWrite() ? 1 : 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(path), kDefaultFile);
    const auto entries = std::distance(std::filesystem::directory_iterator(dir.path()), {});
    EXPECT_EQ(entries, 1) << "the temporary file stayed";
}

// A rewrite killed at any moment leaves the old or the new file whole. The
// child reports each finished set through a pipe; the kills sweep through
// the time one set takes.
TEST_F(ConfigTest, KilledRewriteLeavesAWholeFile)
{
    alpha->settings["padding"] = std::string(1 << 18, 'p');
    config.update();
    constexpr int kRounds = 30;
    for (int round = 0; round < kRounds; ++round) {
        int done[2];
        ASSERT_EQ(pipe(done), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            Log::setLevel(Log::Error);
            close(done[0]);
            for (int i = 0;; ++i) {
                config.configSet({{"alpha", {{"name", i % 2 ? "odd" : "even"}}}});
                (void)!write(done[1], "x", 1);
            }
        }
        close(done[1]);
        char mark;
        ASSERT_EQ(read(done[0], &mark, 1), 1);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(read(done[0], &mark, 1), 1);
        const auto period = std::chrono::steady_clock::now() - start;
        std::this_thread::sleep_for(period * round / kRounds);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        close(done[0]);
        const json file = json::parse(readFile(path), nullptr, false);
        ASSERT_FALSE(file.is_discarded()) << "round " << round;
        const std::string name = file["alpha"]["name"];
        EXPECT_TRUE(name == "a" || name == "odd" || name == "even") << name;
    }
}

TEST_F(ConfigTest, PasswordsStayInTheFileButNotInTheLog)
{
    beta->settings["password"] = "hunter2";
    beta->settings["nested"] = {{"password", "swordfish"}, {"list", {{{"password", "letmein"}}}}};
    alpha->settings["invalid"] = "\xff\xfe";
    config.update();
    config.configSet(json());
    const std::string file = readFile(path);
    for (const char* secret : {"hunter2", "swordfish", "letmein"}) {
        EXPECT_NE(file.find(secret), std::string::npos) << secret;
        for (const std::string& text : capture.texts()) {
            EXPECT_EQ(text.find(secret), std::string::npos) << text;
        }
    }
    const auto texts = capture.texts();
    EXPECT_NE(std::find_if(texts.begin(), texts.end(),
                           [](const std::string& text) {
                               return text.find("| beta/password ") != std::string::npos &&
                                      text.find("********") != std::string::npos;
                           }),
              texts.end())
        << testing::PrintToString(texts);
    EXPECT_EQ(fileJson()["alpha"]["invalid"], "\xef\xbf\xbd\xef\xbf\xbd");
}

} // namespace
