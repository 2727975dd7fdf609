// API_Message_t: one message of the microcontroller protocol, and its wire
// form (the payload of one frame, multi-octet fields big-endian):
//   ID(1) Type(1) Error(1) SeqNo(2) Size(2) Data(Size)
#pragma once

#include <cstdint>

constexpr uint16_t API_HEADER_SIZE = 7;
constexpr uint16_t API_DATA_SIZE = 252;

enum API_Type_t : int
{
    API_TYPE_REQUEST = 0,
    API_TYPE_RESPONSE = 1,
    API_TYPE_INDICATION = 2,
};

enum API_Error_t : int
{
    API_ERROR_NONE = 0,
    API_ERROR_GENERAL = 1,
    API_ERROR_MALFORMED_PACKET = 2,
    API_ERROR_INVALID_ID = 3,
    API_ERROR_INVALID_TYPE = 4,
    API_ERROR_INVALID_COMMAND = 5,
    API_ERROR_INVALID_PARAMETER = 6,
    API_ERROR_UNEXPECTED_SIZE = 7,
    API_ERROR_UNKNOWN = 8,
};

struct API_Message_t
{
    uint8_t ID;
    int Type;
    int Error;
    uint16_t SeqNo;
    // Octets used in Data, never more than API_DATA_SIZE.
    uint16_t Size;
    // Data[0] is the sub-identifier; parameters follow.
    uint8_t Data[API_DATA_SIZE];
};

// Sets ID, Type, Error, SeqNo and Size 0; Data is left as it is. Returns 0.
int API_message_init(API_Message_t* message, uint8_t id, int type, int error, uint16_t seqNo);
// Writes the wire form (7 + Size octets) to out and returns its length; 0,
// writing nothing, when Size exceeds Data.
int API_message_serialise(const API_Message_t* message, uint8_t* out);
// Reads a wire form of 'length' octets and returns 7 + Size. Returns 0 and
// leaves message untouched when the header is incomplete or Size claims more
// octets than follow it (or than Data holds). Octets after Data are ignored.
int API_message_deserialise(API_Message_t* message, const uint8_t* in, uint16_t length);
