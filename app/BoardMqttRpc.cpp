// The board's remote procedures (except drawing, BoardMqttDraw.cpp) and the
// publication of the microcontroller's events.

#include "app/BoardMqttAdaptor.h"

#include <optional>
#include <vector>

#include "board/Helpers.h"
#include "foundation/Utils.h"
#include "messaging/JsonNesting.h"

namespace tavo::Board {

namespace {

using json = nlohmann::json;

// A member the parser holds as a non-negative integer; null when absent or
// of another kind.
const json* unsignedMember(const json& value, const char* key)
{
    const auto it = value.find(key);
    return it != value.end() && it->is_number_unsigned() ? &*it : nullptr;
}

// The colour of "r", "g" and "b", each narrowed to 8 bits; nothing unless
// all three are non-negative integers.
std::optional<Color> colorOf(const json& parts)
{
    const json* r = unsignedMember(parts, "r");
    const json* g = unsignedMember(parts, "g");
    const json* b = unsignedMember(parts, "b");
    if (!r || !g || !b) {
        return std::nullopt;
    }
    return Color(static_cast<uint8_t>(r->get<uint64_t>()), static_cast<uint8_t>(g->get<uint64_t>()),
                 static_cast<uint8_t>(b->get<uint64_t>()));
}

} // namespace

void MqttAdaptor::registerRpcs()
{
    using Handler = std::string (MqttAdaptor::*)(const std::string&, const std::string&, const std::string&);
    const std::pair<const char*, Handler> rpcs[] = {
        {"lcd/clear", &MqttAdaptor::lcdClear},
        {"lcd/disable", &MqttAdaptor::lcdDisable},
        {"lcd/draw", &MqttAdaptor::lcdDraw},
        {"lcd/draw/bitmap", &MqttAdaptor::lcdDrawBitmap},
        {"lcd/draw/text", &MqttAdaptor::lcdDrawText},
        {"lcd/enable", &MqttAdaptor::lcdEnable},
        {"lcd/store", &MqttAdaptor::lcdStore},
        {"lcd/store/buffer", &MqttAdaptor::lcdStoreBuffer},
        {"lcd/store/file", &MqttAdaptor::lcdStoreFile},
        {"led/color/set", &MqttAdaptor::ledColorSet},
        {"led/off", &MqttAdaptor::ledOff},
        {"led/play", &MqttAdaptor::ledPlay},
        {"buzzer/play", &MqttAdaptor::buzzerPlay},
        {"ota", &MqttAdaptor::ota},
        {"power/reset", &MqttAdaptor::powerReset},
    };
    for (const auto& [name, handler] : rpcs) {
        client->subscribeRpc(name, [this, handler = handler](const std::string& rpc, const std::string& payload,
                                                              const std::string& id) {
            return (this->*handler)(rpc, payload, id);
        });
    }
}

std::string MqttAdaptor::makeRpcResponse(ErrorCode code, const json& data)
{
    if (code == ErrorCode::Ok) {
        return MQTT::Client::makeRpcCompleted(data);
    }
    return MQTT::Client::makeRpcFailed(Helpers::errorCodeToString(code), json());
}

std::optional<json> MqttAdaptor::parsePayload(const std::string& payload)
{
    if (jsonNestingExceeds(payload) || !json::accept(payload)) {
        return std::nullopt;
    }
    return json::parse(payload);
}

std::optional<json> MqttAdaptor::parseObject(const std::string& payload) const
{
    std::optional<json> request = parsePayload(payload);
    if (request && !request->is_object()) {
        log(Log::Debug, "Not an object");
        return std::nullopt;
    }
    return request;
}

std::string MqttAdaptor::lcdClear(const std::string&, const std::string&, const std::string&)
{
    return makeRpcResponse(manager->lcdClear());
}

std::string MqttAdaptor::lcdEnable(const std::string&, const std::string&, const std::string&)
{
    ErrorCode code = manager->lcdEnabledSet(true);
    if (code == ErrorCode::Ok) {
        code = manager->lcdBacklightEnabledSet(true);
    }
    return makeRpcResponse(code);
}

std::string MqttAdaptor::lcdDisable(const std::string&, const std::string&, const std::string&)
{
    ErrorCode code = manager->lcdEnabledSet(false);
    if (code == ErrorCode::Ok) {
        code = manager->lcdBacklightEnabledSet(false);
    }
    return makeRpcResponse(code);
}

std::string MqttAdaptor::ledOff(const std::string&, const std::string&, const std::string&)
{
    return makeRpcResponse(manager->ledOff());
}

std::string MqttAdaptor::ledColorSet(const std::string&, const std::string& payload, const std::string&)
{
    const std::optional<json> parsed = parsePayload(payload);
    if (!parsed) {
        return makeRpcResponse(ErrorCode::MalformedRequest);
    }
    // A missing part, or a payload that is not an object, counts as a bad value.
    const std::optional<Color> color = colorOf(*parsed);
    return makeRpcResponse(color ? manager->ledColorSet(*color) : ErrorCode::InvalidArgument);
}

std::string MqttAdaptor::ledPlay(const std::string&, const std::string& payload, const std::string&)
{
    const std::optional<json> parsed = parseObject(payload);
    if (!parsed) {
        return makeRpcResponse(ErrorCode::MalformedRequest);
    }
    const json& request = *parsed;
    const auto steps = request.find("steps");
    if (steps == request.end() || !steps->is_array()) {
        log(Log::Debug, "Steps not an array");
        return makeRpcResponse(ErrorCode::MalformedRequest);
    }
    std::vector<LED::AnimationStep> animation;
    for (const json& step : *steps) {
        if (Log::enabled(Log::Debug)) {
            log(Log::Debug, "Starting step %s", MQTT::Client::toText(step).c_str());
        }
        log(Log::Debug, "Checking arguments");
        if (!step.is_object() || !step.contains("color") || !step.contains("duration") ||
            !step["color"].is_object() || !step["color"].contains("r") || !step["color"].contains("g") ||
            !step["color"].contains("b")) {
            log(Log::Debug, "Missing argument");
            return makeRpcResponse(ErrorCode::MalformedRequest);
        }
        log(Log::Debug, "Checking types");
        const json* duration = unsignedMember(step, "duration");
        const std::optional<Color> color = colorOf(step["color"]);
        if (!duration || !color) {
            log(Log::Debug, "Not a number");
            return makeRpcResponse(ErrorCode::InvalidArgument);
        }
        LED::AnimationStep entry;
        entry.color = *color;
        entry.duration = static_cast<int64_t>(duration->get<uint64_t>());
        animation.push_back(entry);
    }
    const json* repeat = unsignedMember(request, "repeat");
    return makeRpcResponse(manager->ledPlay(animation, repeat ? static_cast<int>(repeat->get<uint64_t>()) : 0));
}

std::string MqttAdaptor::buzzerPlay(const std::string&, const std::string& payload, const std::string&)
{
    const std::optional<json> parsed = parseObject(payload);
    if (!parsed) {
        return makeRpcResponse(ErrorCode::MalformedRequest);
    }
    const json& request = *parsed;
    if (!request.contains("onMsec")) {
        log(Log::Debug, "Missing argument: onMsec");
        return makeRpcResponse(ErrorCode::MalformedRequest);
    }
    // Each value is read as 32 bits, then narrowed to what the buzzer takes.
    uint32_t values[3] = {0, 0, 0};
    const char* keys[3] = {"onMsec", "offMsec", "repeat"};
    for (int i = 0; i < 3; ++i) {
        if (!request.contains(keys[i])) {
            continue;
        }
        const json* number = unsignedMember(request, keys[i]);
        if (!number) {
            log(Log::Debug, "Not an unsigned number: %s", keys[i]);
            return makeRpcResponse(ErrorCode::InvalidArgument);
        }
        values[i] = static_cast<uint32_t>(number->get<uint64_t>());
    }
    return makeRpcResponse(manager->buzzerPlay(static_cast<uint16_t>(values[0]), static_cast<uint16_t>(values[1]),
                                               static_cast<uint8_t>(values[2])));
}

std::string MqttAdaptor::ota(const std::string&, const std::string& payload, const std::string&)
{
    const std::optional<json> parsed = parseObject(payload);
    if (!parsed) {
        return makeRpcResponse(ErrorCode::MalformedRequest);
    }
    const json& request = *parsed;
    const auto path = request.find("path");
    if (path == request.end() || !path->is_string()) {
        log(Log::Debug, "path is not a string");
        return makeRpcResponse(ErrorCode::MalformedRequest);
    }
    return makeRpcResponse(manager->firmwareUpdateAsync(path->get<std::string>()));
}

std::string MqttAdaptor::powerReset(const std::string&, const std::string& payload, const std::string&)
{
    const std::optional<json> parsed = parsePayload(payload);
    if (!parsed) {
        return makeRpcResponse(ErrorCode::MalformedRequest);
    }
    const json& request = *parsed;
    if (!request.is_object() || !request.contains("id")) {
        return makeRpcResponse(ErrorCode::InvalidArgument);
    }
    // Any other kind of "id" throws here; the RPC server answers with the
    // exception's text.
    const std::string name = request.at("id").get<std::string>();
    const auto rail = stringToPeripherals.find(name);
    if (rail == stringToPeripherals.end()) {
        return makeRpcResponse(ErrorCode::InvalidArgument);
    }
    log(Log::Debug, "Resetting: %s", name.c_str());
    const ErrorCode code = manager->peripheralReset(rail->second);
    client->publishLambdaTreeNode(Utils::combinePath("power", name), MQTT::Retained::No, MQTT::QoS::AtMostOnce);
    return makeRpcResponse(code);
}

void MqttAdaptor::onEvent(const LPCEvent& event)
{
    const json payload = {
        {"data", event.value},
        {"name", event.name},
        {"timestamp", event.timestamp.toString("%Y%m%d%H%M%S")},
    };
    client->publish(MQTT::Message("event", MQTT::Client::toText(payload), MQTT::Retained::No, MQTT::QoS::AtMostOnce),
                    true);
}

} // namespace tavo::Board
