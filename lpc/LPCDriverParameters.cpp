// Named firmware parameters. A value travels with a type code:
//   1  32-bit integer, little-endian (read back as an unsigned Variant)
//   2  64-bit IEEE 754 double, little-endian
//   3  text followed by one zero octet
// Read reply: [0] sub-identifier, [1..L] echoed name, [L+1] 0, [L+2] code,
// [L+3..] value. Replies that do not fit this layout give 2.

#include <cstring>
#include <map>

#include "lpc/LPCDriver.h"

namespace {

constexpr uint8_t kIdSystem = 0;
constexpr uint8_t kSubRead = 7;
constexpr uint8_t kSubWrite = 8;

enum WireCode : uint8_t { CodeInteger = 1, CodeDouble = 2, CodeText = 3 };

const std::map<Variant::Type, WireCode>& wireCodes()
{
    static const std::map<Variant::Type, WireCode> codes = {
        {Variant::Int, CodeInteger},
        {Variant::Double, CodeDouble},
        {Variant::String, CodeText},
    };
    return codes;
}

// The octets of data from 'from' up to the first zero before end, or end
// when there is none.
const uint8_t* findZero(const uint8_t* from, const uint8_t* end)
{
    const void* zero = std::memchr(from, 0, size_t(end - from));
    return zero != nullptr ? static_cast<const uint8_t*>(zero) : end;
}

// Decodes a read reply for name into value; false when it does not fit.
bool decodeParameter(const API_Message_t& reply, const std::string& name, Variant& value)
{
    const uint8_t* begin = reply.Data + 1;
    const uint8_t* end = reply.Data + reply.Size;
    if (reply.Size < 1)
        return false;
    const uint8_t* nameEnd = findZero(begin, end);
    if (nameEnd == end || std::string(begin, nameEnd) != name)
        return false;

    const size_t length = name.size();
    if (reply.Size <= length + 2)
        return false;
    const LpcReply r(reply);
    switch (r.u8(length + 2)) {
    case CodeInteger:
        if (reply.Size != length + 7)
            return false;
        value = Variant(static_cast<unsigned int>(r.le32(length + 3)));
        return true;
    case CodeDouble: {
        if (reply.Size != length + 11)
            return false;
        const uint64_t bits = r.le64(length + 3);
        double number;
        std::memcpy(&number, &bits, sizeof number);
        value = Variant(number);
        return true;
    }
    case CodeText: {
        const uint8_t* text = reply.Data + length + 3;
        const uint8_t* textEnd = findZero(text, end);
        if (textEnd == end)
            return false;
        value = Variant(std::string(text, textEnd));
        return true;
    }
    default:
        return false;
    }
}

} // namespace

LPCDriver::ErrorCode LPCDriver::getFirmwareParameter(const std::string& name, Variant& value)
{
    if (name.size() > kMaxParameterName)
        return InvalidParameter;
    API_Message_t reply;
    const LpcRequest request = LpcRequest(kIdSystem, kSubRead).octets(name.data(), name.size()).u8(0);
    const ErrorCode result = runRequest(request, 0, reply);
    if (result != NoError)
        return result;
    Variant decoded;
    if (!decodeParameter(reply, name, decoded))
        return MalformedPacket;
    value = decoded;
    return NoError;
}

LPCDriver::ErrorCode LPCDriver::setFirmwareParameter(const std::string& name, const Variant& value)
{
    const auto code = wireCodes().find(value.type());
    if (name.size() > kMaxParameterName || code == wireCodes().end())
        return InvalidParameter;
    if (code->second == CodeText && value.toString().size() > kMaxParameterText)
        return InvalidParameter;

    LpcRequest request(kIdSystem, kSubWrite);
    request.octets(name.data(), name.size()).u8(0).u8(code->second);
    switch (code->second) {
    case CodeInteger:
        request.le32(static_cast<uint32_t>(value.toInt()));
        break;
    case CodeDouble: {
        const double number = value.toDouble();
        uint64_t bits;
        std::memcpy(&bits, &number, sizeof bits);
        request.le64(bits);
        break;
    }
    case CodeText: {
        const std::string text = value.toString();
        request.octets(text.data(), text.size()).u8(0);
        break;
    }
    }
    return command(request);
}
