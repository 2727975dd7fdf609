#include "foundation/JsonSetting.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "foundation/JsonText.h"

SettingError::SettingError(const std::string& where, const std::string& reason)
    : std::runtime_error(where + ": " + reason), mWhere(where), mReason(reason)
{
}

SettingError SettingError::inSection(const std::string& section) const
{
    return SettingError(section + "/" + mWhere, mReason);
}

SettingError SettingError::inFile(const std::string& file) const
{
    return SettingError(file + ": " + mWhere, mReason);
}

namespace JsonSetting
{

namespace {

[[noreturn]] void refuse(const nlohmann::json& value, const std::string& key, const std::string& expected)
{
    // Cut: the value may be a long text from a file.
    throw SettingError(key, JsonText::forLog(value) + " is not " + expected);
}

// 2^64, exactly representable: every double below it fits in 64 bits.
constexpr double kUnsignedEnd = 18446744073709551616.0;

} // namespace

std::uint64_t unsignedNumber(const nlohmann::json& value, const std::string& key, const std::string& expected,
                             std::uint64_t max)
{
    std::uint64_t number = 0;
    if (value.is_number_unsigned()) {
        number = value.get<std::uint64_t>();
    } else if (value.is_number_integer() && value.get<std::int64_t>() >= 0) {
        number = static_cast<std::uint64_t>(value.get<std::int64_t>());
    } else if (value.is_number_float()) {
        const double real = value.get<double>();
        // The negated test also refuses a NaN.
        if (!(real >= 0.0 && real < kUnsignedEnd) || std::trunc(real) != real) {
            refuse(value, key, expected);
        }
        number = static_cast<std::uint64_t>(real);
    } else {
        refuse(value, key, expected);
    }
    if (number > max) {
        refuse(value, key, expected);
    }
    return number;
}

std::uint64_t unsignedNumberOrText(const nlohmann::json& value, const std::string& key, const std::string& expected,
                                   std::uint64_t max)
{
    if (!value.is_string()) {
        return unsignedNumber(value, key, expected, max);
    }
    const std::string& text = value.get_ref<const std::string&>();
    int base = 10;
    size_t prefix = 0;
    if (text.compare(0, 2, "0x") == 0) {
        base = 16;
        prefix = 2;
    } else if (text.size() > 1 && text[0] == '0') {
        base = 8;
        prefix = 1;
    }
    const auto digit = [base](char c) {
        return base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : c >= '0' && c < '0' + base;
    };
    // strtoull alone would take blanks, a sign and a second "0x".
    if (text.size() == prefix || !std::all_of(text.begin() + prefix, text.end(), digit)) {
        refuse(value, key, expected);
    }
    errno = 0;
    const unsigned long long number = std::strtoull(text.c_str() + prefix, nullptr, base);
    if (errno == ERANGE || number > max) {
        refuse(value, key, expected);
    }
    return number;
}

bool boolean(const nlohmann::json& value, const std::string& key)
{
    if (!value.is_boolean()) {
        refuse(value, key, "a boolean");
    }
    return value.get<bool>();
}

std::string text(const nlohmann::json& value, const std::string& key)
{
    if (!value.is_string()) {
        refuse(value, key, "a text");
    }
    return value.get<std::string>();
}

}
