#include "foundation/JsonText.h"

#include <utility>

#include "foundation/String.h"

namespace JsonText
{

namespace
{

using nlohmann::json;

// UTF-8 continuation octets belong to the character before them.
bool continues(char octet)
{
    return (static_cast<unsigned char>(octet) & 0xC0) == 0x80;
}

// Shortens value in place (texts and member names only when cutTexts) and
// returns the nodes it holds afterwards: one pass, however deep.
std::size_t shorten(json& value, bool cutTexts)
{
    if (cutTexts && value.is_string()) {
        const std::string& text = value.get_ref<const std::string&>();
        if (text.size() > kMaxText) {
            value = cut(text);
        }
        return 0;
    }
    if (!value.is_structured()) {
        return 0;
    }
    if (cutTexts && value.is_object()) {
        json renamed = json::object();
        for (auto member : value.items()) {
            renamed[cut(member.key())] = std::move(member.value());
        }
        value = std::move(renamed);
    }
    std::size_t nodes = 0;
    for (json& member : value) {
        std::size_t below = shorten(member, cutTexts);
        if (below > kMaxNodes) {
            member = String::format("(%zu members)", member.size());
            below = 0;
        }
        nodes += 1 + below;
    }
    return nodes;
}

}

std::string cut(const std::string& text)
{
    if (text.size() <= kMaxText) {
        return text;
    }
    // A character has at most four octets; invalid UTF-8 is cut anywhere.
    std::size_t end = kMaxText;
    for (int step = 0; step < 3 && end > 0 && continues(text[end]); ++step) {
        --end;
    }
    if (continues(text[end])) {
        end = kMaxText;
    }
    return text.substr(0, end) + String::format("... (%zu octets)", text.size());
}

void collapseWide(json& value)
{
    shorten(value, false);
}

std::string forLog(const json& value)
{
    json shown = value;
    shorten(shown, true);
    return shown.dump(-1, ' ', false, json::error_handler_t::replace);
}

}
