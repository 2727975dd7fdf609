// HDLC-like asynchronous framing of the microcontroller link: 0x7E flags
// around each frame, 0x7D escapes of 0x7E and 0x7D, and the FCS-16 of RFC 1662
// (low octet first) after the payload. No address, control or sequence
// fields: the request/response exchange above handles loss.
//
// Threads: one thread feeds received octets (and runs onFrame); another may
// transmit at the same time, but two transmissions on one context must be
// serialised by the caller. droppedBytes may be read from any thread.
#pragma once

#include <atomic>
#include <cstdint>

// Room for one frame between flags, payload and FCS after un-escaping.
constexpr uint16_t HDLC_RX_BUFFER_SIZE = 256;

typedef void (*HDLC_PutOctet_t)(char octet, void* user);
typedef void (*HDLC_OnFrame_t)(uint8_t* frame, uint16_t length, void* user);

struct HDLC_Context_t
{
    HDLC_PutOctet_t putOctet;
    // Gets each good frame's payload; the pointer is valid during the call only.
    HDLC_OnFrame_t onFrame;
    bool escaped;
    uint8_t rxBuffer[HDLC_RX_BUFFER_SIZE];
    uint16_t rxCount;
    uint16_t fcs;
    void* user;
    // Octets of frames discarded for a bad FCS since init or reset.
    std::atomic<uint32_t> droppedBytes;
};

// Stores the functions and user pointer and clears the receive state.
void HDLC_init(HDLC_Context_t* ctx, HDLC_PutOctet_t putOctet, HDLC_OnFrame_t onFrame, void* user);
// Clears the receive state and the dropped count; keeps functions and user.
void HDLC_reset(HDLC_Context_t* ctx);
// Feeds one received octet; may call onFrame before it returns.
void HDLC_octetReceived(HDLC_Context_t* ctx, uint8_t octet);
// Sends one whole frame through putOctet (nothing when none is set).
void HDLC_transmit(HDLC_Context_t* ctx, const uint8_t* data, uint16_t length);
