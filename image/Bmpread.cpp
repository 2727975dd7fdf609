#include "image/Bmpread.h"

#include <cstdio>
#include <new>
#include <vector>

#include "image/ImageFile.h"
#include "image/ImageLimits.h"

namespace {

// The header fields end with the compression at offset 30.
constexpr size_t kHeaderEnd = 34;
constexpr size_t kFileHeaderSize = 14;
constexpr size_t kPaletteEntrySize = 4;

struct Header
{
    uint32_t dataOffset;
    uint32_t infoSize;
    int32_t width;
    int32_t height;
    uint16_t bits;
    uint32_t compression;
};

uint32_t le32(const unsigned char* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

Header readHeader(const unsigned char* bytes)
{
    Header h;
    h.dataOffset = le32(bytes + 10);
    h.infoSize = le32(bytes + 14);
    h.width = static_cast<int32_t>(le32(bytes + 18));
    h.height = static_cast<int32_t>(le32(bytes + 22));
    h.bits = static_cast<uint16_t>(bytes[28] | bytes[29] << 8);
    h.compression = le32(bytes + 30);
    return h;
}

// Each row holds red, green, blue per palette entry.
struct Palette
{
    unsigned char rgb[256][3];
};

typedef void (*RowDecoder)(const unsigned char* in, int32_t width, const Palette& palette, unsigned char* out);

void putEntry(const Palette& palette, unsigned index, unsigned char* out)
{
    out[0] = palette.rgb[index][0];
    out[1] = palette.rgb[index][1];
    out[2] = palette.rgb[index][2];
}

void Decode1(const unsigned char* in, int32_t width, const Palette& palette, unsigned char* out)
{
    for (int32_t x = 0; x < width; ++x, out += 3) {
        putEntry(palette, (in[x / 8] >> (7 - x % 8)) & 1u, out);
    }
}

void Decode4(const unsigned char* in, int32_t width, const Palette& palette, unsigned char* out)
{
    for (int32_t x = 0; x < width; ++x, out += 3) {
        putEntry(palette, x % 2 == 0 ? in[x / 2] >> 4 : in[x / 2] & 0x0Fu, out);
    }
}

void Decode8(const unsigned char* in, int32_t width, const Palette& palette, unsigned char* out)
{
    for (int32_t x = 0; x < width; ++x, out += 3) {
        putEntry(palette, in[x], out);
    }
}

void Decode24(const unsigned char* in, int32_t width, const Palette&, unsigned char* out)
{
    for (int32_t x = 0; x < width; ++x, in += 3, out += 3) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
    }
}

RowDecoder decoderFor(int bits)
{
    switch (bits) {
    case 1:
        return Decode1;
    case 4:
        return Decode4;
    case 8:
        return Decode8;
    default:
        return Decode24;
    }
}

int refuse(const char* why)
{
    if (why != nullptr) {
        std::puts(why);
    }
    std::puts("validate eroor");
    return 0;
}

bool isPowerOfTwo(uint32_t n)
{
    return n != 0 && (n & (n - 1)) == 0;
}

// The header checks, in the order their lines have always been printed;
// returns 0 after printing on the first failure.
int checkHeader(const Header& h, int flags)
{
    if (h.width < 1 || h.height == 0) {
        return refuse("w/h eroor");
    }
    if (h.compression != 0) {
        return refuse("comp eroor");
    }
    if (h.bits != 1 && h.bits != 4 && h.bits != 8 && h.bits != 24) {
        return refuse("info.bits eroor");
    }
    if (h.height == INT32_MIN) {
        return refuse(nullptr);
    }
    const uint32_t rows = static_cast<uint32_t>(h.height < 0 ? -h.height : h.height);
    if ((flags & BMPREAD_ANY_SIZE) == 0 && (!isPowerOfTwo(uint32_t(h.width)) || !isPowerOfTwo(rows))) {
        return refuse(nullptr);
    }
    return 1;
}

// Reads the 2^bits entries stored blue, green, red, unused right after the
// information header.
bool readPalette(const unsigned char* bytes, size_t size, const Header& h, Palette& palette)
{
    const uint64_t entries = uint64_t(1) << h.bits;
    const uint64_t start = kFileHeaderSize + uint64_t(h.infoSize);
    if (start + entries * kPaletteEntrySize > size) {
        return false;
    }
    for (uint64_t i = 0; i < entries; ++i) {
        const unsigned char* entry = bytes + start + i * kPaletteEntrySize;
        palette.rgb[i][0] = entry[2];
        palette.rgb[i][1] = entry[1];
        palette.rgb[i][2] = entry[0];
    }
    return true;
}

} // namespace

int bmpread_bytes(const unsigned char* bytes, size_t size, int flags, bmpread_image* image)
{
    if (image == nullptr || (bytes == nullptr && size != 0)) {
        return 0;
    }
    *image = bmpread_image{};
    if (size < kHeaderEnd) {
        return refuse(nullptr);
    }
    if (bytes[0] != 'B') {
        return refuse("b eroor");
    }
    if (bytes[1] != 'M') {
        return refuse("m eroor");
    }
    const Header h = readHeader(bytes);
    if (checkHeader(h, flags) == 0) {
        return 0;
    }
    Palette palette{};
    if (h.bits <= 8 && !readPalette(bytes, size, h, palette)) {
        return refuse(nullptr);
    }

    // 64-bit sizes: a 34-byte header can announce far more than 32 bits hold.
    const uint64_t width = uint64_t(h.width);
    const uint64_t rows = h.height < 0 ? uint64_t(-int64_t(h.height)) : uint64_t(h.height);
    const uint64_t fileRow = (width * h.bits + 31) / 32 * 4;
    const uint64_t outRow = (flags & BMPREAD_BYTE_ALIGN) != 0 ? 3 * width : (3 * width + 3) / 4 * 4;
    if (width > IMAGE_MAX_SIDE || rows > IMAGE_MAX_SIDE || rows * outRow > IMAGE_MAX_BUFFER) {
        return refuse(nullptr);
    }
    // A file too short for its rows is refused before anything is allocated.
    if (uint64_t(h.dataOffset) + rows * fileRow > size) {
        std::puts("decode eroor");
        return 0;
    }
    unsigned char* out = new (std::nothrow) unsigned char[rows * outRow]();
    if (out == nullptr) {
        return refuse(nullptr);
    }

    // Rows stored from the bottom (positive height) fill the output from its
    // end when the caller wants the top first, and the other way round.
    const bool storedTopDown = h.height < 0;
    const bool forward = storedTopDown == ((flags & BMPREAD_TOP_DOWN) != 0);
    const RowDecoder decode = decoderFor(h.bits);
    for (uint64_t r = 0; r < rows; ++r) {
        const uint64_t target = forward ? r : rows - 1 - r;
        decode(bytes + h.dataOffset + r * fileRow, h.width, palette, out + target * outRow);
    }
    image->width = h.width;
    image->height = static_cast<int32_t>(rows);
    image->bits = h.bits;
    image->data = out;
    return 1;
}

int bmpread(const char* path, int flags, bmpread_image* image)
{
    if (path == nullptr || image == nullptr) {
        return 0;
    }
    *image = bmpread_image{};
    std::vector<uint8_t> file;
    if (imageFileRead(path, IMAGE_MAX_FILE, file) != ImageFileResult::Ok) {
        return 0;
    }
    return bmpread_bytes(file.data(), file.size(), flags, image);
}

void bmpread_free(bmpread_image* image)
{
    if (image == nullptr) {
        return;
    }
    delete[] image->data;
    *image = bmpread_image{};
}
