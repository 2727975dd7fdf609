#include "foundation/VariantJson.h"

namespace VariantJson
{

nlohmann::json toJson(const Variant& value)
{
    const std::string text = value.toString();
    switch (value.type()) {
    case Variant::String:
        if (!text.empty() && text[0] == '{') {
            // Texts that merely look like objects (a password "{s3cret")
            // stay strings, or the whole store could no longer be written.
            nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
            if (parsed.is_object()) {
                return parsed;
            }
        }
        return text;
    case Variant::Int:
        return value.toInt();
    case Variant::UInt:
        return value.toUInt();
    case Variant::Double:
        return value.toDouble();
    case Variant::Bool:
        return value.toBool();
    case Variant::Map:
        return nlohmann::json::parse(text);
    default:
        return nullptr;
    }
}

Variant fromScalar(const nlohmann::json& value)
{
    switch (value.type()) {
    case nlohmann::json::value_t::string:
        return Variant(value.get<std::string>());
    case nlohmann::json::value_t::boolean:
        return Variant(value.get<bool>());
    case nlohmann::json::value_t::number_integer:
        return Variant(value.get<long>());
    case nlohmann::json::value_t::number_unsigned:
        return Variant(value.get<unsigned long>());
    case nlohmann::json::value_t::number_float:
        return Variant(value.get<double>());
    default:
        return Variant();
    }
}

std::string dump(const nlohmann::json& value, int indent)
{
    return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

}
