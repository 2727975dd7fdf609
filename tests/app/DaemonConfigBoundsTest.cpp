// End-to-end, service mode: what remote sets of "config" may store. A set
// that would cut the daemon's own topics, or store a long text or a large
// file, is refused whole, and the daemon keeps serving.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ServiceDaemon.h"
#include "app/Config.h"
#include "messaging/LambdaTree.h"

namespace {

using nlohmann::json;

json refused(const std::string& node)
{
    return {{"command", node + "/set"}, {"error", "Value too wide"}};
}

// What the broker hands a new peer as "config".
json retainedConfig(ServiceDaemon& service)
{
    MqttPeer late(service.broker.url(), "late-peer");
    late.subscribe("tavo/lumacore/config");
    const auto message = late.next("tavo/lumacore/config");
    return message ? json::parse(message->get_payload_str()) : json();
}

// count characters of four octets each, all of them first.
std::string fourOctets(size_t count, char first)
{
    std::string text;
    for (size_t i = 0; i < count; ++i)
        text += std::string("\xF0\x9F\x98") + first;
    return text;
}

json membersOf(const json& element, size_t count)
{
    json members;
    for (size_t i = 0; i < count; ++i)
        members["a" + std::to_string(i)] = element;
    return members;
}

// Sets "config/tcp" in the plain or the RPC form and checks the answer: the
// node, or "Value too wide".
void setTcp(ServiceDaemon& service, bool rpc, const json& tcp, bool accepted)
{
    static int request = 0;
    const std::string id = std::to_string(++request);
    service.publish(rpc ? "config/tcp/set/request/" + id : "config/tcp/set", tcp);
    if (rpc) {
        const json reply = service.next("config/tcp/set/response/" + id);
        EXPECT_EQ(reply.value("error", json()), accepted ? json() : json({{"description", "Value too wide"}}));
    } else if (accepted) {
        EXPECT_FALSE(service.next("config/tcp").is_null());
    } else {
        EXPECT_EQ(service.next("error"), refused("config/tcp"));
    }
}

} // namespace

// The tcp section keeps what a type change replaces (an array's elements
// become members "0".."N" beside the new ones), so these sets would grow
// the file and "config" without end; they are judged by what they leave.
TEST(DaemonConfigBounds, TypeChangesGrowNeitherTheFileNorTheNodesOverTheirBounds)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run());
    service.subscribe({"error", "config/tcp", "config/tcp/set/response/+", "config/tcp/get/response/+"});
    const std::string page(4096, 'p');
    const std::pair<json, bool> sequence[] = {
        {{{"big", std::vector<std::string>(60, page)}}, true}, {{{"big", membersOf(page, 60)}}, false},
        {{{"big", std::vector<std::string>(59, page)}}, true}, {{{"big", 1}}, true},
        {{{"arr", std::vector<int>(390)}}, true},               {{{"arr", membersOf(0, 390)}}, false},
        {{{"arr", std::vector<int>(780)}}, false},              {{{"arr", 1}}, true}};
    for (bool rpc : {false, true}) {
        for (const auto& [tcp, accepted] : sequence) {
            const std::string before = readFile(service.configPath());
            const size_t logged = service.daemon.err().size();
            setTcp(service, rpc, tcp, accepted);
            const std::string file = readFile(service.configPath());
            EXPECT_LE(file.size(), tavo::Config::Config::kMaxRemoteFile);
            EXPECT_LE(LambdaTree::countNodes(json::parse(file)), LambdaTree::kMaxMirrorNodes);
            if (!accepted) {
                EXPECT_TRUE(file == before) << tcp.dump().substr(0, 80);
                for (const char* line : {" holds ", "Configuration changed", "Setting config"})
                    EXPECT_EQ(service.daemon.err().find(line, logged), std::string::npos) << line;
            }
        }
    }
    service.publish("config/tcp/get/request/last", nullptr);
    EXPECT_EQ(service.next("config/tcp/get/response/last")["data"], service.configFile()["tcp"]);
}

// Texts and member names over 4 KiB that the file holds already pass again.
TEST(DaemonConfigBounds, TheValueAGetReturnedCanBeSetBack)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run({{"tcp", {{"text", std::string(5000, 't')}, {std::string(5000, 'n'), 1}}}}));
    service.subscribe({"error", "config/get/response/+", "config/set/response/+"});
    service.publish("config/get/request/1", nullptr);
    const json value = service.next("config/get/response/1")["data"];
    ASSERT_EQ(value, service.configFile());
    service.publish("config/set", value);
    EXPECT_TRUE(service.next("error", 3000).is_null());
    service.publish("config/set/request/2", value);
    EXPECT_EQ(service.next("config/set/response/2")["completed"], true);
    EXPECT_EQ(service.configFile(), value);
}

// A file edited by hand over the node bound: the whole value a get
// returned, or its "tcp" part, is set back in either form and leaves the
// file as it was; a set that adds a member to it is still refused.
TEST(DaemonConfigBounds, AFileOverTheNodeBoundIsSetBackButNotGrown)
{
    ServiceDaemon service;
    service.debugLog = false;
    ASSERT_TRUE(service.run({{"tcp", membersOf(0, 900)}}));
    service.subscribe({"error", "config/tcp", "config/tcp/set/response/+", "config/get/response/+",
                       "config/set/response/+"});
    service.publish("config/get/request/get", nullptr);
    json value = service.next("config/get/response/get")["data"];
    ASSERT_EQ(value, service.configFile());
    const std::string file = readFile(service.configPath());
    service.publish("config/set/request/back", value);
    EXPECT_EQ(service.next("config/set/response/back")["completed"], true);
    setTcp(service, true, value["tcp"], true);
    service.publish("config/set", value);
    setTcp(service, false, value["tcp"], true);
    EXPECT_TRUE(service.next("error", 1000).is_null());
    EXPECT_EQ(readFile(service.configPath()), file);

    value["tcp"]["more"] = 0;
    service.publish("config/set/request/more", value);
    EXPECT_EQ(service.next("config/set/response/more")["error"], json({{"description", "Value too wide"}}));
    setTcp(service, false, value["tcp"], false);
    EXPECT_EQ(readFile(service.configPath()), file);
}

// "config" holds about 80 nodes of its own: 780 more, or two members of 390,
// would take it over the mirror bound.
TEST(DaemonConfigBounds, SetsThatWouldCutTheDaemonsOwnTopicsAreRefused)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run());
    const json retained = retainedConfig(service);
    service.subscribe({"error", "config/tcp", "config/mqtt/url"});
    json file = service.configFile();
    const std::string before = readFile(service.configPath());
    file["mqtt"]["extra"] = std::vector<int>(780);
    service.publish("config/mqtt/set", file["mqtt"]);
    EXPECT_EQ(service.next("error"), refused("config/mqtt"));
    EXPECT_EQ(readFile(service.configPath()), before);

    file["tcp"]["extra"] = std::vector<int>(390);
    service.publish("config/tcp/set", file["tcp"]);
    EXPECT_EQ(service.next("config/tcp"), file["tcp"]);
    const std::string withOne = readFile(service.configPath());
    file["mqtt"]["extra"] = std::vector<int>(390);
    service.publish("config/mqtt/set", file["mqtt"]);
    EXPECT_EQ(service.next("error"), refused("config/mqtt"));
    EXPECT_EQ(readFile(service.configPath()), withOne);

    service.publish("config/tcp/get", nullptr);
    EXPECT_EQ(service.next("config/tcp"), file["tcp"]);
    service.publish("config/mqtt/url/get", nullptr);
    EXPECT_EQ(service.next("config/mqtt/url"), service.broker.url());
    json accepted = retained;
    accepted["tcp"] = file["tcp"];
    EXPECT_EQ(retainedConfig(service), accepted);
}

// At the default level, as on a board, where one row of a million characters
// wrote 75 MB of log. Each accepted set restarts the TCP listener, which
// takes about a second.
TEST(DaemonConfigBounds, LongTextsAndALargeFileAreRefusedWithoutFloodingTheLog)
{
    ServiceDaemon service;
    service.debugLog = false;
    ASSERT_TRUE(service.run());
    service.subscribe({"error", "config/tcp", "config/tcp/set/response/+"});
    const size_t logged = service.daemon.err().size();
    const std::string before = readFile(service.configPath());
    service.publish("config/set", {{"tcp", {{"junk", std::string(1000000, 'j')}}}});
    EXPECT_EQ(service.next("error"), refused("config"));
    service.publish("config/tcp/get", nullptr);
    EXPECT_FALSE(service.next("config/tcp", 1000).is_null());
    EXPECT_LT(service.daemon.err().size() - logged, 64u * 1024);
    EXPECT_EQ(readFile(service.configPath()), before);

    // The tcp section merges each set into what it holds: four more texts a
    // set, until the file would pass its bound.
    const std::string text(4000, 't');
    json reply = {{"completed", true}};
    for (size_t set = 0; set < 20 && reply["completed"] == true; ++set) {
        const std::string was = readFile(service.configPath());
        json texts;
        for (size_t key = 0; key < 4; ++key)
            texts["t" + std::to_string(set * 4 + key)] = text;
        service.publish("config/tcp/set/request/" + std::to_string(set), texts);
        reply = service.next("config/tcp/set/response/" + std::to_string(set));
        EXPECT_LE(readFile(service.configPath()).size(), tavo::Config::Config::kMaxRemoteFile);
        if (reply["completed"] != true) {
            EXPECT_EQ(readFile(service.configPath()), was);
        }
    }
    EXPECT_EQ(reply, json::parse(R"({"completed":false,"error":{"description":"Value too wide"}})"));
    service.publish("config/tcp/get", nullptr);
    EXPECT_FALSE(service.next("config/tcp", 1000).is_null());
}

// The text bound counts octets: 4,096 one-octet characters or 1,024
// four-octet ones are stored, one more is refused, by a plain set and by a
// request alike. Each text goes to a member of its own.
TEST(DaemonConfigBounds, ATextOf4096OctetsIsStoredAndOneMoreRefused)
{
    ServiceDaemon service;
    service.debugLog = false;
    ASSERT_TRUE(service.run());
    service.subscribe({"error", "config/tcp", "config/tcp/set/response/+"});
    const struct {
        const char* character;
        size_t count;
        bool stored;
    } rows[] = {{"a", 4096, true},
                {"a", 4097, false},
                {"\xf0\x9f\x98\x80", 1024, true},
                {"\xf0\x9f\x98\x80", 1025, false}};
    int member = 0;
    for (const auto& row : rows) {
        std::string text;
        for (size_t i = 0; i < row.count; ++i)
            text += row.character;
        for (const bool request : {false, true}) {
            const std::string name = "text" + std::to_string(member++);
            if (request) {
                service.publish("config/tcp/set/request/" + name, {{name, text}});
                EXPECT_EQ(service.next("config/tcp/set/response/" + name)["completed"], row.stored) << name;
            } else if (service.publish("config/tcp/set", {{name, text}}); row.stored) {
                json shown;
                do
                    shown = service.next("config/tcp");
                while (shown.is_object() && !shown.contains(name));
                EXPECT_TRUE(shown[name] == text) << name;
            } else {
                EXPECT_EQ(service.next("error"), refused("config/tcp")) << name;
            }
            EXPECT_EQ(service.configFile()["tcp"].contains(name), row.stored) << name;
        }
    }
}

// At the default level each set prints the settings table once. A row is
// cut whatever its characters or depth, so a file within the bounds keeps
// that table to a few hundred kilobytes: with four-octet member names and
// texts, or 650 leaves 55 levels down. One wide row among short ones pads
// no other.
TEST(DaemonConfigBounds, ASmallSetLogsATableOfBoundedRows)
{
    json wide = {{fourOctets(300, '\x80'), std::vector<int>(700)}, {fourOctets(300, '\x81'), fourOctets(1000, '\x82')}};
    json deep;
    json* level = &deep;
    for (int name = 10; name < 65; ++name)
        level = &(*level)[std::string(58, static_cast<char>('a' + name % 26)) + std::to_string(name)];
    for (size_t leaf = 0; leaf < 650; ++leaf)
        (*level)["leaf" + std::to_string(leaf)] = leaf;
    json oneWideRow = membersOf(0, 700);
    oneWideRow[std::string(300, 'k')] = std::string(300, 'v');
    const std::pair<json, size_t> cases[] = {{wide, 640}, {deep, 640}, {oneWideRow, 160}};
    for (const auto& [tcp, kibibytes] : cases) {
        ServiceDaemon service;
        service.debugLog = false;
        ASSERT_TRUE(service.run({{"tcp", tcp}}));
        service.subscribe({"config/tcp"});
        const size_t logged = service.daemon.err().size();
        service.publish("config/tcp/set", {{"port", service.tcpPort}});
        EXPECT_FALSE(service.next("config/tcp").is_null());
        const std::string log = service.daemon.err().substr(logged);
        EXPECT_GT(occurrences(log, "[Settings] | tcp/"), 600u);
        EXPECT_LE(log.size(), kibibytes * 1024);
    }
}

// Each of these members holds 2,400 nodes, too many to mirror: each is cut
// whole, and named once with all its nodes, none of its elements.
TEST(DaemonConfigBounds, EachMemberCutAtStartIsWarnedOnceWithAllItsNodes)
{
    json tcp;
    for (int member = 10; member < 50; ++member)
        tcp["m" + std::to_string(member)] = std::vector<json>(800, {1, 2});
    ServiceDaemon service;
    service.debugLog = false;
    ASSERT_TRUE(service.run({{"tcp", tcp}}));
    const std::string log = service.daemon.err();
    EXPECT_EQ(occurrences(log, "[LambdaTree] '"), tcp.size());
    for (const auto& member : tcp.items())
        EXPECT_EQ(occurrences(log, "[LambdaTree] 'config/tcp/" + member.key() + "' holds 2400 nodes;"), 1u);
}

// At the debug level a set logs the configuration as each part handles it:
// every line cuts the text the file holds.
TEST(DaemonConfigBounds, DebugLinesOfASetCutALongText)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run({{"tcp", {{"text", std::string(1000000, 't')}}}}));
    service.subscribe({"config/tcp"});
    const size_t logged = service.daemon.err().size();
    service.publish("config/tcp/set", {{"port", service.tcpPort}});
    EXPECT_FALSE(service.next("config/tcp").is_null());
    EXPECT_LT(service.daemon.err().size() - logged, 256u * 1024);
}

namespace {

// Lowers this program's address space while it starts a child, which keeps
// the limit: to what the program maps now (a sanitizer build reserves its
// shadow memory in the child alike) and 4 GiB more. A daemon that read
// /dev/zero whole would fail within seconds, not take the host's memory.
class ChildAddressSpace {
public:
    ChildAddressSpace()
    {
        getrlimit(RLIMIT_AS, &saved);
        rlim_t pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        rlimit limit = saved;
        limit.rlim_cur = std::min<rlim_t>(saved.rlim_cur, pages * sysconf(_SC_PAGESIZE) + (rlim_t(1) << 30));
        setrlimit(RLIMIT_AS, &limit);
    }
    ~ChildAddressSpace() { setrlimit(RLIMIT_AS, &saved); }

private:
    rlimit saved{};
};

} // namespace

// A configuration path that names no regular file is left alone: the daemon
// comes up on its defaults, serving TCP, with one line naming the path.
TEST(DaemonConfigBounds, APathToNoRegularFileStartsOnTheDefaults)
{
    for (const char* kind : {"fifo", "link to /dev/zero"}) {
        SCOPED_TRACE(kind);
        ServiceDaemon service;
        const std::string path = service.configPath();
        if (*kind == 'f')
            ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
        else
            std::filesystem::create_symlink("/dev/zero", path);
        {
            ChildAddressSpace limit;
            service.daemon.start({"-d", service.board.devicePath(), "-e", "-vvv", "-p",
                                  std::to_string(service.tcpPort), "-f", path});
        }
        ASSERT_TRUE(service.daemon.waitForErr("Main blocks here!", kStartMs)) << service.daemon.err();
        service.connect();
        EXPECT_EQ(occurrences(service.daemon.err(), "Could not read config file '" + path + "': not a regular file"),
                  1u);
        service.daemon.signal(SIGTERM);
        EXPECT_EQ(exitCode(service.daemon.wait(kStopMs)), 0);
    }
}
