#include "foundation/Settings.h"

#include <SQLiteCpp/SQLiteCpp.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/FileIo.h"
#include "foundation/JsonSetting.h"
#include "foundation/KeyPath.h"
#include "foundation/String.h"
#include "foundation/Utils.h"
#include "foundation/VariantJson.h"

// Inside SettingStore the enumerator SettingStore::SQLite hides the SQLiteCpp
// namespace, hence the qualified ::SQLite below.

namespace
{

using Entries = std::map<std::string, Variant>;

// The key with empty components dropped ("a//b/" is "a/b"), as toJson reads it.
std::string canonicalKey(const std::string& path)
{
    std::string key;
    for (const std::string& component : String::tokenizeV(path, "/")) {
        key += key.empty() ? component : "/" + component;
    }
    return key;
}

// Stores one value from a JSON document so that the key is a value only:
// the values at its ancestors and everything below it go.
void store(Entries& settings, const std::string& path, const Variant& value)
{
    const std::string key = canonicalKey(path);
    for (std::size_t slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1)) {
        settings.erase(key.substr(0, slash));
    }
    if (!key.empty()) {
        const std::string prefix = key + "/";
        auto last = settings.lower_bound(prefix);
        const auto first = last;
        while (last != settings.end() && last->first.compare(0, prefix.size(), prefix) == 0) {
            ++last;
        }
        settings.erase(first, last);
    }
    settings[key] = value;
}

void parse(Entries& settings, const std::string& path, const nlohmann::json& value)
{
    if (value.is_object()) {
        for (const auto& member : value.items()) {
            parse(settings, path + "/" + member.key(), member.value());
        }
    } else if (value.is_array()) {
        for (std::size_t i = 0; i < value.size(); ++i) {
            parse(settings, path + "/" + std::to_string(i), value[i]);
        }
    } else {
        store(settings, path, VariantJson::fromScalar(value));
    }
}

// The top is always an object; below it the children of the parents in
// arrays are indices, all others members.
void compose(nlohmann::json& root, const std::vector<std::string>& components, const Variant& value,
             const std::set<std::string>& arrays)
{
    nlohmann::json* node = &root;
    std::string path;
    for (const std::string& component : components) {
        std::size_t index = 0;
        if (path.empty() || arrays.count(path) == 0 || !KeyPath::arrayIndex(component, SIZE_MAX, index)) {
            node = &(*node)[component];
        } else if (node->is_null() || node->is_array()) {
            node = &(*node)[index];
        } else {
            throw nlohmann::json::type_error::create(
                308, std::string("cannot use push_back() with ") + node->type_name(), node);
        }
        path = KeyPath::join(path, component);
    }
    if (!components.empty()) {
        *node = VariantJson::toJson(value);
    }
}

SettingStore::FileType typeOf(const std::string& path)
{
    const std::string extension = Utils::getFileExtension(path);
    if (extension.find("sqlite") != std::string::npos || extension.find("db") != std::string::npos) {
        return SettingStore::SQLite;
    }
    if (extension.find("json") != std::string::npos) {
        return SettingStore::JSON;
    }
    return SettingStore::Auto;
}

// The file a save replaces: the target of a symbolic link, so the link stays.
std::string saveTarget(const std::string& path)
{
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return path;
    }
    std::string target = resolved;
    free(resolved);
    return target;
}

// The process id in a temporary file name "<base>.<pid>.<n>.tmp"; 0 for
// any other name.
pid_t temporaryOwner(const std::string& name, const std::string& base)
{
    const std::string middle = FileIo::between(name, base + ".", ".tmp");
    const std::size_t dot = middle.find('.');
    const std::string count = dot == std::string::npos ? std::string() : middle.substr(dot + 1);
    if (count.empty() || count.find_first_not_of("0123456789") != std::string::npos) {
        return 0;
    }
    return FileIo::processId(middle.substr(0, dot));
}

// Removes the temporary files that saves of target left behind when their
// process was killed before the rename; a running process's are its own.
void removeStaleTemporaries(const std::string& target)
{
    const std::string base = Utils::getFilenameFromFilepath(target);
    FileIo::removeOrphans(FileIo::directoryOf(target),
                          [&base](const std::string& name) { return temporaryOwner(name, base); });
}

}

std::vector<std::string> SettingStore::keys() const
{
    std::vector<std::string> result;
    result.reserve(mSettings.size());
    for (const auto& entry : mSettings) {
        result.push_back(entry.first);
    }
    return result;
}

void SettingStore::set(const std::string& key, const Variant& value)
{
    if (value.type() != Variant::Map) {
        mSettings[key] = value;
        return;
    }
    const VariantMap expanded = value.toMap();
    for (const std::string& k : expanded.keys()) {
        mSettings[key + "/" + k] = expanded[k];
    }
}

Variant SettingStore::get(const std::string& key) const
{
    return KeyPath::get(mSettings, key);
}

VariantMap SettingStore::toMap() const
{
    return VariantMap(std::map<std::string, Variant>(mSettings));
}

SettingStore& SettingStore::fromMap(const VariantMap& map)
{
    for (const std::string& key : map.keys()) {
        mSettings[key] = map[key];
    }
    return *this;
}

SettingStore& SettingStore::merge(const VariantMap& map)
{
    for (const std::string& key : map.keys()) {
        mSettings.emplace(key, map[key]);
    }
    return *this;
}

void SettingStore::load(const std::map<std::string, Variant>&& settings)
{
    mSettings = settings;
}

SettingStore& SettingStore::fromJson(const nlohmann::json& json)
{
    if (!json.is_null()) {
        parse(mSettings, std::string(), json);
    }
    return *this;
}

SettingStore& SettingStore::fromJsonWithNumber(const nlohmann::json& json, const std::string& key,
                                               const std::string& expected, std::uint64_t max)
{
    SettingStore merged;
    merged.mSettings = mSettings;
    merged.fromJson(json);
    // The member itself is judged, not the six digits stored of a float; the
    // entry is judged when only another spelling of the key ("/port",
    // "port/") or a path below it reached it.
    const auto given = json.find(key);
    const nlohmann::json value = given != json.end() ? *given : VariantJson::toJson(merged.get(key));
    const std::uint64_t number = JsonSetting::unsignedNumberOrText(value, key, expected, max);
    if (given != json.end()) {
        // Stored again, so that it replaces what a later spelling stored.
        merged.fromJson(nlohmann::json{{key, value.is_number() ? nlohmann::json(number) : value}});
    }
    mSettings = std::move(merged.mSettings);
    return *this;
}

nlohmann::json SettingStore::toJson() const
{
    const std::set<std::string> arrays = KeyPath::arrayParents(mSettings, std::string());
    nlohmann::json result;
    for (const auto& entry : mSettings) {
        compose(result, String::tokenizeV(entry.first, "/"), entry.second, arrays);
    }
    return result;
}

bool SettingStore::save(const std::string& path, FileType type) const
{
    switch (type == Auto ? typeOf(path) : type) {
    case SQLite:
        return saveSQLite(path);
    case JSON:
        return saveJSON(path);
    default:
        return false;
    }
}

bool SettingStore::load(const std::string& path, FileType type)
{
    switch (type == Auto ? typeOf(path) : type) {
    case SQLite:
        return loadSQLite(path);
    case JSON:
        return loadJSON(path);
    default:
        return false;
    }
}

bool SettingStore::saveJSON(const std::string& path) const
{
    const std::string text = VariantJson::dump(toJson(), 4);

    // The text goes to a fresh file beside the old one, which is replaced only
    // once the new one is complete and on disk.
    static std::atomic<unsigned> saveCount{0};
    const std::string target = saveTarget(path);
    removeStaleTemporaries(target);
    const std::string temp = String::format("%s.%d.%u.tmp", target.c_str(), static_cast<int>(getpid()), saveCount++);
    struct stat old;
    const bool replacing = stat(target.c_str(), &old) == 0;

    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        log(Log::Error, "saveJSON(): could not open file '%s': %s.", path.c_str(), strerror(errno));
        return false;
    }
    const auto fail = [&]() {
        close(fd);
        unlink(temp.c_str());
        return false;
    };
    // A replaced file keeps its permissions, as rewriting it in place would.
    if (replacing && fchmod(fd, old.st_mode & 07777) != 0) {
        log(Log::Error, "saveJSON(): could not open file '%s': %s.", path.c_str(), strerror(errno));
        return fail();
    }
    const std::size_t written = FileIo::writeAll(fd, text.data(), text.size());
    if (written != text.size()) {
        if (written == 0 && errno != 0) {
            log(Log::Error, "saveJSON(): could not write in file '%s': %s", path.c_str(), strerror(errno));
        } else {
            log(Log::Error, "saveJSON(): partial write in file '%s': %d/%d", path.c_str(), static_cast<int>(written),
                static_cast<int>(text.size()));
        }
        return fail();
    }
    if (fsync(fd) != 0) {
        log(Log::Error, "saveJSON(): could not sync file '%s': %s", path.c_str(), strerror(errno));
        return fail();
    }
    if (close(fd) != 0) {
        log(Log::Error, "saveJSON(): could not write in file '%s': %s", path.c_str(), strerror(errno));
        unlink(temp.c_str());
        return false;
    }
    if (rename(temp.c_str(), target.c_str()) != 0) {
        log(Log::Error, "saveJSON(): could not replace file '%s': %s", path.c_str(), strerror(errno));
        unlink(temp.c_str());
        return false;
    }
    // A failure here leaves either file whole.
    FileIo::syncDirectory(target);
    return true;
}

bool SettingStore::loadJSON(const std::string& path)
{
    std::ifstream in(path);
    if (!in.is_open()) {
        log(Log::Error, "loadJSON(): could not open file '%s'.", path.c_str());
        return false;
    }
    nlohmann::json json;
    in >> json;
    in.close();
    fromJson(json);
    return true;
}

bool SettingStore::saveSQLite(const std::string& path) const
{
    try {
        ::SQLite::Database db(path, ::SQLite::OPEN_READWRITE | ::SQLite::OPEN_CREATE, 2000);
        // Rolls back when anything below throws, keeping the table as it was.
        ::SQLite::Transaction transaction(db);
        db.exec("DROP TABLE IF EXISTS settings");
        db.exec("CREATE TABLE settings (key TEXT PRIMARY KEY, value TEXT, type INTEGER)");
        ::SQLite::Statement insert(db, "INSERT INTO settings VALUES (?, ?, ?)");
        for (const auto& entry : mSettings) {
            insert.bind(1, entry.first);
            insert.bind(2, entry.second.toString());
            insert.bind(3, static_cast<int>(entry.second.type()));
            insert.exec();
            insert.reset();
        }
        transaction.commit();
        return true;
    } catch (const std::exception& e) {
        log(Log::Error, "saveSQLite(): " + std::string(e.what()));
        return false;
    }
}

bool SettingStore::loadSQLite(const std::string& path)
{
    try {
        // A writable file is opened for writing, so that SQLite can roll back
        // the journal of a save that was killed; read-only it could not read
        // the file at all.
        const int mode = access(path.c_str(), W_OK) == 0 ? ::SQLite::OPEN_READWRITE : ::SQLite::OPEN_READONLY;
        ::SQLite::Database db(path, mode, 0);
        ::SQLite::Statement query(db, "SELECT * FROM settings");
        while (query.executeStep()) {
            const ::SQLite::Column value = query.getColumn(1);
            mSettings[query.getColumn(0).getString()] =
                Variant(value.isNull() ? std::string() : value.getString(),
                        static_cast<Variant::Type>(query.getColumn(2).getInt()));
        }
        return true;
    } catch (const std::exception& e) {
        log(Log::Error, "loadSQLite(): " + std::string(e.what()));
        return false;
    }
}

void SettingStore::print() const
{
    for (const std::string& line : KeyPath::table(mSettings, "SETTING")) {
        log(Log::Info, line);
    }
}

void SettingStore::log(Log::Level level, const std::string& text)
{
    Log::print(level, "[Settings] " + text);
}

void SettingStore::log(Log::Level level, const char* format, ...)
{
    const std::string prefixed = std::string("[Settings] ") + format;
    va_list args;
    va_start(args, format);
    Log::vprint(level, prefixed.c_str(), args);
    va_end(args);
}
