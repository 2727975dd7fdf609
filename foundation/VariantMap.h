#pragma once

// A tree of Variants held as a flat map: each leaf sits under its key path,
// components joined by "/". Nested JSON objects become path components and
// arrays a "_size" entry plus one entry per index. Map-tagged Variants carry
// a VariantMap as compact JSON; set() flattens them into leaves.
// No locking: an instance shared between threads needs the owner's lock.

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

#include "foundation/Variant.h"

class VariantMap
{
public:
    VariantMap() = default;
    explicit VariantMap(const std::map<std::string, Variant>&& map);
    VariantMap(const VariantMap&) = default;
    VariantMap& operator=(const VariantMap&) = default;
    virtual ~VariantMap() = default;

    std::size_t size() const { return mMap.size(); }
    bool empty() const { return mMap.empty(); }
    // True only for an entry with exactly this key, not for a subtree.
    bool exists(const std::string& key) const { return mMap.count(key) != 0; }
    std::vector<std::string> keys() const;

    // Stores value at key; a Map-tagged value is spread to key + "/" + each of
    // its keys instead. Removes nothing. Throws the JSON library's parse error
    // for a Map text that is not JSON, before anything is stored.
    void set(const std::string& key, const Variant& value);
    // The entry; else the entries under key + "/" ('*' and '?' are wildcards)
    // as a Map-tagged Variant; else the null Variant.
    Variant get(const std::string& key) const;
    // Inserts a null Variant for an absent key.
    Variant& operator[](const std::string& key) { return mMap[key]; }
    // Throws std::out_of_range "Key not found: <key>" for an absent key.
    const Variant& operator[](const std::string& key) const;
    // Removes the entry and every entry under key + "/".
    void erase(const std::string& key);
    // Adds the entries of other whose keys are absent here.
    VariantMap& merge(const VariantMap& other);

    // Replaces all entries by the flattened JSON value.
    VariantMap& fromJson(const nlohmann::json& json);
    // The nested JSON value of the keys. A parent whose children (besides
    // "_size") are all canonical indices, the largest below 2 x their number
    // + 16, holds an array; any other parent an object. Throws the JSON
    // library's type error 305 when a key is both a value and a parent (a
    // holding a value and a/b).
    nlohmann::json toJson() const;
    // A text table, KEY and VALUE, each line ending in a line feed.
    std::string toString() const;

    // Equal when both hold the same keys with equal Variants (text and tag).
    friend bool operator==(const VariantMap& a, const VariantMap& b) { return a.mMap == b.mMap; }
    friend bool operator!=(const VariantMap& a, const VariantMap& b) { return !(a == b); }

private:
    std::map<std::string, Variant> mMap;
};
