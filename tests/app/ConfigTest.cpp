// The configuration file with observers that stand for components: start-up
// against every kind of file, configSet, the merge order, the ".bad" copy,
// failed and interrupted rewrites, and what reaches the log.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <utility>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "DaemonProcess.h"
#include "app/Config.h"
#include "messaging/JsonNesting.h"
#include "support/EndedProcess.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

using nlohmann::json;
using tavo::Config::Config;

// A component whose section has the typed settings "name" and "level"; a
// member of the wrong type throws the JSON library's type error.
class SectionObserver : public tavo::Config::Observer {
public:
    SectionObserver(std::string section, json settings) : section(std::move(section)), settings(std::move(settings)) {}

    void onConfigSet(const json& config) override
    {
        received.push_back(config);
        apply(config, settings);
    }
    bool appliedLast() const override { return last; }
    json onConfigGet() const override { return {{section, settings}}; }
    json onConfigPreview(const json& config) const override
    {
        json preview = settings;
        apply(config, preview);
        return {{section, preview}};
    }

    void apply(const json& config, json& to) const
    {
        const json mine = config.is_object() ? config.value(section, json::object()) : json::object();
        if (mine.contains("name")) {
            to["name"] = mine["name"].get<std::string>();
        }
        if (mine.contains("level")) {
            to["level"] = mine["level"].get<int>();
        }
    }

    std::string section;
    json settings;
    std::vector<json> received;
    bool last = false;
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

size_t linesWith(const LogCapture& capture, const std::string& text)
{
    const auto texts = capture.texts();
    return std::count_if(texts.begin(), texts.end(), [&](const std::string& t) { return t.find(text) != t.npos; });
}

class ConfigTest : public ::testing::Test {
protected:
    ConfigTest() : previousDir(std::filesystem::current_path())
    {
        Log::setLevel(Log::Debug);
        std::filesystem::current_path(workDir.path());
        config.observerAttach(alpha);
        config.observerAttach(beta);
    }
    ~ConfigTest() override
    {
        std::filesystem::current_path(previousDir);
        Log::setLevel(Log::Info);
    }

    json fileJson() const { return json::parse(readFile(path)); }
    bool saved() const { return linesWith(capture, "[Config] Saving updated config file") != 0; }

    LogCapture capture;
    TempDir dir;
    TempDir workDir;
    std::filesystem::path previousDir;
    const std::string path = dir.file("lumacore.json");
    Config config{path};
    std::shared_ptr<SectionObserver> alpha = std::make_shared<SectionObserver>("alpha", json{{"name", "a"}, {"level", 1}});
    std::shared_ptr<SectionObserver> beta = std::make_shared<SectionObserver>("beta", json{{"name", "b"}, {"level", 2}});
};

struct StartCase {
    const char* name;
    bool exists;
    std::string content;
    const char* error; // the error line after "[Config] ", "<path>" for the path; "" when the file is read
    bool rewritten;    // the file then holds the components' configuration
    bool keptAsBad;    // the old content is kept as ".bad"
};

class ConfigStartTest : public ConfigTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(ConfigStartTest, SynchronisesFileAndComponents)
{
    const StartCase& c = GetParam();
    if (c.exists) {
        writeFile(path, c.content);
    }
    config.update();

    std::string error = c.error;
    if (error.empty()) {
        EXPECT_EQ(alpha->received, std::vector<json>{json::parse(c.content)});
    } else {
        EXPECT_TRUE(capture.contains(LOG_ERR, "[Config] " + error.replace(error.find("<path>"), 6, path)));
    }
    EXPECT_EQ(saved(), c.rewritten);
    EXPECT_EQ(readFile(path), c.rewritten ? std::string(kDefaultFile) : c.content);
    EXPECT_EQ(std::filesystem::exists(path + ".bad"), c.keptAsBad);
    if (c.keptAsBad) {
        EXPECT_EQ(readFile(path + ".bad"), c.content);
        EXPECT_TRUE(capture.contains(LOG_WARNING, "[Config] Kept the unusable config file as '" + path + ".bad'"));
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), c.keptAsBad ? 2 : 1);
    EXPECT_TRUE(std::filesystem::is_empty(workDir.path()));
    EXPECT_EQ(linesWith(capture, "| SETTING "), 1u) << "the settings table is printed once";
}

INSTANTIATE_TEST_SUITE_P(
    Files, ConfigStartTest,
    ::testing::Values(
        StartCase{"NoFile", false, "", "Could not read config file: '<path>'.", true, false},
        StartCase{"EmptyFile", true, "", "Could not read config file '<path>': empty file", true, false},
        StartCase{"ExtraMember", true, R"({"alpha":{"level":1,"name":"a"},"beta":{"level":2,"name":"b"},"x":1})", "",
                  true, false},
        StartCase{"EmptyObject", true, "{}", "", true, false},
        StartCase{"PartialSection", true, R"({"alpha":{"name":"a"}})", "", true, false},
        StartCase{"TrailingText", true, R"({"alpha":{"level":1,"name":"a"}} x)",
                  "Could not read config file '<path>': malformed json", true, true},
        StartCase{"Comment", true, "// settings\n{}", "Could not read config file '<path>': malformed json", true,
                  true},
        StartCase{"EqualFile", true, kDefaultFile, "", false, false},
        StartCase{"EqualFileOtherLayout", true, R"({"beta":{"name":"b","level":2.0},"alpha":{"level":1,"name":"a"}})",
                  "", false, false}),
    [](const testing::TestParamInfo<StartCase>& info) { return info.param.name; });

// A document whose member "x" nests arrays so that the whole is depth deep.
std::string nestedFile(size_t depth)
{
    return R"({"x":)" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
}

std::string expanded(std::string text, const std::string& path, const std::string& other)
{
    for (const auto& [mark, value] : {std::pair<std::string, std::string>{"<path>", path}, {"<other>", other}}) {
        if (const size_t at = text.find(mark); at != text.npos) {
            text.replace(at, mark.size(), value);
        }
    }
    return text;
}

struct PathCase {
    const char* name;
    // Makes what the configuration path names; other is another directory.
    void (*make)(const std::string& path, const std::string& other);
    const char* error;   // the start's error line after "[Config] "; "" when the file is read
    const char* refusal; // why the file is never replaced; "" when a set saves it
    const char* bad;     // where the unusable file is kept; "" when nowhere
};

class ConfigPathTest : public ConfigTest, public ::testing::WithParamInterface<PathCase> {
protected:
    TempDir other;
};

// Only a regular file within the bound is read or replaced, through a link
// where it lives; anything else stays as it is, and a set answers that it
// could not save.
TEST_P(ConfigPathTest, ReadsAndReplacesOnlyARegularFileWhereItLives)
{
    const PathCase& c = GetParam();
    c.make(path, other.path());
    const auto kind = std::filesystem::symlink_status(path).type();
    config.update();
    if (*c.error != '\0') {
        EXPECT_TRUE(capture.contains(LOG_ERR, "[Config] " + expanded(c.error, path, other.path())));
    } else {
        EXPECT_EQ(alpha->received.size(), 1u);
    }
    const Config::Saving saving = config.configSet({{"alpha", {{"name", "changed"}}}});
    EXPECT_EQ(std::filesystem::symlink_status(path).type(), kind);
    if (*c.refusal != '\0') {
        EXPECT_EQ(saving, Config::Saving::WriteFailed);
        EXPECT_TRUE(capture.contains(LOG_ERR, "[Config] Could not write config file '" + path + "': " + c.refusal));
        EXPECT_FALSE(saved());
        EXPECT_TRUE(!std::filesystem::is_regular_file(path) || std::filesystem::file_size(path) > (16u << 20));
    } else {
        EXPECT_EQ(saving, Config::Saving::Saved);
        EXPECT_EQ(fileJson()["alpha"]["name"], "changed");
    }
    for (const std::string& directory : {dir.path(), other.path()}) {
        for (const auto& entry : std::filesystem::directory_iterator(directory)) {
            const std::string name = entry.path().string();
            EXPECT_EQ(name.find("-temp-config"), name.npos) << name;
            EXPECT_TRUE(name.size() < 4 || name.compare(name.size() - 4, 4, ".bad") != 0 ||
                        name == expanded(c.bad, path, other.path()))
                << name;
        }
    }
    if (*c.bad != '\0') {
        EXPECT_TRUE(std::filesystem::exists(expanded(c.bad, path, other.path())));
    }
    EXPECT_TRUE(std::filesystem::is_empty(workDir.path()));
}

const char* const kNotRegular = "Could not read config file '<path>': not a regular file";

INSTANTIATE_TEST_SUITE_P(
    Paths, ConfigPathTest,
    ::testing::Values(
        PathCase{"Fifo", [](const std::string& path, const std::string&) { mkfifo(path.c_str(), 0644); },
                 kNotRegular, "not a regular file", ""},
        PathCase{"LinkToADevice",
                 [](const std::string& path, const std::string&) {
                     std::filesystem::create_symlink("/dev/null", path);
                 },
                 kNotRegular, "not a regular file", ""},
        PathCase{"Directory",
                 [](const std::string& path, const std::string&) { std::filesystem::create_directory(path); },
                 kNotRegular, "not a regular file", ""},
        PathCase{"OverTheBound",
                 [](const std::string& path, const std::string&) {
                     writeFile(path, "{}");
                     std::filesystem::resize_file(path, Config::kMaxFileOctets + 1);
                 },
                 "Could not read config file '<path>': larger than 16 MiB", "larger than 16 MiB", ""},
        PathCase{"AtTheBound",
                 [](const std::string& path, const std::string&) {
                     writeFile(path, "{}" + std::string(Config::kMaxFileOctets - 2, ' '));
                 },
                 "", "", ""},
        PathCase{"NestedPastTheBound",
                 [](const std::string& path, const std::string&) { writeFile(path, nestedFile(kMaxJsonNesting + 1)); },
                 "Could not read config file '<path>': nested deeper than 64 levels", "", "<path>.bad"},
        PathCase{"NestedAtTheBound",
                 [](const std::string& path, const std::string&) { writeFile(path, nestedFile(kMaxJsonNesting)); },
                 "", "", ""},
        PathCase{"RelativeLinkElsewhere",
                 [](const std::string& path, const std::string& other) {
                     writeFile(other + "/lumacore.json", kDefaultFile);
                     std::filesystem::create_symlink(
                         std::filesystem::relative(other + "/lumacore.json", std::filesystem::path(path).parent_path()),
                         path);
                 },
                 "", "", ""},
        PathCase{"LinkToNothingYet",
                 [](const std::string& path, const std::string& other) {
                     std::filesystem::create_symlink(other + "/new.json", path);
                 },
                 "Could not read config file: '<path>'.", "", ""},
        PathCase{"LinkToAMalformedFile",
                 [](const std::string& path, const std::string& other) {
                     writeFile(other + "/lumacore.json", "{");
                     std::filesystem::create_symlink(other + "/lumacore.json", path);
                 },
                 "Could not read config file '<path>': malformed json", "", "<other>/lumacore.json.bad"}),
    [](const testing::TestParamInfo<PathCase>& info) { return info.param.name; });

// Start-up keeps an unusable file as ".bad" and writes the new one within
// one hold of the file's lock, which the process stop takes before it ends
// the process: whenever the lock is free, the old file or the new one is
// there. Held here from before the rewrite begins, the lock must keep the
// rename waiting as well as the write.
TEST_F(ConfigTest, AnUnusableFileIsReplacedWithinOneHoldOfTheFileLock)
{
    writeFile(path, "{ unusable");
    std::atomic<bool> done{false};
    size_t missing = 0;
    {
        std::unique_lock<std::mutex> file(Config::fileLock());
        std::thread startUp([this, &done] {
            config.update();
            done = true;
        });
        const std::string temporary = dir.file("lumacore-" + std::to_string(getpid()) + "-temp-config");
        EXPECT_TRUE(capture.waitFor("[Config] Saving updated config file '" + temporary + "'", 10000));
        // Time for a rename that does not wait for the lock.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(readFile(path), "{ unusable");
        file.unlock();
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            file.lock();
            missing += std::filesystem::exists(path) ? 0 : 1;
            file.unlock();
        }
        startUp.join();
    }
    EXPECT_EQ(missing, 0u);
    EXPECT_EQ(readFile(path), kDefaultFile);
    EXPECT_EQ(readFile(path + ".bad"), "{ unusable");
}

TEST_F(ConfigTest, EmptySetReappliesTheStoredConfiguration)
{
    writeFile(path, kDefaultFile);
    config.update();
    for (const json& empty : {json(), json::object(), json::array()}) {
        config.configSet(empty);
    }
    EXPECT_EQ(beta->received, std::vector<json>(4, json::parse(kDefaultFile)));
    EXPECT_FALSE(saved());
}

// A complete configuration that every component takes equals their merge;
// it is saved because the file differs.
TEST_F(ConfigTest, SetRewritesTheFileOnlyWhenItChangesIt)
{
    writeFile(path, kDefaultFile);
    config.update();
    config.configSet(json::parse(kDefaultFile));
    EXPECT_FALSE(saved());
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
    for (const auto& observer : {second, first, first, beta}) {
        shared.observerAttach(observer);
    }
    const auto lower = first.get() < second.get() ? first : second;
    EXPECT_EQ(shared.configGet(), (json{{"alpha", lower->settings}, {"beta", beta->settings}}));
}

TEST_F(ConfigTest, WrongTypeReachesTheCallerAndLeavesTheFile)
{
    writeFile(path, kDefaultFile);
    config.update();
    EXPECT_THROW(config.configSet({{"alpha", {{"level", "high"}}}, {"beta", {{"level", "high"}}}}), json::type_error);
    EXPECT_EQ(readFile(path), kDefaultFile);
}

// The observer applied last waits for every other one, wherever it lies in
// address order, and a set another one refuses never reaches it.
TEST_F(ConfigTest, AnObserverAppliedLastMissesASetAnotherRefuses)
{
    Config ordered{dir.file("ordered.json")};
    auto first = std::make_shared<SectionObserver>("alpha", json{{"level", 1}});
    auto second = std::make_shared<SectionObserver>("beta", json{{"level", 2}});
    const auto lower = first.get() < second.get() ? first : second;
    const auto higher = lower == first ? second : first;
    lower->last = true;
    ordered.observerAttach(first);
    ordered.observerAttach(second);
    const json fails = {{lower->section, {{"level", 5}}}, {higher->section, {{"level", "high"}}}};
    EXPECT_THROW(ordered.configSet(fails), json::type_error);
    EXPECT_TRUE(lower->received.empty());
    EXPECT_EQ(higher->received.size(), 1u);
}

TEST_F(ConfigTest, RewriteKeepsTheModeAndReplacesAStaleTemporaryLink)
{
    writeFile(path, "{}");
    chmod(path.c_str(), 0640);
    const std::string victim = dir.file("victim");
    const std::string temporary = dir.file("lumacore-" + std::to_string(getpid()) + "-temp-config");
    writeFile(victim, "untouched");
    std::filesystem::create_symlink(victim, temporary);

    config.update();
    EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms(0640));
    EXPECT_EQ(readFile(path), kDefaultFile);
    EXPECT_EQ(readFile(victim), "untouched");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(temporary)));
}

// Rewrites killed with their process leave temporary files under names of
// their own; start-up removes those of ended processes and nothing else.
TEST_F(ConfigTest, UpdateRemovesTemporariesOfEndedProcessesOnly)
{
    const pid_t ended = endedProcessId();
    ASSERT_GT(ended, 0);
    const std::string dead = std::to_string(ended);
    const struct {
        std::string name;
        bool stays;
    } files[] = {
        {"lumacore-" + dead + "-temp-config", false},
        {"lumacore-" + std::to_string(getppid()) + "-temp-config", true},
        {"lumacore-" + dead + "-temp-config.bak", true},
        {"lumacore-x" + dead + "-temp-config", true},
        {"other-" + dead + "-temp-config", true},
    };
    for (const auto& file : files) {
        writeFile(dir.file(file.name), kDefaultFile);
    }
    writeFile(path, kDefaultFile);
    config.update();
    for (const auto& file : files) {
        EXPECT_EQ(std::filesystem::exists(dir.file(file.name)), file.stays) << file.name;
    }
}

// Each case breaks the rewrite in a child process; fileWrite must report
// it, and leave the old file and no temporary file behind.
TEST_F(ConfigTest, FailedRewriteLeavesTheOldFile)
{
    const std::vector<std::function<void()>> breakers{
        [this] { // the temporary file cannot be made
            std::filesystem::create_directory(dir.file("lumacore-" + std::to_string(getpid()) + "-temp-config"));
        },
        [] { // the disk fills up halfway
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{4096, 4096};
            setrlimit(RLIMIT_FSIZE, &limit);
        }};
    writeFile(path, kDefaultFile);
    alpha->settings["padding"] = std::string(100000, 'p');
    config.configGet();
    for (const auto& breaker : breakers) {
        const pid_t pid = fork();
        if (pid == 0) {
            breaker();
            _exit(config.fileWrite() ? 1 : 0);
        }
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(readFile(path), kDefaultFile);
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            EXPECT_TRUE(entry.path() == path || entry.is_directory()) << entry.path();
        }
    }
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
        std::this_thread::sleep_for((std::chrono::steady_clock::now() - start) * round / kRounds);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        close(done[0]);
        const json file = json::parse(readFile(path), nullptr, false);
        ASSERT_FALSE(file.is_discarded()) << "round " << round;
        EXPECT_TRUE(file["alpha"]["name"] == "odd" || file["alpha"]["name"] == "even") << file["alpha"]["name"];
    }
}

TEST_F(ConfigTest, PasswordsStayInTheFileButNotInTheLog)
{
    beta->settings["password"] = "hunter2";
    beta->settings["nested"] = {{"password", "swordfish"}, {"list", {{{"password", "letmein"}}}}};
    alpha->settings["invalid"] = "\xff\xfe";
    config.update();
    config.configSet(json());
    for (const char* secret : {"hunter2", "swordfish", "letmein"}) {
        EXPECT_NE(readFile(path).find(secret), std::string::npos) << secret;
        EXPECT_EQ(linesWith(capture, secret), 0u) << secret;
    }
    EXPECT_NE(linesWith(capture, "********"), 0u);
    EXPECT_EQ(fileJson()["alpha"]["invalid"], "\xef\xbf\xbd\xef\xbf\xbd");
}

} // namespace

// Each row is as wide as the widest: a long text or key path is shown cut
// after 256 octets (whole UTF-8 characters), with its length.
TEST_F(ConfigTest, TheSettingsTableCutsLongTexts)
{
    std::string accented;
    for (int i = 0; i < 300; ++i) {
        accented += "\xc3\xa9";
    }
    beta->settings["long"] = std::string(1000000, 'x');
    beta->settings["accented"] = accented;
    beta->settings[std::string(300, 'k')] = 1;
    beta->settings["mid"] = std::string(100, 'm');
    config.update();
    EXPECT_EQ(fileJson()["beta"]["long"], beta->settings["long"]);
    std::string table;
    for (const std::string& row : capture.texts()) {
        if (row.rfind("[Settings] ", 0) == 0) {
            EXPECT_LT(row.size(), 600u);
            table += row + "\n";
        }
        // Too wide to align to, the 100-octet value widens its own row only.
        if (row.rfind("[Settings] | beta/name ", 0) == 0) {
            EXPECT_LT(row.size(), 100u) << row;
        }
    }
    for (const std::string& shown : {" " + std::string(256, 'x') + "... (1000000 octets) ",
                                     " " + accented.substr(0, 256) + "... (600 octets) ",
                                     "beta/" + std::string(251, 'k') + "... (305 octets) ", std::string(" b ")}) {
        EXPECT_EQ(occurrences(table, shown), 1u) << table;
    }
    // The debug line of every configuration set is cut the same way.
    EXPECT_LT(tavo::Config::dumpForLog(fileJson()).size(), 4096u);
}
