// Message codec. Decoding trusts nothing in the frame: every length is
// checked against the octets actually present before anything is copied.
#include "lpc/api_message.h"

#include <cstring>

int API_message_init(API_Message_t* message, uint8_t id, int type, int error, uint16_t seqNo)
{
    message->ID = id;
    message->Type = type;
    message->Error = error;
    message->SeqNo = seqNo;
    message->Size = 0;
    return 0;
}

int API_message_serialise(const API_Message_t* message, uint8_t* out)
{
    if (message->Size > API_DATA_SIZE) {
        return 0;
    }
    out[0] = message->ID;
    out[1] = static_cast<uint8_t>(message->Type);
    out[2] = static_cast<uint8_t>(message->Error);
    out[3] = static_cast<uint8_t>(message->SeqNo >> 8);
    out[4] = static_cast<uint8_t>(message->SeqNo);
    out[5] = static_cast<uint8_t>(message->Size >> 8);
    out[6] = static_cast<uint8_t>(message->Size);
    std::memcpy(out + API_HEADER_SIZE, message->Data, message->Size);
    return API_HEADER_SIZE + message->Size;
}

int API_message_deserialise(API_Message_t* message, const uint8_t* in, uint16_t length)
{
    if (length < API_HEADER_SIZE) {
        return 0;
    }
    const uint16_t size = static_cast<uint16_t>((in[5] << 8) | in[6]);
    if (size > length - API_HEADER_SIZE || size > API_DATA_SIZE) {
        return 0;
    }
    message->ID = in[0];
    message->Type = in[1];
    message->Error = in[2];
    message->SeqNo = static_cast<uint16_t>((in[3] << 8) | in[4]);
    message->Size = size;
    std::memcpy(message->Data, in + API_HEADER_SIZE, size);
    return API_HEADER_SIZE + size;
}
