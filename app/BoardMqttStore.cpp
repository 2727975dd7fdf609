// The bitmap storage procedures: one image from a file or from hexadecimal
// text, or several in one request.

#include "app/BoardMqttAdaptor.h"

#include <climits>
#include <cstdlib>

#include "image/ImageLimits.h"

namespace tavo::Board {

namespace {

using json = nlohmann::json;

// A non-negative integer beyond int stays beyond the manager's ranges
// instead of wrapping into them.
int saturated(const json& number)
{
    const uint64_t value = number.get<uint64_t>();
    return value > uint64_t(INT_MAX) ? INT_MAX : int(value);
}

// Two characters at a time, an odd length read as if led by "0". Each pair
// is read as a signed hexadecimal number (blanks, a sign, then digits up to
// the first other character; none gives 0) and gives its low 8 bits.
std::vector<uint8_t> hexOctets(const std::string& text)
{
    const std::string even = text.size() % 2 ? "0" + text : text;
    std::vector<uint8_t> octets;
    octets.reserve(even.size() / 2);
    for (size_t i = 0; i < even.size(); i += 2) {
        const char pair[3] = {even[i], even[i + 1], '\0'};
        octets.push_back(static_cast<uint8_t>(std::strtol(pair, nullptr, 16)));
    }
    return octets;
}

bool hasString(const json& item, const char* key)
{
    const auto it = item.find(key);
    return it != item.end() && it->is_string();
}

} // namespace

ErrorCode MqttAdaptor::storeBitmap(const json& request, bool fromFile)
{
    log(Log::Debug, fromFile ? "Storing file to bank" : "Storing buffer to bank");
    const char* source = fromFile ? "path" : "buffer";
    if (!request.is_object()) {
        log(Log::Debug, "Not an object");
        return ErrorCode::MalformedRequest;
    }
    log(Log::Debug, "Checking arguments");
    for (const char* key : {"bank", source, "width", "height"}) {
        if (!request.contains(key)) {
            log(Log::Debug, "Missing argument(s)");
            return ErrorCode::MalformedRequest;
        }
    }
    log(Log::Debug, "Checking types");
    const json& bank = request["bank"];
    const json& width = request["width"];
    const json& height = request["height"];
    if (!bank.is_number_unsigned() || !width.is_number_unsigned() || !height.is_number_unsigned()
        || !request[source].is_string()) {
        return ErrorCode::InvalidArgument;
    }
    const auto compressed = request.find("compressed");
    const bool compress = compressed != request.end() && compressed->is_boolean() && compressed->get<bool>();
    const std::string& text = request[source].get_ref<const std::string&>();
    if (fromFile) {
        return manager->lcdStoreBitmapFile(saturated(bank), saturated(width), saturated(height), compress, text);
    }
    // The decoded size is known from the text's length: refused before any
    // of it is allocated.
    if ((text.size() + 1) / 2 > IMAGE_MAX_BUFFER) {
        return ErrorCode::InvalidArgument;
    }
    return manager->lcdStoreBitmapBuffer(saturated(bank), saturated(width), saturated(height), compress,
                                         hexOctets(text));
}

std::string MqttAdaptor::lcdStoreFile(const std::string&, const std::string& payload, const std::string&)
{
    const std::optional<json> request = parsePayload(payload);
    return makeRpcResponse(request ? storeBitmap(*request, true) : ErrorCode::MalformedRequest);
}

std::string MqttAdaptor::lcdStoreBuffer(const std::string&, const std::string& payload, const std::string&)
{
    const std::optional<json> request = parsePayload(payload);
    return makeRpcResponse(request ? storeBitmap(*request, false) : ErrorCode::MalformedRequest);
}

std::string MqttAdaptor::lcdStore(const std::string&, const std::string& payload, const std::string&)
{
    const std::optional<json> parsed = parsePayload(payload);
    if (!parsed) {
        return makeRpcResponse(ErrorCode::MalformedRequest);
    }
    if (!parsed->is_array()) {
        log(Log::Debug, "Not an array");
        return makeRpcResponse(ErrorCode::MalformedRequest);
    }
    log(Log::Debug, "Iterating array...");
    for (const json& item : *parsed) {
        const bool file = hasString(item, "path");
        if (!file && !hasString(item, "buffer")) {
            continue;
        }
        const ErrorCode code = storeBitmap(item, file);
        const std::string reply = makeRpcResponse(code);
        log(Log::Debug, "r: %s", reply.c_str());
        if (code != ErrorCode::Ok) {
            return reply;
        }
    }
    return makeRpcResponse(ErrorCode::Ok);
}

} // namespace tavo::Board
