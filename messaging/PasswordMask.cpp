#include "messaging/PasswordMask.h"
#include "messaging/JsonNesting.h"

#include "foundation/JsonText.h"

namespace MQTT {

namespace {

using nlohmann::json;

const char* const kPassword = "password";
const char* const kMask = "********";

void maskInPlace(json& value)
{
    if (value.is_object()) {
        for (auto& [key, member] : value.items()) {
            if (key == kPassword && !member.is_null() && member != "") {
                member = kMask;
            } else {
                maskInPlace(member);
            }
        }
    } else if (value.is_array()) {
        for (json& element : value) {
            maskInPlace(element);
        }
    }
}

bool hasPasswordLevel(const std::string& topic)
{
    const std::string level = kPassword;
    for (size_t start = 0; start <= topic.size();) {
        const size_t end = std::min(topic.find('/', start), topic.size());
        if (topic.compare(start, end - start, level) == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// The payload with its passwords hidden.
std::string hidden(const std::string& topic, const std::string& payload)
{
    if (payload.empty()) {
        return payload;
    }
    if (hasPasswordLevel(topic)) {
        return kMask;
    }
    // A key may be spelt with escapes, so any escape is a reason to look.
    if (payload.find(kPassword) == std::string::npos && payload.find("\\u") == std::string::npos) {
        return payload;
    }
    // Masking walks the document recursively, so a peer's deep nesting is
    // never parsed; it is hidden whole instead.
    if (jsonNestingExceeds(payload)) {
        return kMask;
    }
    const json parsed = json::parse(payload, nullptr, false);
    if (parsed.is_discarded()) {
        return payload.find(kPassword) == std::string::npos ? payload : kMask;
    }
    const json masked = maskPasswords(parsed);
    return masked == parsed ? payload : masked.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace

json maskPasswords(const json& value)
{
    json masked = value;
    maskInPlace(masked);
    return masked;
}

std::string payloadForLog(const std::string& topic, const std::string& payload)
{
    return JsonText::cut(hidden(topic, payload));
}

} // namespace MQTT
