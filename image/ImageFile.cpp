#include "image/ImageFile.h"

#include "foundation/FileIo.h"

ImageFileResult imageFileRead(const char* path, uint64_t maxBytes, std::vector<uint8_t>& out)
{
    const std::size_t cap = maxBytes > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(maxBytes);
    switch (FileIo::readRegular(path, cap, out)) {
    case FileIo::ReadResult::Ok:
        return ImageFileResult::Ok;
    case FileIo::ReadResult::NoMemory:
        return ImageFileResult::NoMemory;
    case FileIo::ReadResult::ShortRead:
        return ImageFileResult::ShortRead;
    default:
        return ImageFileResult::OpenFailed;
    }
}
