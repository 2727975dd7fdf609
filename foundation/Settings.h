#pragma once

// The base of the settings objects of the remote interfaces: a flat map of
// "/"-joined key paths to Variants, converted to and from nested JSON, saved
// and loaded as a JSON file or as an SQLite file with the table `settings`
// (key TEXT PRIMARY KEY, value TEXT, type INTEGER holding the Variant::Type).
// No locking: a store belongs to one owner; derived classes that share one
// serialise access themselves.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "foundation/Log.h"
#include "foundation/Variant.h"
#include "foundation/VariantMap.h"

class SettingStore
{
public:
    enum FileType : int32_t
    {
        Auto = 0,   // by the extension: "sqlite" or "db" in it, else "json"
        SQLite = 1,
        JSON = 2,
    };

    SettingStore() = default;
    virtual ~SettingStore() = default;

    // True only for an entry with exactly this key, not for a subtree.
    bool exists(const std::string& key) const { return mSettings.count(key) != 0; }
    std::vector<std::string> keys() const;

    // As VariantMap::set: a Map-tagged value is spread under key + "/";
    // removes nothing.
    void set(const std::string& key, const Variant& value);
    // As VariantMap::get: the entry, else the subtree below key as a
    // Map-tagged Variant, else the null Variant.
    Variant get(const std::string& key) const;
    // Inserts a null Variant for an absent key.
    Variant& operator[](const std::string& key) { return mSettings[key]; }

    VariantMap toMap() const;
    // Copies every entry of map in, overwriting equal keys.
    SettingStore& fromMap(const VariantMap& map);
    // Adds the entries of map whose keys are absent here.
    SettingStore& merge(const VariantMap& map);
    // Replaces all entries.
    void load(const std::map<std::string, Variant>&& settings);

    // Merges a JSON document: members and array elements become path
    // components; no "_size" entries. Keys the document lacks stay, except
    // that a key never stays both a value and a parent: writing at P removes
    // the keys under P/, writing under P/ removes the value at P.
    SettingStore& fromJson(const nlohmann::json& json);
    // fromJson for a store whose entry at key (a member name of the top
    // object) is a number: once merged, the entry must hold what
    // JsonSetting::unsignedNumberOrText takes, else that SettingError is
    // thrown and nothing is merged. A number json gives as that member is
    // stored as the integer it holds, since the store keeps a floating-point
    // number to six digits only.
    SettingStore& fromJsonWithNumber(const nlohmann::json& json, const std::string& key, const std::string& expected,
                                     std::uint64_t max);
    // The nested JSON object of the keys. Below the top, a parent whose
    // children are all canonical indices, the largest below 2 x their number
    // + 16, holds an array; any other parent an object. Throws the JSON
    // library's type error 305 or 308 when a key is both a value and a parent.
    nlohmann::json toJson() const;

    // Writes the file in the chosen format; false (logged) on failure, and a
    // failed JSON save leaves the old file as it was. A JSON save first
    // removes the temporary files that killed saves of the same file left.
    // Throws toJson's type error for JSON before any file is touched.
    bool save(const std::string& path, FileType type) const;
    // Merges the file into the entries; false (logged) on failure. A
    // writable SQLite file is opened for writing, so that the journal of a
    // killed save is rolled back. A JSON file that does not parse raises
    // nlohmann::json::parse_error, merging nothing.
    bool load(const std::string& path, FileType type);

    // Logs the entries as a SETTING / VALUE table at Info level.
    void print() const;

    static void log(Log::Level level, const std::string& text);
    static void log(Log::Level level, const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    bool saveJSON(const std::string& path) const;
    bool loadJSON(const std::string& path);
    bool saveSQLite(const std::string& path) const;
    bool loadSQLite(const std::string& path);

    std::map<std::string, Variant> mSettings;
};
