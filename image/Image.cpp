#include "image/Image.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "image/Bmpread.h"
#include "image/ImageFile.h"
#include "image/Upng.h"

namespace {

constexpr unsigned kThreshold = 128;

// Callers of the bitmap size images in signed 32 bits, up to three times
// width × height.
bool fitsInt32(uint64_t width, uint64_t height)
{
    return width <= INT32_MAX && height <= INT32_MAX && width * height <= INT32_MAX / 3;
}

// Packs the bitmap from a judge of each pixel: rows top first, each
// ceil(width / 8) bytes, the leftmost pixel in the most significant bit.
template <typename IsDark>
int packBitmap(uint64_t width, uint64_t height, IsDark isDark, Image* image)
{
    if (!fitsInt32(width, height)) {
        return -3;
    }
    const size_t rowBytes = (size_t(width) + 7) / 8;
    const size_t size = rowBytes * size_t(height);
    unsigned char* bits = new (std::nothrow) unsigned char[size]();
    if (bits == nullptr) {
        return -3;
    }
    for (uint64_t y = 0; y < height; ++y) {
        for (uint64_t x = 0; x < width; ++x) {
            if (isDark(x, y)) {
                bits[size_t(y) * rowBytes + size_t(x) / 8] |= uint8_t(0x80u >> (x % 8));
            }
        }
    }
    *image = Image{int32_t(width), int32_t(height), 1, bits, size};
    return 0;
}

// The decimal number after the last c of the path, as strtol reads it
// (blanks and a sign first, 0 without digits), held to 32 bits.
bool numberAfterLast(const std::string& path, char c, int32_t& number)
{
    const size_t at = path.rfind(c);
    if (at == std::string::npos) {
        return false;
    }
    const long value = std::strtol(path.c_str() + at + 1, nullptr, 10);
    number = int32_t(value < INT32_MIN ? INT32_MIN : value > INT32_MAX ? INT32_MAX : value);
    return true;
}

int openRaw(const char* path, Image* image)
{
    std::vector<uint8_t> bytes;
    switch (imageFileRead(path, IMAGE_MAX_RAW_FILE, bytes)) {
    case ImageFileResult::Ok:
        break;
    case ImageFileResult::OpenFailed:
        return -1;
    case ImageFileResult::NoMemory:
        return -3;
    case ImageFileResult::ShortRead:
        return -4;
    }
    int32_t width = 0;
    int32_t height = 0;
    if (!numberAfterLast(path, '_', width) || !numberAfterLast(path, 'x', height)) {
        return -2;
    }
    unsigned char* data = new (std::nothrow) unsigned char[bytes.size()];
    if (data == nullptr) {
        return -3;
    }
    std::copy(bytes.begin(), bytes.end(), data);
    *image = Image{width, height, 1, data, bytes.size()};
    return 0;
}

// The sample at a bit offset of the decoded buffer scaled to 0-255: 16-bit
// samples by their high byte, fewer than 8 bits stretched over the range.
unsigned sampleAt(const unsigned char* buffer, uint64_t bit, unsigned depth)
{
    if (depth >= 8) {
        return buffer[bit / 8];
    }
    const unsigned most = (1u << depth) - 1;
    return ((buffer[bit / 8] >> (8 - depth - bit % 8)) & most) * 255 / most;
}

// Transparent parts of an image show the light background.
unsigned overWhite(unsigned colour, unsigned alpha)
{
    return (colour * alpha + 255 * (255 - alpha) + 127) / 255;
}

unsigned greyOf(unsigned red, unsigned green, unsigned blue)
{
    return unsigned(0.2126 * red + 0.7152 * green + 0.0722 * blue + 0.5);
}

// The grey value of the pixel whose first sample starts at bit.
unsigned pngGrey(const unsigned char* buffer, uint64_t bit, unsigned components, unsigned depth)
{
    unsigned s[4];
    for (unsigned k = 0; k < components; ++k) {
        s[k] = sampleAt(buffer, bit + uint64_t(k) * depth, depth);
    }
    switch (components) {
    case 1:
        return s[0];
    case 2:
        return overWhite(s[0], s[1]);
    case 3:
        return greyOf(s[0], s[1], s[2]);
    default:
        return greyOf(overWhite(s[0], s[3]), overWhite(s[1], s[3]), overWhite(s[2], s[3]));
    }
}

int convertPng(upng_decoder* png, Image* image)
{
    upng_decode(png);
    if (upng_get_error(png) != UPNG_OK) {
        return -2;
    }
    const uint64_t width = upng_get_width(png);
    const uint64_t height = upng_get_height(png);
    const unsigned components = upng_get_components(png);
    const unsigned depth = upng_get_bitdepth(png);
    if (components < 1 || components > 4 || (depth != 1 && depth != 2 && depth != 4 && depth != 8 && depth != 16)) {
        return -2;
    }
    if (!fitsInt32(width, height)) {
        return -3;
    }
    const uint64_t pixelBits = uint64_t(components) * depth;
    // Never read past what the decoder holds, whatever it reports.
    if ((width * height * pixelBits + 7) / 8 > upng_get_size(png)) {
        return -2;
    }
    const unsigned char* buffer = upng_get_buffer(png);
    const auto isDark = [&](uint64_t x, uint64_t y) {
        return pngGrey(buffer, (y * width + x) * pixelBits, components, depth) < kThreshold;
    };
    return packBitmap(width, height, isDark, image);
}

int openPng(const char* path, Image* image)
{
    upng_decoder* png = upng_new_from_file(path);
    if (png == nullptr) {
        return -1;
    }
    const int result = convertPng(png, image);
    upng_free(png);
    return result;
}

// The reader gives rows top first, padded to four bytes; only red counts.
int openBmp(const char* path, Image* image)
{
    bmpread_image bmp{};
    if (bmpread(path, BMPREAD_TOP_DOWN | BMPREAD_ANY_SIZE, &bmp) == 0) {
        return -1;
    }
    const size_t stride = (3 * size_t(bmp.width) + 3) / 4 * 4;
    const auto isDark = [&](uint64_t x, uint64_t y) { return bmp.data[y * stride + 3 * x] < kThreshold; };
    const int result = packBitmap(uint64_t(bmp.width), uint64_t(bmp.height), isDark, image);
    bmpread_free(&bmp);
    return result;
}

} // namespace

int Image_open(const char* path, Image* image)
{
    if (path == nullptr || image == nullptr) {
        return -1;
    }
    *image = Image{};
    const char* dot = std::strrchr(path, '.');
    if (dot == nullptr) {
        return -1;
    }
    const std::string extension = dot;
    if (extension.find("bin") != std::string::npos) {
        return openRaw(path, image);
    }
    if (extension.find("png") != std::string::npos) {
        return openPng(path, image);
    }
    if (extension.find("bmp") != std::string::npos) {
        return openBmp(path, image);
    }
    return -1;
}

void Image_close(Image* image)
{
    if (image == nullptr) {
        return;
    }
    delete[] image->data;
    image->data = nullptr;
    image->width = 0;
    image->height = 0;
    image->size = 0;
}
