// LCD bitmap storage: raw bitmaps go to the bank as they are, PNG and BMP
// images are converted to the LCD's 1-bit form first.

#include <sys/stat.h>

#include "board/Manager.h"
#include "foundation/Utils.h"
#include "image/ImageFile.h"
#include "image/ImageManager.h"

namespace tavo::Board {

namespace {

// The upload carries the bank in one octet and the sides in 16 bits each;
// larger values would be cut and land in the wrong bank or shape.
constexpr int kMaxBank = 255;
constexpr int kMaxSide = 65535;

const char* boolText(bool value)
{
    return value ? "true" : "false";
}

} // namespace

bool Manager::bitmapArgumentsValid(const char* source, int bankId, int width, int height) const
{
    if (bankId >= 0 && bankId <= kMaxBank && width >= 0 && width <= kMaxSide && height >= 0 && height <= kMaxSide) {
        return true;
    }
    log(Log::Error, "ERROR: Could not store image %s : invalid argument", source);
    return false;
}

ErrorCode Manager::bitmapStore(const char* source, int bankId, int width, int height, bool compress,
                               const std::vector<uint8_t>& data)
{
    if (data.empty()) {
        log(Log::Error, "ERROR: Could not store image %s : unsupported type", source);
        return ErrorCode::UnsupportedType;
    }
    return translate(driver.screenStoreBitmap(bankId, width, height, data, compress));
}

ErrorCode Manager::lcdStoreBitmapFile(int bankId, int width, int height, bool compress, const std::string& path)
{
    log(Log::Info, "Storing LCD image file : bankId=%d, width=%d, height=%d, compress=%s, file=%s", bankId, width,
        height, boolText(compress), path.c_str());
    if (!bitmapArgumentsValid("file", bankId, width, height)) {
        return ErrorCode::InvalidArgument;
    }
    if (!Utils::fileExists(path)) {
        log(Log::Error, "ERROR: File does not exist : %s", path.c_str());
        return ErrorCode::OpenFailed;
    }
    if (Utils::getFileExtension(path) != ".bin") {
        log(Log::Info, "Detected PNG/BMP image. Attempting to convert.");
        return bitmapStore("file", bankId, width, height, compress, ImageManager::imageFileToBin(path));
    }
    // A raw file larger than one upload carries is refused unread, as the
    // driver would refuse it.
    struct stat info;
    if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)
        && uint64_t(info.st_size) > LPCDriver::kMaxBitmapSize) {
        log(Log::Error, "ERROR: Could not store image file : too large");
        return ErrorCode::InvalidArgument;
    }
    std::vector<uint8_t> data;
    if (imageFileRead(path.c_str(), LPCDriver::kMaxBitmapSize, data) != ImageFileResult::Ok) {
        log(Log::Error, "ERROR: Could not store image file : open failed");
        return ErrorCode::OpenFailed;
    }
    return bitmapStore("file", bankId, width, height, compress, data);
}

ErrorCode Manager::lcdStoreBitmapBuffer(int bankId, int width, int height, bool compress,
                                        const std::vector<uint8_t>& buffer)
{
    log(Log::Info, "Storing LCD image buffer : bankId=%d, width=%d, height=%d, compress=%s, size=%zu", bankId, width,
        height, boolText(compress), buffer.size());
    if (!bitmapArgumentsValid("buffer", bankId, width, height)) {
        return ErrorCode::InvalidArgument;
    }
    // Octets of the raw size, or of no known image kind, are taken as a raw
    // bitmap without being looked at.
    const uint64_t rawSize = uint64_t(width) * uint64_t(height) / 8;
    if (buffer.size() == rawSize || ImageManager::detectImageType(buffer) == "bin") {
        return bitmapStore("buffer", bankId, width, height, compress, buffer);
    }
    log(Log::Info, "Detected PNG/BMP image. Attempting to convert.");
    return bitmapStore("buffer", bankId, width, height, compress, ImageManager::imageBufferToBin(buffer));
}

} // namespace tavo::Board
