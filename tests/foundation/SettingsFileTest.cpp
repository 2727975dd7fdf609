#include "foundation/Settings.h"
#include "foundation/Utils.h"

#include "tests/support/EndedProcess.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

using nlohmann::json;

namespace {

void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> filesIn(const std::string& dir)
{
    std::vector<std::string> names;
    for (const std::string& path : Utils::listFiles(dir, "")) {
        names.push_back(Utils::getFilenameFromFilepath(path));
    }
    std::sort(names.begin(), names.end());
    return names;
}

class SettingsFile : public ::testing::Test
{
protected:
    // True when an error line begins with "[Settings] " and text.
    bool logged(const std::string& text) const
    {
        for (const LogCapture::Line& line : capture.lines()) {
            if (line.priority == LOG_ERR && line.text.rfind("[Settings] " + text, 0) == 0) {
                return true;
            }
        }
        return false;
    }

    TempDir dir;
    LogCapture capture;
};

SettingStore nested()
{
    SettingStore store;
    store.fromJson(json::parse(R"({
        "mqtt": {"host": "broker.local", "port": 1883, "keepalive": 2.5,
                 "log": {"payload": false, "offset": -40}},
        "tcp": {"clients": ["a", "b\u00e9"], "debug": true, "nothing": null}})"));
    return store;
}

} // namespace

TEST_F(SettingsFile, JsonLayoutAndRoundTrip)
{
    SettingStore store;
    store["port"] = Variant(1414u);
    store["address"] = Variant("127.0.0.1");
    const std::string path = dir.file("conf.json");
    writeFile(path, std::string(200, 'x'));
    ASSERT_TRUE(store.save(path, SettingStore::Auto));
    EXPECT_EQ(readFile(path), "{\n    \"address\": \"127.0.0.1\",\n    \"port\": 1414\n}");
    EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"conf.json"});

    SettingStore loaded;
    ASSERT_TRUE(loaded.load(path, SettingStore::Auto));
    EXPECT_EQ(loaded.toMap(), store.toMap());

    const SettingStore original = nested();
    ASSERT_TRUE(original.save(path, SettingStore::Auto));
    SettingStore back;
    ASSERT_TRUE(back.load(path, SettingStore::Auto));
    EXPECT_EQ(back.toMap(), original.toMap());
    EXPECT_EQ(back.get("mqtt/log/offset"), Variant(-40L));
    EXPECT_EQ(back.get("mqtt/port"), Variant(1883ul));
    EXPECT_EQ(back.get("mqtt/keepalive"), Variant(2.5));
    EXPECT_EQ(back.get("tcp/clients/1"), Variant("b\xC3\xA9"));
    EXPECT_EQ(back.get("tcp/nothing"), Variant());
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(SettingsFile, SqliteRoundTripKeepsExactTags)
{
    SettingStore store = nested();
    store["signed"] = Variant(5);
    store["text"] = Variant("100%", Variant::String);
    store["odd"] = Variant("x", static_cast<Variant::Type>(9));
    const std::string path = dir.file("settings.db");
    ASSERT_TRUE(store.save(path, SettingStore::Auto));

    {
        SQLite::Database db(path);
        SQLite::Statement row(db, "SELECT value, type FROM settings WHERE key = 'mqtt/port'");
        ASSERT_TRUE(row.executeStep());
        EXPECT_EQ(row.getColumn(0).getString(), "1883");
        EXPECT_EQ(row.getColumn(1).getInt(), 3);
    }

    SettingStore back;
    back["extra"] = Variant(1);
    ASSERT_TRUE(back.load(path, SettingStore::Auto));
    EXPECT_EQ(back.get("signed"), Variant(5));
    EXPECT_EQ(back.get("odd"), Variant("x", static_cast<Variant::Type>(9)));
    EXPECT_TRUE(back.exists("extra"));
    back.load(std::map<std::string, Variant>{});
    ASSERT_TRUE(back.load(path, SettingStore::SQLite));
    EXPECT_EQ(back.toMap(), store.toMap());

    // A NULL value column reads as the empty text.
    SQLite::Database writer(path, SQLite::OPEN_READWRITE);
    writer.exec("INSERT INTO settings VALUES ('n', NULL, 1)");
    ASSERT_TRUE(back.load(path, SettingStore::SQLite));
    EXPECT_EQ(back.get("n"), Variant(""));
}

TEST_F(SettingsFile, EmptyStores)
{
    const SettingStore empty;
    ASSERT_TRUE(empty.save(dir.file("e.json"), SettingStore::Auto));
    EXPECT_EQ(readFile(dir.file("e.json")), "null");
    ASSERT_TRUE(empty.save(dir.file("e.sqlite3"), SettingStore::Auto));

    SettingStore loaded;
    EXPECT_TRUE(loaded.load(dir.file("e.json"), SettingStore::Auto));
    EXPECT_TRUE(loaded.load(dir.file("e.sqlite3"), SettingStore::Auto));
    EXPECT_TRUE(loaded.keys().empty());
}

TEST_F(SettingsFile, FormatByExtension)
{
    SettingStore store;
    store["k"] = Variant(1);
    EXPECT_FALSE(store.save(dir.file("settings.txt"), SettingStore::Auto));
    EXPECT_FALSE(store.save(dir.file("settings.JSON"), SettingStore::Auto));
    EXPECT_FALSE(store.save(dir.file("noextension"), SettingStore::Auto));
    EXPECT_FALSE(store.load(dir.file("settings.txt"), SettingStore::Auto));
    EXPECT_FALSE(store.save(dir.file("x.json"), static_cast<SettingStore::FileType>(7)));
    EXPECT_TRUE(filesIn(dir.path()).empty());
    EXPECT_TRUE(capture.lines().empty());

    ASSERT_TRUE(store.save(dir.file("settings.txt"), SettingStore::JSON));
    EXPECT_EQ(readFile(dir.file("settings.txt")), "{\n    \"k\": 1\n}");
    ASSERT_TRUE(store.save(dir.file("settings.jsondb"), SettingStore::Auto));
    EXPECT_EQ(readFile(dir.file("settings.jsondb")).rfind("SQLite format 3", 0), 0u);
    ASSERT_TRUE(store.save(dir.file("settings.jsonc"), SettingStore::Auto));
    EXPECT_EQ(readFile(dir.file("settings.jsonc")), "{\n    \"k\": 1\n}");
}

TEST_F(SettingsFile, CorruptOrMissingJson)
{
    SettingStore store;
    store["keep"] = Variant(1);
    writeFile(dir.file("bad.json"), "{\"a\": 1,");
    EXPECT_THROW(store.load(dir.file("bad.json"), SettingStore::Auto), json::parse_error);
    EXPECT_EQ(store.keys(), std::vector<std::string>{"keep"});

    EXPECT_FALSE(store.load(dir.file("missing.json"), SettingStore::Auto));
    EXPECT_TRUE(logged("loadJSON(): could not open file '" + dir.file("missing.json") + "'."));

    // Only the first value is read.
    writeFile(dir.file("trail.json"), "{\"a\": 2} garbage");
    EXPECT_TRUE(store.load(dir.file("trail.json"), SettingStore::Auto));
    EXPECT_EQ(store.get("a"), Variant(2ul));
}

TEST_F(SettingsFile, SqliteFailures)
{
    SettingStore store;
    store["k"] = Variant(1);

    SQLite::Database other(dir.file("other.db"), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    other.exec("CREATE TABLE unrelated (x INTEGER)");
    EXPECT_FALSE(store.load(dir.file("other.db"), SettingStore::Auto));
    EXPECT_TRUE(logged("loadSQLite(): no such table: settings"));

    writeFile(dir.file("junk.db"), std::string(1024, 'j'));
    EXPECT_FALSE(store.load(dir.file("junk.db"), SettingStore::Auto));
    EXPECT_FALSE(store.load(dir.file("missing.db"), SettingStore::Auto));
    EXPECT_FALSE(store.save(dir.file("no/such/dir.db"), SettingStore::Auto));
    EXPECT_TRUE(logged("saveSQLite(): "));
    EXPECT_EQ(store.keys(), std::vector<std::string>{"k"});
}

TEST_F(SettingsFile, LockedDatabase)
{
    SettingStore store;
    store["k"] = Variant(1);
    const std::string path = dir.file("locked.db");
    ASSERT_TRUE(store.save(path, SettingStore::Auto));

    SQLite::Database holder(path, SQLite::OPEN_READWRITE);
    holder.exec("BEGIN EXCLUSIVE");
    const auto start = std::chrono::steady_clock::now();
    SettingStore loaded;
    EXPECT_FALSE(loaded.load(path, SettingStore::Auto));
    EXPECT_TRUE(logged("loadSQLite(): database is locked"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));

    store["k"] = Variant(2);
    EXPECT_FALSE(store.save(path, SettingStore::Auto));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
    holder.exec("ROLLBACK");

    // The failed save kept the table as it was.
    ASSERT_TRUE(loaded.load(path, SettingStore::Auto));
    EXPECT_EQ(loaded.get("k"), Variant(1));
}

// A save killed at any moment leaves the old or the new settings, never a
// file that no longer loads.
TEST_F(SettingsFile, KilledSqliteSaveLeavesOldOrNewSettings)
{
    const auto filled = [](const char* value) {
        SettingStore store;
        for (int i = 0; i < 300; ++i) {
            store["key/" + std::to_string(i)] = Variant(value);
        }
        return store;
    };
    const SettingStore stores[] = {filled("old"), filled("new")};
    const std::string path = dir.file("settings.db");
    ASSERT_TRUE(stores[0].save(path, SettingStore::SQLite));
    std::mt19937 random(21);
    for (int run = 0; run < 50; ++run) {
        const pid_t saver = fork();
        ASSERT_GE(saver, 0);
        if (saver == 0) {
            for (unsigned i = 1;; ++i) {
                stores[i % 2].save(path, SettingStore::SQLite);
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 20000)(random)));
        kill(saver, SIGKILL);
        waitpid(saver, nullptr, 0);
        SettingStore loaded;
        ASSERT_TRUE(loaded.load(path, SettingStore::SQLite)) << "run " << run;
        EXPECT_TRUE(loaded.toMap() == stores[0].toMap() || loaded.toMap() == stores[1].toMap()) << "run " << run;
    }
}

// Temporary files of killed saves of the same file go; anything else stays.
TEST_F(SettingsFile, JsonSaveRemovesOnlyStaleTemporariesOfItsFile)
{
    const pid_t ended = endedProcessId();
    ASSERT_GT(ended, 0);
    const std::string dead = std::to_string(ended);
    const std::string running = std::to_string(getpid());
    const struct {
        std::string name;
        bool stays;
    } files[] = {
        {"conf.json." + dead + ".0.tmp", false},
        {"conf.json." + dead + ".12.tmp", false},
        {"conf.json." + running + ".999999.tmp", true},
        {"other.json." + dead + ".0.tmp", true},
        {"conf.json." + dead + ".x.tmp", true},
        {"conf.json." + dead + ".tmp", true},
        {"conf.json." + dead + ".0.tmp.bak", true},
        {"conf.json.tmp", true},
    };
    for (const auto& file : files) {
        writeFile(dir.file(file.name), "{}");
    }
    SettingStore store;
    store["port"] = Variant(1414u);
    ASSERT_TRUE(store.save(dir.file("conf.json"), SettingStore::JSON));
    for (const auto& file : files) {
        EXPECT_EQ(Utils::fileExists(dir.file(file.name)), file.stays) << file.name;
    }
}

TEST_F(SettingsFile, FailedJsonSaveKeepsTheOldFile)
{
    SettingStore store = nested();

    // A path under a regular file can never be written, not even by root.
    writeFile(dir.file("plain"), "x");
    EXPECT_FALSE(store.save(dir.file("plain/conf.json"), SettingStore::Auto));
    EXPECT_TRUE(logged("saveJSON(): could not open file '" + dir.file("plain/conf.json") + "': Not a directory."));

    // A write cut short by the file size limit leaves the old file whole.
    const std::string path = dir.file("conf.json");
    const std::string old = "{\n    \"old\": true\n}";
    writeFile(path, old);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 16;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool saved_ok = store.save(path, SettingStore::Auto);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(saved_ok);
    EXPECT_TRUE(logged("saveJSON(): partial write in file '" + path + "': 16/"));
    EXPECT_EQ(readFile(path), old);
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"conf.json", "plain"}));

    // Keys that form no tree fail before any file is touched.
    store["mqtt/port/x"] = Variant(1);
    EXPECT_THROW(store.save(path, SettingStore::Auto), json::type_error);
    EXPECT_EQ(readFile(path), old);
}

TEST_F(SettingsFile, ReplacingKeepsLinksAndPermissions)
{
    SettingStore store;
    store["k"] = Variant(1);
    writeFile(dir.file("real.json"), "old");
    ASSERT_EQ(chmod(dir.file("real.json").c_str(), 0600), 0);
    ASSERT_EQ(symlink("real.json", dir.file("link.json").c_str()), 0);
    ASSERT_TRUE(store.save(dir.file("link.json"), SettingStore::Auto));
    EXPECT_TRUE(Utils::isSymlink(dir.file("link.json")));
    EXPECT_EQ(readFile(dir.file("real.json")), "{\n    \"k\": 1\n}");
    struct stat st;
    ASSERT_EQ(stat(dir.file("real.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(SettingsFile, InvalidUtf8IsReplacedNotFatal)
{
    SettingStore store;
    store["board/name"] = Variant("LPC\xFF\xC3\xA9");
    const std::string path = dir.file("u.json");
    ASSERT_TRUE(store.save(path, SettingStore::Auto));
    EXPECT_EQ(readFile(path), "{\n    \"board\": {\n        \"name\": \"LPC\xEF\xBF\xBD\xC3\xA9\"\n    }\n}");
}

TEST_F(SettingsFile, PrintLogsATable)
{
    SettingStore store;
    store["port"] = Variant(1414);
    store.print();
    for (const LogCapture::Line& line : capture.lines()) {
        EXPECT_EQ(line.priority, LOG_INFO);
    }
    EXPECT_EQ(capture.texts(), (std::vector<std::string>{
                                   "[Settings] +------------+------------+",
                                   "[Settings] | SETTING    | VALUE      |",
                                   "[Settings] +------------+------------+",
                                   "[Settings] | port       : 1414       |",
                                   "[Settings] +------------+------------+",
                               }));

    capture.clear();
    SettingStore().print();
    EXPECT_EQ(capture.texts().size(), 4u);
}

// Keys and values are cut at 256 octets on a character boundary, whatever
// the characters or the depth, and only cells of at most 64 octets set the
// columns' widths: a wide row widens no other.
TEST_F(SettingsFile, PrintCutsLongKeysAndValuesByOctets)
{
    std::string grin;
    for (int i = 0; i < 300; ++i)
        grin += "\xF0\x9F\x98\x80";
    std::string deep = "top";
    for (int level = 0; level < 64; ++level)
        deep += "/level" + std::to_string(level);
    const struct Row {
        std::string key;
        std::string value;
        std::string shown;
    } rows[] = {
        {"a/" + grin, "1", "| a/" + grin.substr(0, 252) + "... (1202 octets)"},
        {deep, "2", "| " + deep.substr(0, 256) + "... (" + std::to_string(deep.size()) + " octets)"},
        {"b", grin, " : " + grin.substr(0, 256) + "... (1200 octets)"},
        {"c", std::string(300, '\x80'), " : " + std::string(256, '\x80') + "... (300 octets)"},
        {"d", std::string(64, 'd'), "| d          : " + std::string(64, 'd') + " |"},
        {"e", "5", "| e          : 5" + std::string(64, ' ') + "|"},
    };
    SettingStore store;
    for (const Row& row : rows)
        store[row.key] = Variant(row.value);
    store.print();
    const auto lines = capture.texts();
    ASSERT_EQ(lines.size(), 4u + std::size(rows));
    EXPECT_EQ(lines[0], "[Settings] +------------+" + std::string(66, '-') + "+");
    for (const std::string& line : lines)
        EXPECT_LT(line.size(), 600u);
    for (const Row& row : rows) {
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string& line) { return line.find(row.shown) != std::string::npos; }),
                  1)
            << row.shown.substr(0, 20);
    }
}
