#include "foundation/KeyPath.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "foundation/JsonText.h"
#include "foundation/String.h"
#include "foundation/Utils.h"
#include "foundation/VariantMap.h"

namespace KeyPath
{

namespace
{

bool hasWildcard(const std::string& key)
{
    return key.find_first_of("*?") != std::string::npos;
}

}

std::vector<std::string> keysUnder(const Entries& entries, const std::string& key)
{
    std::vector<std::string> found;
    if (!hasWildcard(key)) {
        // Without wildcards the glob is a prefix: walk just that range.
        const std::string prefix = key + "/";
        for (auto it = entries.lower_bound(prefix);
             it != entries.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
            found.push_back(it->first);
        }
        return found;
    }
    const std::string pattern = key + "/*";
    for (const auto& entry : entries) {
        if (Utils::match(entry.first, pattern)) {
            found.push_back(entry.first);
        }
    }
    return found;
}

std::string relativeKey(const std::string& stored, const std::string& key)
{
    if (!hasWildcard(key)) {
        return stored.size() > key.size() ? stored.substr(key.size() + 1) : std::string();
    }
    for (std::size_t slash = stored.find('/'); slash != std::string::npos; slash = stored.find('/', slash + 1)) {
        if (Utils::match(stored.substr(0, slash), key)) {
            return stored.substr(slash + 1);
        }
    }
    return stored;
}

Variant get(const Entries& entries, const std::string& key)
{
    const auto it = entries.find(key);
    if (it != entries.end()) {
        return it->second;
    }
    VariantMap subtree;
    for (const std::string& stored : keysUnder(entries, key)) {
        subtree.set(relativeKey(stored, key), entries.at(stored));
    }
    return subtree.empty() ? Variant() : Variant(subtree);
}

bool arrayIndex(const std::string& component, std::size_t limit, std::size_t& index)
{
    if (component.empty() || (component[0] == '0' && component.size() > 1)) {
        return false;
    }
    std::size_t value = 0;
    for (const char c : component) {
        if (c < '0' || c > '9' || value > (SIZE_MAX - 9) / 10) {
            return false;
        }
        value = value * 10 + static_cast<std::size_t>(c - '0');
        if (value >= limit) {
            return false;
        }
    }
    index = value;
    return true;
}

std::string join(const std::string& parent, const std::string& component)
{
    return parent.empty() ? component : parent + "/" + component;
}

std::set<std::string> arrayParents(const Entries& entries, const std::string& marker)
{
    std::map<std::string, std::set<std::string>> children;
    for (const auto& entry : entries) {
        std::string parent;
        for (const std::string& component : String::tokenizeV(entry.first, "/")) {
            if (component == marker) {
                break;
            }
            children[parent].insert(component);
            parent = join(parent, component);
        }
    }
    std::set<std::string> arrays;
    for (const auto& node : children) {
        const std::size_t limit = 2 * node.second.size() + 16;
        std::size_t index = 0;
        if (std::all_of(node.second.begin(), node.second.end(),
                        [&](const std::string& component) { return arrayIndex(component, limit, index); })) {
            arrays.insert(node.first);
        }
    }
    return arrays;
}

std::vector<std::string> table(const Entries& entries, const char* keyTitle)
{
    // Each key and value cut, and only the narrow cells set the widths: a
    // wide cell widens its own row alone, so that one long row cannot pad
    // every other.
    const auto widen = [](int& width, const std::string& cell) {
        if (cell.size() <= kMaxAlignedCell) {
            width = std::max(width, static_cast<int>(cell.size()));
        }
    };
    std::vector<std::pair<std::string, std::string>> rows;
    int keyWidth = 10;
    int valueWidth = 10;
    for (const auto& entry : entries) {
        rows.emplace_back(JsonText::cut(entry.first), JsonText::cut(entry.second.toString()));
        widen(keyWidth, rows.back().first);
        widen(valueWidth, rows.back().second);
    }
    const std::string border = "+" + std::string(keyWidth + 2, '-') + "+" + std::string(valueWidth + 2, '-') + "+";
    std::vector<std::string> lines;
    lines.push_back(border);
    lines.push_back(String::format("| %-*s | %-*s |", keyWidth, keyTitle, valueWidth, "VALUE"));
    lines.push_back(border);
    for (const auto& row : rows) {
        lines.push_back(
            String::format("| %-*s : %-*s |", keyWidth, row.first.c_str(), valueWidth, row.second.c_str()));
    }
    lines.push_back(border);
    return lines;
}

}
