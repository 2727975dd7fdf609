#pragma once
// Reads an image file whole into memory. Image names arrive from remote
// MQTT and TCP clients, so only a regular file is read (a FIFO or a device
// would block the calling thread) and only up to a cap the caller names.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class ImageFileResult {
    Ok,
    // Missing, unreadable, not a regular file, or larger than the cap.
    OpenFailed,
    NoMemory,
    // Fewer bytes could be read than the file held when it was opened.
    ShortRead,
};

// Fills out with the file's bytes; out is empty after any failure.
// Any thread may call it.
ImageFileResult imageFileRead(const char* path, uint64_t maxBytes, std::vector<uint8_t>& out);
