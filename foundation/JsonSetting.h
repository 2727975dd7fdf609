#pragma once
// Reading one setting from a JSON value that a file or a remote peer gave.
// A value the setting cannot hold as it is (another type, a negative or a
// fractional number where a count is meant, a number past the setting's
// range) is refused with an error that names its key path, instead of being
// converted into another setting. Pure functions; any thread may call them.

#include <cstdint>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

// what() is "<where>: <reason>", for example
// "device/statusPeriod: 1e+30 is not an unsigned number of milliseconds".
class SettingError : public std::runtime_error
{
public:
    SettingError(const std::string& where, const std::string& reason);

    // The same error as the section holding the setting sees it: "<section>/<where>".
    SettingError inSection(const std::string& section) const;
    // The same error as the file holding it sees it: "<file>: <where>".
    SettingError inFile(const std::string& file) const;

private:
    std::string mWhere;
    std::string mReason;
};

namespace JsonSetting
{

// The value of the setting at key as an unsigned integer of at most max: an
// integer, or a floating-point number that holds one exactly (1000.0, as
// files written by hand may have it). Throws SettingError(key, "<value> is
// not <expected>") for anything else.
std::uint64_t unsignedNumber(const nlohmann::json& value, const std::string& key, const std::string& expected,
                             std::uint64_t max = UINT64_MAX);
// unsignedNumber, where a text holding such a number is taken too, read as
// String::toInteger reads it with base 0 ("30", "0x1E" and "036" are 30).
// Another text, and one with a sign or blanks, is refused alike.
std::uint64_t unsignedNumberOrText(const nlohmann::json& value, const std::string& key, const std::string& expected,
                                   std::uint64_t max);
// Throws SettingError(key, "<value> is not a boolean") for any other type.
bool boolean(const nlohmann::json& value, const std::string& key);
// Throws SettingError(key, "<value> is not a text") for any other type.
std::string text(const nlohmann::json& value, const std::string& key);

}
