// Shared by the bootloader flag and status layouts: a 16-bit word whose named
// bits are listed in a per-layout table, converted to and from JSON objects of
// booleans. The tables are the only source of names, so unnamed bits never
// appear in JSON and are never changed from it.
#pragma once

#include <bitset>
#include <cstdint>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

namespace tavo::Board::BootloaderBits {

using Word = std::bitset<16>;

// Returns an object with one boolean per named bit (keys sorted by name).
template <typename Flags>
nlohmann::json toJson(const std::map<std::string, Flags>& names, const Word& bits)
{
    nlohmann::json j = nlohmann::json::object();
    for (const auto& [name, bit] : names) {
        j[name] = bits.test(static_cast<std::size_t>(bit));
    }
    return j;
}

// Sets or clears each named bit whose member in `value` is a JSON boolean.
// Non-objects, unknown names and members of other types change nothing.
template <typename Flags>
void fromJson(const std::map<std::string, Flags>& names, const nlohmann::json& value, Word& bits)
{
    if (!value.is_object()) {
        return;
    }
    for (const auto& [name, bit] : names) {
        const auto it = value.find(name);
        if (it != value.end() && it->is_boolean()) {
            bits.set(static_cast<std::size_t>(bit), it->template get<bool>());
        }
    }
}

} // namespace tavo::Board::BootloaderBits
