// The API layer: owns the link's serial port and framing, decodes each good
// frame into a message for one callback, answers malformed frames itself,
// and serialises and frames outgoing messages.
//
// Threads: one reader thread runs API_tick, and with it the callback and the
// malformed-packet reply; any thread may call API_send. txLock guards
// txBuffer and the transmit side of the framing, so a reply and a request
// never interleave on the line; it is not held while the callback runs.
// API_init and API_uninit must not overlap any other call on the context.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "lpc/api_message.h"
#include "lpc/hdlc.h"

constexpr uint16_t API_TX_BUFFER_SIZE = 256;

typedef void (*API_Callback_t)(API_Message_t* message, void* user);

struct API_Context_t
{
    HDLC_Context_t hdlc;
    uint8_t txBuffer[API_TX_BUFFER_SIZE];
    // The last received message, overwritten by each frame.
    API_Message_t rxMessage;
    API_Callback_t callback;
    uint16_t seqCounter;
    void* user;
    // The SerialPort, not owned.
    void* port;
    std::mutex txLock;
    // Set from any thread to make API_tick return before its next read;
    // API_init clears it.
    std::atomic<bool> stopRequested;
};

// Prepares the context and opens the port at baud, 8N1; true when it opened.
// A failed open leaves the context ready for another API_init.
bool API_init(API_Context_t* ctx, void* port, const char* device, uint32_t baud, API_Callback_t callback,
              void* user);
// Closes the port and clears framing and buffers; callback, user and port
// stay. Returns 0.
int API_uninit(API_Context_t* ctx);
// Feeds received octets to the framing until a read gives nothing (timeout,
// closed or failing port) or a stop is requested; may run the callback.
void API_tick(API_Context_t* ctx);
// Sends the message as one frame; returns 7 + Size, or 0 when its wire form
// would not fit txBuffer (Size above 249).
int API_send(API_Context_t* ctx, const API_Message_t* message);
// The text of an error code; unknown codes give "Unknown Error.".
const char* API_getErrorString(API_Context_t* ctx, API_Error_t code);
// Advances the counter and returns it, skipping 0.
uint16_t API_getSeqNumber(uint16_t* counter);
