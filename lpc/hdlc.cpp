// Receive state machine, input assumptions and error policy:
// - octets arrive in line order, one call each, on one thread;
// - a flag closes the current frame and opens the next; a frame of 2 or
//   more octets is delivered when its FCS checks, otherwise its octets are
//   added to droppedBytes;
// - an escape followed by a flag aborts the frame silently;
// - a frame longer than the buffer wraps with a complemented register, so
//   it can never check and is never delivered.
#include "lpc/hdlc.h"

#include "foundation/Crc.h"

namespace {

constexpr uint8_t kFlag = 0x7E;
constexpr uint8_t kEscape = 0x7D;
constexpr uint8_t kEscapeXor = 0x20;
constexpr uint16_t kFcsSeed = 0xFFFF;
constexpr uint16_t kFcsGood = 0xF0B8;

void clearReceive(HDLC_Context_t* ctx)
{
    ctx->escaped = false;
    ctx->rxCount = 0;
    ctx->fcs = 0;
    ctx->droppedBytes.store(0, std::memory_order_relaxed);
}

void putEscaped(HDLC_Context_t* ctx, uint8_t octet)
{
    if (octet == kFlag || octet == kEscape) {
        ctx->putOctet(static_cast<char>(kEscape), ctx->user);
        octet ^= kEscapeXor;
    }
    ctx->putOctet(static_cast<char>(octet), ctx->user);
}

void closeFrame(HDLC_Context_t* ctx)
{
    if (ctx->rxCount >= 2) {
        if (ctx->fcs == kFcsGood) {
            if (ctx->onFrame) {
                ctx->onFrame(ctx->rxBuffer, static_cast<uint16_t>(ctx->rxCount - 2), ctx->user);
            }
        } else {
            // Only this thread writes the counter; others merely read it.
            ctx->droppedBytes.store(ctx->droppedBytes.load(std::memory_order_relaxed) + ctx->rxCount,
                                    std::memory_order_relaxed);
        }
    }
    ctx->rxCount = 0;
    ctx->fcs = kFcsSeed;
}

} // namespace

void HDLC_init(HDLC_Context_t* ctx, HDLC_PutOctet_t putOctet, HDLC_OnFrame_t onFrame, void* user)
{
    ctx->putOctet = putOctet;
    ctx->onFrame = onFrame;
    ctx->user = user;
    clearReceive(ctx);
}

void HDLC_reset(HDLC_Context_t* ctx) { clearReceive(ctx); }

void HDLC_octetReceived(HDLC_Context_t* ctx, uint8_t octet)
{
    if (octet == kFlag) {
        if (ctx->escaped) {
            // Escape then flag: the sender aborted this frame.
            ctx->escaped = false;
            ctx->rxCount = 0;
            ctx->fcs = kFcsSeed;
        } else {
            closeFrame(ctx);
        }
        return;
    }
    if (ctx->escaped) {
        ctx->escaped = false;
        octet ^= kEscapeXor;
    } else if (octet == kEscape) {
        ctx->escaped = true;
        return;
    }
    ctx->rxBuffer[ctx->rxCount] = octet;
    ctx->fcs = CRC16_update(ctx->fcs, &octet, 1);
    if (++ctx->rxCount == HDLC_RX_BUFFER_SIZE) {
        ctx->rxCount = 0;
        ctx->fcs = static_cast<uint16_t>(~ctx->fcs);
    }
}

void HDLC_transmit(HDLC_Context_t* ctx, const uint8_t* data, uint16_t length)
{
    if (!ctx->putOctet) {
        return;
    }
    ctx->putOctet(static_cast<char>(kFlag), ctx->user);
    uint16_t fcs = kFcsSeed;
    for (uint16_t i = 0; i < length; ++i) {
        fcs = CRC16_update(fcs, &data[i], 1);
        putEscaped(ctx, data[i]);
    }
    fcs = static_cast<uint16_t>(~fcs);
    putEscaped(ctx, static_cast<uint8_t>(fcs & 0xFF));
    putEscaped(ctx, static_cast<uint8_t>(fcs >> 8));
    ctx->putOctet(static_cast<char>(kFlag), ctx->user);
}
