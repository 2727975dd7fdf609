#pragma once

// The bridge between Variants and JSON values, shared by VariantMap and
// SettingStore: the JSON form of one Variant, the Variant of one JSON scalar,
// and serialisation that survives invalid UTF-8 from the board or a peer.

#include <nlohmann/json.hpp>

#include <string>

#include "foundation/Variant.h"

namespace VariantJson
{

// The JSON value of a Variant by its tag. A String text starting with "{"
// that parses as a JSON object gives that object; any other text gives a JSON
// string. Throws nlohmann::json::parse_error for a Map text that is not JSON.
nlohmann::json toJson(const Variant& value);

// The Variant of a JSON scalar: strings, booleans, signed and unsigned
// integers and doubles keep their type; null (and anything else) is null.
Variant fromScalar(const nlohmann::json& value);

// Serialises with the given indentation (-1: compact), non-ASCII bytes kept;
// invalid UTF-8 sequences are replaced by U+FFFD instead of throwing.
std::string dump(const nlohmann::json& value, int indent);

}
