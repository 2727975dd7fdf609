#include "image/ImageManager.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

#include "foundation/Log.h"
#include "foundation/Utils.h"
#include "image/Image.h"

namespace {

// Held from writing a memory image's temporary file to the end of its
// conversion; guards temporaryDirectory.
std::mutex bufferMutex;
std::string temporaryDirectory = "/dev/shm";

// Image_open takes a path whose last extension holds "bin" as a raw bitmap.
bool isRawPath(const std::string& path)
{
    const size_t dot = path.rfind('.');
    return dot != std::string::npos && path.find("bin", dot) != std::string::npos;
}

// The octets of the loaded image to hand out, or Image_open's code for what
// a raw bitmap's name may get wrong: -2 for a negative size, -4 for more
// octets than the file holds.
int64_t bitmapLength(const std::string& path, const Image& image)
{
    if (!isRawPath(path)) {
        return int64_t(image.size);
    }
    if (image.width < 0 || image.height < 0) {
        return -2;
    }
    const uint64_t length = uint64_t(image.width) * uint64_t(image.height) * uint64_t(image.depth) / 8;
    return length > image.size ? -4 : int64_t(length);
}

// Replaces whatever stands at path (a planted link included, which is
// removed, not followed) by a new file of ours holding the bytes.
bool writeTemporary(const std::string& path, const std::vector<uint8_t>& bytes)
{
    ::unlink(path.c_str());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += size_t(n);
    }
    return ::close(fd) == 0 && done == bytes.size();
}

bool startsWith(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& prefix)
{
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

} // namespace

std::vector<uint8_t> ImageManager::imageFileToBin(const std::string& path)
{
    Image image{};
    int result = Image_open(path.c_str(), &image);
    std::vector<uint8_t> bitmap;
    if (result == 0) {
        const int64_t length = bitmapLength(path, image);
        if (length < 0) {
            result = int(length);
        } else {
            bitmap.assign(image.data, image.data + length);
        }
        Image_close(&image);
    }
    if (result < 0) {
        Log::error("[ImageManager] ERROR: Could not convert image (result=%d) : %s", result, path.c_str());
    }
    return bitmap;
}

bool ImageManager::checkPNG(const std::vector<uint8_t>& bytes)
{
    static const std::vector<uint8_t> signature{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    return startsWith(bytes, signature);
}

bool ImageManager::checkBMP(const std::vector<uint8_t>& bytes)
{
    static const std::vector<uint8_t> signature{'B', 'M'};
    constexpr size_t fileHeaderSize = 14;
    return bytes.size() >= fileHeaderSize && startsWith(bytes, signature);
}

std::string ImageManager::detectImageType(const std::vector<uint8_t>& bytes)
{
    if (checkPNG(bytes)) {
        Log::debug("[ImageManager] Detected PNG image buffer.");
        return "png";
    }
    if (checkBMP(bytes)) {
        Log::debug("[ImageManager] Detected BMP image buffer.");
        return "bmp";
    }
    Log::debug("[ImageManager] Could not detect image buffer type. Defaulting to BIN.");
    return "bin";
}

std::vector<uint8_t> ImageManager::imageBufferToBin(const std::vector<uint8_t>& bytes)
{
    const std::string type = detectImageType(bytes);
    std::lock_guard<std::mutex> lock(bufferMutex);
    const std::string path = Utils::combinePath(temporaryDirectory, "tmp-img." + type);
    if (!writeTemporary(path, bytes)) {
        Log::error("[ImageManager] ERROR: Could not write temporary file : %s", path.c_str());
        return {};
    }
    return imageFileToBin(path);
}

std::string ImageManager::temporaryDirectorySet(const std::string& directory)
{
    std::lock_guard<std::mutex> lock(bufferMutex);
    std::string previous = temporaryDirectory;
    temporaryDirectory = directory;
    return previous;
}
