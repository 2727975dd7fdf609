// One fuzz case of the link's receive path: arbitrary line octets go through
// the framing and the API layer exactly as the reader thread feeds them, and
// a second, plain framing context checks every frame against the message
// codec. Shared by the libFuzzer target and the corpus replay test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "lpc/SerialPort.h"
#include "lpc/api.h"
#include "lpc/hdlc.h"

namespace linkfuzz {

// What the host may put on the line in answer to received frames: nothing
// but whole malformed-packet replies.
const uint8_t kMalformedReply[] = {0x7E, 0xFF, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x76, 0x10, 0x7E};

struct Tally
{
    std::vector<uint8_t> line;
    size_t frames = 0;
    size_t decodable = 0;
    size_t callbacks = 0;
    std::string failure;
};

inline void fail(Tally* t, const char* what)
{
    if (t->failure.empty()) {
        t->failure = what;
    }
}

// Checks one frame against the codec: what decodes must fit the frame and
// serialise back to the same octets.
inline void checkFrame(uint8_t* frame, uint16_t length, void* user)
{
    auto* t = static_cast<Tally*>(user);
    ++t->frames;
    if (length > HDLC_RX_BUFFER_SIZE - 2) {
        fail(t, "frame longer than the receive buffer allows");
    }
    API_Message_t m;
    std::memset(&m, 0xA5, sizeof m);
    const int n = API_message_deserialise(&m, frame, length);
    if (n == 0) {
        return;
    }
    ++t->decodable;
    if (n > length || m.Size > API_DATA_SIZE || n != API_HEADER_SIZE + m.Size) {
        fail(t, "decoded message exceeds its frame");
        return;
    }
    uint8_t again[API_HEADER_SIZE + API_DATA_SIZE];
    if (API_message_serialise(&m, again) != n || std::memcmp(again, frame, static_cast<size_t>(n)) != 0) {
        fail(t, "message does not serialise back to its frame");
    }
}

inline void captureOctet(char octet, void* user)
{
    // user is the API context; its user pointer is the tally.
    auto* ctx = static_cast<API_Context_t*>(user);
    static_cast<Tally*>(ctx->user)->line.push_back(static_cast<uint8_t>(octet));
}

inline void countMessage(API_Message_t* message, void* user)
{
    auto* t = static_cast<Tally*>(user);
    ++t->callbacks;
    if (message->Size > API_DATA_SIZE) {
        fail(t, "callback got a Size beyond Data");
    }
}

// Returns an empty string when every invariant held, else what broke.
inline std::string runOne(const uint8_t* data, size_t size)
{
    Tally tally;

    // The API layer on a port that never opens: its octets are captured
    // instead of written.
    SerialPort port;
    API_Context_t api{};
    API_init(&api, &port, "/nonexistent/lpc-fuzz", 115200, countMessage, &tally);
    api.hdlc.putOctet = captureOctet;

    HDLC_Context_t plain{};
    HDLC_init(&plain, nullptr, checkFrame, &tally);

    for (size_t i = 0; i < size; ++i) {
        HDLC_octetReceived(&api.hdlc, data[i]);
        HDLC_octetReceived(&plain, data[i]);
    }

    if (plain.droppedBytes.load() > size || api.hdlc.droppedBytes.load() != plain.droppedBytes.load()) {
        fail(&tally, "dropped count out of bounds");
    }
    if (tally.callbacks != tally.decodable) {
        fail(&tally, "callbacks differ from decodable frames");
    }
    const size_t replies = tally.frames - tally.decodable;
    if (tally.line.size() != replies * sizeof kMalformedReply) {
        fail(&tally, "replies differ from malformed frames");
    }
    for (size_t at = 0; at + sizeof kMalformedReply <= tally.line.size(); at += sizeof kMalformedReply) {
        if (std::memcmp(&tally.line[at], kMalformedReply, sizeof kMalformedReply) != 0) {
            fail(&tally, "reply octets are not the malformed-packet reply");
        }
    }
    API_uninit(&api);
    return tally.failure;
}

} // namespace linkfuzz
