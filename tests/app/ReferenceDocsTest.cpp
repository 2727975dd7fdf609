// The reference in docs/ against what the daemon serves: docs/tcp.md names
// every command of the TCP service's table and no other, and docs/mqtt.md
// has a row for every node and RPC the running daemon subscribes, and no row
// without a placeholder for one it does not. A table row's first cell names
// the command, node or RPC in backticks; which kind a table lists is its
// header's first cell ("Command", "Node", "RPC"); "<...>" stands for one
// topic level, and the node table's "(the root)" for the empty path.

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ServiceDaemon.h"
#include "app/TCPService.h"
#include "foundation/String.h"
#include "support/TempDir.h"

namespace {

const std::string kRoot = "tavo/lumacore/";

struct Row {
    std::string header;
    std::string first;
};

std::string trimmed(const std::string& text)
{
    const size_t begin = text.find_first_not_of(' ');
    const size_t end = text.find_last_not_of(' ');
    return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

std::string firstCell(const std::string& line)
{
    return trimmed(line.substr(1, line.find('|', 1) - 1));
}

// The first cells of every table row of the file, with their table's header.
std::vector<Row> tableRows(const char* name)
{
    std::istringstream text(readFile(std::string(LUMACORE_SOURCE_DIR) + "/docs/" + name));
    std::vector<Row> rows;
    std::string header;
    std::string line;
    bool inTable = false;
    while (std::getline(text, line)) {
        if (line.rfind("|", 0) != 0) {
            inTable = false;
            continue;
        }
        const std::string cell = firstCell(line);
        if (!inTable) {
            header = cell;
            inTable = true;
        } else if (cell == "(the root)") {
            rows.push_back({header, ""});
        } else if (cell.size() > 2 && cell.front() == '`' && cell.back() == '`') {
            rows.push_back({header, cell.substr(1, cell.size() - 2)});
        }
    }
    return rows;
}

std::set<std::string> documented(const std::vector<Row>& rows, const std::string& header)
{
    std::set<std::string> names;
    for (const auto& row : rows) {
        if (row.header == header)
            names.insert(row.first);
    }
    return names;
}

bool hasPlaceholder(const std::string& pattern)
{
    return pattern.find('<') != std::string::npos;
}

// Level by level; "<...>" matches any one level.
bool matches(const std::string& name, const std::string& pattern)
{
    const auto levels = String::tokenizeV(name, "/");
    const auto wanted = String::tokenizeV(pattern, "/");
    if (levels.size() != wanted.size())
        return false;
    for (size_t i = 0; i < levels.size(); ++i) {
        if (wanted[i] != levels[i] && !(wanted[i].front() == '<' && wanted[i].back() == '>'))
            return false;
    }
    return true;
}

// Every served name matches a row, and every row without a placeholder is
// served.
void expectAgree(const std::set<std::string>& served, const std::set<std::string>& rows, const char* kind)
{
    for (const auto& name : served) {
        bool found = false;
        for (const auto& pattern : rows)
            found = found || matches(name, pattern);
        EXPECT_TRUE(found) << kind << " '" << name << "' has no row in docs/mqtt.md";
    }
    for (const auto& pattern : rows) {
        if (!hasPlaceholder(pattern)) {
            EXPECT_EQ(served.count(pattern), 1u) << "docs/mqtt.md names the " << kind << " '" << pattern
                                                 << "', which the daemon does not serve";
        }
    }
}

// The topics the daemon's log shows it subscribing as the given kind
// ("command", "rpc"), below the root.
std::set<std::string> subscribed(const std::string& log, const std::string& kind)
{
    std::set<std::string> topics;
    const std::string marker = "Subscribing to " + kind + " '" + kRoot;
    for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
        const size_t begin = at + marker.size();
        topics.insert(log.substr(begin, log.find('\'', begin) - begin));
    }
    return topics;
}

std::string withoutLastLevel(const std::string& topic)
{
    const size_t slash = topic.rfind('/');
    return slash == std::string::npos ? std::string() : topic.substr(0, slash);
}

} // namespace

TEST(ReferenceDocs, TcpTablesNameEveryCommandAndNoOther)
{
    const std::set<std::string> rows = documented(tableRows("tcp.md"), "Command");
    const auto words = tavo::Board::TCP::Service::commandWords();
    const std::set<std::string> served(words.begin(), words.end());
    for (const auto& word : served)
        EXPECT_EQ(rows.count(word), 1u) << "the command " << word << " has no row in docs/tcp.md";
    for (const auto& row : rows)
        EXPECT_EQ(served.count(row), 1u) << "docs/tcp.md names " << row << ", which is no command";
}

TEST(ReferenceDocs, MqttTablesNameEveryServedNodeAndRpc)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run({{"mqtt", {{"log", {{"subscriptions", true}}}}}}));
    const std::string log = service.daemon.err();

    // A node's topics are its path and a verb; the RPCs of its forms have
    // the same names.
    const std::set<std::string> commands = subscribed(log, "command");
    std::set<std::string> nodes;
    for (const auto& topic : commands)
        nodes.insert(withoutLastLevel(topic));
    std::set<std::string> rpcs;
    for (const auto& topic : subscribed(log, "rpc")) {
        const std::string name = topic.substr(0, topic.find("/request/+"));
        if (commands.count(name) == 0)
            rpcs.insert(name);
    }
    ASSERT_GT(nodes.size(), 100u) << log;
    ASSERT_GT(rpcs.size(), 10u) << log;

    const std::vector<Row> rows = tableRows("mqtt.md");
    expectAgree(nodes, documented(rows, "Node"), "node");
    expectAgree(rpcs, documented(rows, "RPC"), "RPC");
}
