#include "image/PngFiles.h"

#include <cstdlib>
#include <cstring>
#include <png.h>
#include <random>
#include <zlib.h>

#include "image/Upng.h"

Bytes zlibCompress(const Bytes& raw, int level, int strategy)
{
    z_stream stream{};
    deflateInit2(&stream, level, Z_DEFLATED, 15, 8, strategy);
    Bytes out(deflateBound(&stream, raw.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
    stream.avail_in = uInt(raw.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = uInt(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

namespace {

Bytes bigEndian32(uint32_t value)
{
    return Bytes{char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
}

unsigned componentsOf(uint8_t colorType)
{
    return colorType == 2 ? 3 : colorType == 4 ? 2 : colorType == 6 ? 4 : 1;
}

int paethPredictor(int a, int b, int c)
{
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// The filtered form of row given the row above (zeros above the first).
Bytes filterRow(const Bytes& row, const Bytes& above, size_t unit, uint8_t type)
{
    Bytes out(1, char(type));
    for (size_t i = 0; i < row.size(); ++i) {
        const int x = uint8_t(row[i]);
        const int a = i >= unit ? uint8_t(row[i - unit]) : 0;
        const int b = uint8_t(above[i]);
        const int c = i >= unit ? uint8_t(above[i - unit]) : 0;
        const int predictions[5] = {0, a, b, (a + b) / 2, paethPredictor(a, b, c)};
        out += char(x - predictions[type]);
    }
    return out;
}

} // namespace

Bytes pngChunk(const char* type, const Bytes& data)
{
    const Bytes typed = Bytes(type, 4) + data;
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(typed.data()), uInt(typed.size()));
    return bigEndian32(uint32_t(data.size())) + typed + bigEndian32(uint32_t(crc));
}

Bytes ihdrData(uint32_t width, uint32_t height, uint8_t bitDepth, uint8_t colorType, uint8_t interlace)
{
    return bigEndian32(width) + bigEndian32(height) +
           Bytes{char(bitDepth), char(colorType), 0, 0, char(interlace)};
}

Bytes pngFile(const std::vector<Bytes>& chunks)
{
    Bytes file("\x89PNG\r\n\x1a\n", 8);
    for (const Bytes& chunk : chunks) {
        file += chunk;
    }
    return file;
}

MadeImage makeImage(uint32_t width, uint32_t height, uint8_t bitDepth, uint8_t colorType,
                    uint8_t filterType, unsigned seed)
{
    const uint64_t rowBits = uint64_t(width) * componentsOf(colorType) * bitDepth;
    const size_t rowBytes = size_t((rowBits + 7) / 8);
    const size_t unit = size_t((componentsOf(colorType) * bitDepth + 7) / 8);
    std::mt19937 random(seed);
    MadeImage image;
    Bytes raw;
    Bytes above(rowBytes, '\0');
    for (uint32_t y = 0; y < height; ++y) {
        Bytes row(rowBytes, '\0');
        for (char& octet : row) {
            octet = char(random() % 4 == 0 ? 0x55 : random());
        }
        if (rowBits % 8 != 0) {
            row.back() = char(uint8_t(row.back()) & uint8_t(0xFF00 >> (rowBits % 8)));
        }
        raw += filterRow(row, above, unit, filterType);
        image.rows.push_back(row);
        above = row;
    }
    image.file = pngFile({pngChunk("IHDR", ihdrData(width, height, bitDepth, colorType)),
                          pngChunk("IDAT", zlibCompress(raw, 9, Z_DEFAULT_STRATEGY)),
                          pngChunk("IEND", "")});
    return image;
}

Bytes packRows(const std::vector<Bytes>& rows, uint64_t rowBits)
{
    Bytes packed(size_t((rows.size() * rowBits + 7) / 8), '\0');
    uint64_t out = 0;
    for (const Bytes& row : rows) {
        for (uint64_t bit = 0; bit < rowBits; ++bit, ++out) {
            if ((uint8_t(row[bit / 8]) >> (7 - bit % 8)) & 1) {
                packed[out / 8] = char(packed[out / 8] | (0x80 >> (out % 8)));
            }
        }
    }
    return packed;
}

Bytes decodedPixels(const upng_decoder* upng)
{
    Bytes pixels(reinterpret_cast<const char*>(upng_get_buffer(upng)), upng_get_size(upng));
    const uint64_t bits = uint64_t(upng_get_width(upng)) * upng_get_height(upng) * upng_get_bpp(upng);
    if (bits % 8 != 0 && !pixels.empty()) {
        pixels.back() = char(uint8_t(pixels.back()) & uint8_t(0xFF00 >> (bits % 8)));
    }
    return pixels;
}

namespace {

struct MemoryReader {
    const Bytes* file;
    size_t pos;
};

void readFromMemory(png_structp png, png_bytep data, png_size_t length)
{
    MemoryReader* reader = static_cast<MemoryReader*>(png_get_io_ptr(png));
    if (reader->file->size() - reader->pos < length) {
        png_error(png, "read past end");
    }
    std::memcpy(data, reader->file->data() + reader->pos, length);
    reader->pos += length;
}

} // namespace

ReferenceImage decodeWithLibpng(const Bytes& file)
{
    ReferenceImage image;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    MemoryReader reader{&file, 0};
    std::vector<std::vector<png_byte>> rows;
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_set_read_fn(png, &reader, readFromMemory);
        png_set_crc_action(png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
        png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
        png_read_info(png, info);
        image.width = png_get_image_width(png, info);
        image.height = png_get_image_height(png, info);
        image.bitsPerPixel = png_get_channels(png, info) * png_get_bit_depth(png, info);
        rows.assign(image.height, std::vector<png_byte>(png_get_rowbytes(png, info)));
        std::vector<png_bytep> pointers;
        for (std::vector<png_byte>& row : rows) {
            pointers.push_back(row.data());
        }
        png_read_image(png, pointers.data());
        image.ok = true;
    }
    png_destroy_read_struct(&png, &info, nullptr);
    for (const std::vector<png_byte>& row : rows) {
        image.rows.emplace_back(row.begin(), row.end());
    }
    return image;
}

DeflateBits& DeflateBits::bits(uint32_t value, unsigned n)
{
    for (unsigned i = 0; i < n; ++i) {
        if (mUsed == 8) {
            mData += '\0';
            mUsed = 0;
        }
        mData.back() = char(mData.back() | (((value >> i) & 1u) << mUsed));
        ++mUsed;
    }
    return *this;
}

DeflateBits& DeflateBits::code(uint32_t value, unsigned n)
{
    for (unsigned i = n; i > 0; --i) {
        bits((value >> (i - 1)) & 1u, 1);
    }
    return *this;
}

DeflateBits& DeflateBits::align()
{
    mUsed = 8;
    return *this;
}

DeflateBits& DeflateBits::octets(const Bytes& data)
{
    align();
    mData += data;
    return *this;
}

Bytes DeflateBits::zlib() const
{
    return Bytes("\x78\x01", 2) + mData;
}
