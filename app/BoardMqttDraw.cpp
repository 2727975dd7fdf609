// The drawing procedures: text and stored bitmaps on the LCD, one at a time
// or up to kMaxDrawItems in one request.

#include "app/BoardMqttAdaptor.h"

namespace tavo::Board {

namespace {

using json = nlohmann::json;

// The member when the parser holds it as a non-negative integer, else 0.
uint64_t unsignedOrZero(const json& request, const char* key)
{
    const auto it = request.find(key);
    return it != request.end() && it->is_number_unsigned() ? it->get<uint64_t>() : 0;
}

bool allPresent(const json& request, std::initializer_list<const char*> keys)
{
    for (const char* key : keys) {
        if (!request.contains(key)) {
            return false;
        }
    }
    return true;
}

bool allUnsigned(const json& request, std::initializer_list<const char*> keys)
{
    for (const char* key : keys) {
        if (!request[key].is_number_unsigned()) {
            return false;
        }
    }
    return true;
}

// The text of a string member, else "".
std::string textOf(const json& request, const char* key)
{
    const auto it = request.find(key);
    return it != request.end() && it->is_string() ? it->get<std::string>() : std::string();
}

Screen::Align::Horizontal horizontal(const std::string& text)
{
    if (text == "left") {
        return Screen::Align::Horizontal::left;
    }
    return text == "right" ? Screen::Align::Horizontal::right : Screen::Align::Horizontal::centre;
}

Screen::Align::Vertical vertical(const std::string& text)
{
    if (text == "top") {
        return Screen::Align::Vertical::top;
    }
    return text == "bottom" ? Screen::Align::Vertical::bottom : Screen::Align::Vertical::middle;
}

} // namespace

MqttAdaptor::Outcome MqttAdaptor::drawBitmap(const json& request)
{
    log(Log::Debug, "Checking arguments");
    if (!allPresent(request, {"bank", "width", "height"})) {
        log(Log::Debug, "Missing argument(s)");
        return {ErrorCode::MalformedRequest, json()};
    }
    log(Log::Debug, "Checking types");
    if (!allUnsigned(request, {"bank", "width", "height"})) {
        return {ErrorCode::InvalidArgument, json()};
    }
    unsigned objectId = 0;
    const ErrorCode code = manager->lcdDrawBitmap(
        objectId, static_cast<int>(request["bank"].get<uint64_t>()), static_cast<int>(unsignedOrZero(request, "x")),
        static_cast<int>(unsignedOrZero(request, "y")), static_cast<int>(request["width"].get<uint64_t>()),
        static_cast<int>(request["height"].get<uint64_t>()));
    return {code, {{"objectId", objectId}}};
}

MqttAdaptor::Outcome MqttAdaptor::drawText(const json& request)
{
    log(Log::Debug, "Checking arguments");
    if (!request.contains("text")) {
        log(Log::Debug, "Missing argument(s)");
        return {ErrorCode::MalformedRequest, json()};
    }
    log(Log::Debug, "Checking types");
    if (!request["text"].is_string()) {
        return {ErrorCode::InvalidArgument, json()};
    }
    // Every request sets alignment, font and spacing afresh.
    ErrorCode code =
        manager->lcdTextAlignSet(horizontal(textOf(request, "alignH")), vertical(textOf(request, "alignV")));
    if (code == ErrorCode::Ok) {
        code = manager->lcdTextFontSet(static_cast<unsigned long>(unsignedOrZero(request, "font")));
    }
    if (code == ErrorCode::Ok) {
        code = manager->lcdTextSpacingSet(static_cast<int>(unsignedOrZero(request, "spacing")));
    }
    if (code != ErrorCode::Ok) {
        return {code, json()};
    }
    unsigned objectId = 0;
    code = manager->lcdDrawText(objectId, request["text"].get<std::string>(),
                                static_cast<int>(unsignedOrZero(request, "x")),
                                static_cast<int>(unsignedOrZero(request, "y")),
                                static_cast<int>(unsignedOrZero(request, "width")),
                                static_cast<int>(unsignedOrZero(request, "height")));
    return {code, {{"objectId", objectId}}};
}

std::string MqttAdaptor::lcdDrawBitmap(const std::string&, const std::string& payload, const std::string&)
{
    const std::optional<json> request = parseObject(payload);
    const Outcome outcome = request ? drawBitmap(*request) : Outcome{ErrorCode::MalformedRequest, json()};
    return makeRpcResponse(outcome.code, outcome.data);
}

std::string MqttAdaptor::lcdDrawText(const std::string&, const std::string& payload, const std::string&)
{
    const std::optional<json> request = parseObject(payload);
    const Outcome outcome = request ? drawText(*request) : Outcome{ErrorCode::MalformedRequest, json()};
    return makeRpcResponse(outcome.code, outcome.data);
}

std::string MqttAdaptor::lcdDraw(const std::string&, const std::string& payload, const std::string&)
{
    const std::optional<json> parsed = parsePayload(payload);
    if (!parsed) {
        return makeRpcResponse(ErrorCode::MalformedRequest);
    }
    const json& request = *parsed;
    if (!request.is_array()) {
        log(Log::Debug, "Not an array");
        return makeRpcResponse(ErrorCode::MalformedRequest);
    }
    if (request.size() > kMaxDrawItems) {
        log(Log::Warning, "Too many items in array. Max: %zu", kMaxDrawItems);
        return makeRpcResponse(ErrorCode::MalformedRequest);
    }
    log(Log::Debug, "Checking arguments");
    for (const json& item : request) {
        const std::string type = textOf(item, "type");
        if (!item.is_object() || !item.contains("type") || !item["type"].is_string()) {
            log(Log::Debug, "Missing type");
            return makeRpcResponse(ErrorCode::MalformedRequest);
        }
        Outcome outcome;
        if (type == "text") {
            outcome = drawText(item);
        } else if (type == "bitmap") {
            outcome = drawBitmap(item);
        } else {
            continue;
        }
        const std::string reply = makeRpcResponse(outcome.code, outcome.data);
        log(Log::Debug, "r: %s", reply.c_str());
        if (outcome.code != ErrorCode::Ok) {
            return reply;
        }
    }
    return makeRpcResponse(ErrorCode::Ok);
}

} // namespace tavo::Board
