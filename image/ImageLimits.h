#pragma once
// Caps on images the decoders accept. Images arrive from remote MQTT and TCP
// clients, and a few header octets can announce gigabytes, so every decoder
// checks these before it allocates anything and refuses what exceeds them.

#include <cstdint>

// Most pixels per row and most rows of an image.
constexpr uint32_t IMAGE_MAX_SIDE = 4096;
// Most octets in any one buffer a decoder allocates (decoded pixels,
// intermediate rows, gathered compressed data).
constexpr uint64_t IMAGE_MAX_BUFFER = 16u * 1024u * 1024u;
// Most octets of an image file read into memory.
constexpr uint64_t IMAGE_MAX_FILE = 16u * 1024u * 1024u;
