#include "lpc/api.h"

#include <cstring>

#include "lpc/SerialPort.h"

namespace {

constexpr uint8_t kMalformedReplyId = 0xFF;

const char* const errorStrings[] = {
    "No error.",
    "General/hardware error.",
    "Malformed packet received.",
    "The requested API ID is invalid, or not supported.",
    "The requested API message type is not supported.",
    "An invalid command was requested.",
    "Command parameter is invalid or out of range.",
    "Unexpected message size.",
    "Unknown Error.",
};

void writechar(char octet, void* user)
{
    API_serial_write(static_cast<API_Context_t*>(user)->port, static_cast<uint8_t>(octet));
}

// Runs on the reader thread for each frame whose FCS checked.
void frameReceived(uint8_t* frame, uint16_t length, void* user)
{
    auto* ctx = static_cast<API_Context_t*>(user);
    if (API_message_deserialise(&ctx->rxMessage, frame, length) == 0) {
        API_Message_t reply;
        API_message_init(&reply, kMalformedReplyId, API_TYPE_RESPONSE, API_ERROR_MALFORMED_PACKET, 0);
        API_send(ctx, &reply);
        return;
    }
    if (ctx->callback) {
        ctx->callback(&ctx->rxMessage, ctx->user);
    }
}

void clearBuffers(API_Context_t* ctx)
{
    {
        std::lock_guard<std::mutex> lock(ctx->txLock);
        std::memset(ctx->txBuffer, 0, sizeof ctx->txBuffer);
    }
    ctx->rxMessage = API_Message_t{};
}

} // namespace

bool API_init(API_Context_t* ctx, void* port, const char* device, uint32_t baud, API_Callback_t callback,
              void* user)
{
    ctx->port = port;
    ctx->callback = callback;
    ctx->user = user;
    clearBuffers(ctx);
    ctx->seqCounter = 0;
    ctx->stopRequested.store(false);
    HDLC_init(&ctx->hdlc, writechar, frameReceived, ctx);
    return API_serial_open(port, device, baud, 8, 1, 0);
}

int API_uninit(API_Context_t* ctx)
{
    API_serial_close(ctx->port);
    HDLC_reset(&ctx->hdlc);
    clearBuffers(ctx);
    return 0;
}

void API_tick(API_Context_t* ctx)
{
    while (!ctx->stopRequested.load(std::memory_order_relaxed)) {
        const int octet = API_serial_read(ctx->port);
        if (octet < 0) {
            return;
        }
        HDLC_octetReceived(&ctx->hdlc, static_cast<uint8_t>(octet));
    }
}

int API_send(API_Context_t* ctx, const API_Message_t* message)
{
    if (message->Size > API_TX_BUFFER_SIZE - API_HEADER_SIZE) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(ctx->txLock);
    const int length = API_message_serialise(message, ctx->txBuffer);
    HDLC_transmit(&ctx->hdlc, ctx->txBuffer, static_cast<uint16_t>(length));
    return length;
}

const char* API_getErrorString(API_Context_t*, API_Error_t code)
{
    if (code < API_ERROR_NONE || code > API_ERROR_UNKNOWN) {
        return errorStrings[API_ERROR_UNKNOWN];
    }
    return errorStrings[code];
}

uint16_t API_getSeqNumber(uint16_t* counter)
{
    ++*counter;
    if (*counter == 0) {
        *counter = 1;
    }
    return *counter;
}
