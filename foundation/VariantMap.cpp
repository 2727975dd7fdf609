#include "foundation/VariantMap.h"

#include <cstdint>
#include <set>
#include <stdexcept>

#include "foundation/KeyPath.h"
#include "foundation/String.h"
#include "foundation/VariantJson.h"

namespace
{

void parse(std::map<std::string, Variant>& map, const std::string& path, const nlohmann::json& value)
{
    if (value.is_object()) {
        for (const auto& member : value.items()) {
            parse(map, path + "/" + member.key(), member.value());
        }
    } else if (value.is_array()) {
        map[path + "/_size"] = Variant(static_cast<unsigned long>(value.size()));
        for (std::size_t i = 0; i < value.size(); ++i) {
            parse(map, path + "/" + std::to_string(i), value[i]);
        }
    } else {
        map[path] = VariantJson::fromScalar(value);
    }
}

// Places value at the path of components; "_size" entries add nothing since
// arrays are placed by index. The children of the parents in arrays are
// indices, all others members.
void compose(nlohmann::json& root, const std::vector<std::string>& components, const Variant& value,
             const std::set<std::string>& arrays)
{
    nlohmann::json* node = &root;
    std::string path;
    for (const std::string& component : components) {
        if (component == "_size") {
            return;
        }
        std::size_t index = 0;
        const bool element = arrays.count(path) != 0 && KeyPath::arrayIndex(component, SIZE_MAX, index);
        node = element ? &(*node)[index] : &(*node)[component];
        path = KeyPath::join(path, component);
    }
    if (!components.empty()) {
        *node = VariantJson::toJson(value);
    }
}

}

VariantMap::VariantMap(const std::map<std::string, Variant>&& map) : mMap(map) {}

std::vector<std::string> VariantMap::keys() const
{
    std::vector<std::string> result;
    result.reserve(mMap.size());
    for (const auto& entry : mMap) {
        result.push_back(entry.first);
    }
    return result;
}

void VariantMap::set(const std::string& key, const Variant& value)
{
    if (value.type() != Variant::Map) {
        mMap[key] = value;
        return;
    }
    const VariantMap expanded = value.toMap();
    for (const auto& entry : expanded.mMap) {
        mMap[key + "/" + entry.first] = entry.second;
    }
}

Variant VariantMap::get(const std::string& key) const
{
    return KeyPath::get(mMap, key);
}

const Variant& VariantMap::operator[](const std::string& key) const
{
    const auto it = mMap.find(key);
    if (it == mMap.end()) {
        throw std::out_of_range("Key not found: " + key);
    }
    return it->second;
}

void VariantMap::erase(const std::string& key)
{
    mMap.erase(key);
    for (const std::string& stored : KeyPath::keysUnder(mMap, key)) {
        mMap.erase(stored);
    }
}

VariantMap& VariantMap::merge(const VariantMap& other)
{
    mMap.insert(other.mMap.begin(), other.mMap.end());
    return *this;
}

VariantMap& VariantMap::fromJson(const nlohmann::json& json)
{
    mMap.clear();
    if (json.is_object()) {
        for (const auto& member : json.items()) {
            parse(mMap, member.key(), member.value());
        }
    } else if (json.is_array()) {
        mMap["_size"] = Variant(static_cast<unsigned long>(json.size()));
        for (std::size_t i = 0; i < json.size(); ++i) {
            parse(mMap, std::to_string(i), json[i]);
        }
    } else if (!json.is_null()) {
        parse(mMap, std::string(), json);
    }
    return *this;
}

nlohmann::json VariantMap::toJson() const
{
    const std::set<std::string> arrays = KeyPath::arrayParents(mMap, "_size");
    nlohmann::json result;
    for (const auto& entry : mMap) {
        compose(result, String::tokenizeV(entry.first, "/"), entry.second, arrays);
    }
    return result;
}

std::string VariantMap::toString() const
{
    std::string text;
    for (const std::string& line : KeyPath::table(mMap, "KEY")) {
        text += line + "\n";
    }
    return text;
}
