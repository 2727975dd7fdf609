#pragma once

// What a log line shows of a text or a JSON value. A value may come from a
// remote peer or a large file, so a line shows each text cut to a bounded
// number of octets and a wide member by its member count: a board's log
// never takes megabytes for one value.
//
// Pure functions; any thread may call them.

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

namespace JsonText
{

// The most octets a log shows of one text (a value, a member name, a key path).
constexpr std::size_t kMaxText = 256;
// A member holding more nodes (members at all depths) is shown by its count.
constexpr std::size_t kMaxNodes = 800;

// text itself when it has at most kMaxText octets; otherwise at most
// kMaxText octets of it, ending on a whole UTF-8 character, followed by
// "... (N octets)" with its full length.
std::string cut(const std::string& text);

// Replaces, at every depth, each member holding more than kMaxNodes nodes by
// the text "(N members)".
void collapseWide(nlohmann::json& value);

// The compact JSON text of value for a log line: texts and member names cut,
// wide members collapsed, invalid UTF-8 replaced instead of thrown on.
std::string forLog(const nlohmann::json& value);

}
