#pragma once

// Helpers over flat maps of "/"-joined key paths, shared by VariantMap and
// SettingStore so that both read subtrees, erase and print alike.

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "foundation/Variant.h"

namespace KeyPath
{

using Entries = std::map<std::string, Variant>;

// The keys below key, i.e. matching the glob key + "/*" ('*' and '?' in key
// are wildcards), in key order.
std::vector<std::string> keysUnder(const Entries& entries, const std::string& key);

// The part of a key from keysUnder after the shortest prefix that matches
// key and the "/" after it; for a key without wildcards the part after
// key + "/". Never throws.
std::string relativeKey(const std::string& stored, const std::string& key);

// The entry at key; else the entries below it gathered into a Map-tagged
// Variant; else the null Variant. Throws the JSON library's type error when
// the gathered keys do not form a tree.
Variant get(const Entries& entries, const std::string& key);

// True when component is a canonical decimal index (no sign, no leading
// zero) below limit, and sets index.
bool arrayIndex(const std::string& component, std::size_t limit, std::size_t& index);

// The path of the child component under parent ("" is the top).
std::string join(const std::string& parent, const std::string& component);

// The parents (paths of non-empty components, "" for the top) whose
// children form an array: every child component is a canonical index and
// the largest is below 2 x their number + 16. Each parent decides from its
// own children alone, so no other entry changes its shape, and no key makes
// an export allocate a huge array. A component equal to marker, and what
// follows it, is no child.
std::set<std::string> arrayParents(const Entries& entries, const std::string& marker);

// The widest cell that the columns of table() align to; the daemon's own
// keys and values are narrower.
constexpr std::size_t kMaxAlignedCell = 64;

// The two-column text table of the entries, one line per element without line
// feeds: border, header (keyTitle, "VALUE"), border, one line per entry, border.
// Keys and values are shown cut by JsonText::cut, so no line is much wider
// than 2 x kMaxText octets. Each column is as wide as its widest cut text of
// at most kMaxAlignedCell octets; a wider one widens no other row.
std::vector<std::string> table(const Entries& entries, const char* keyTitle);


}
