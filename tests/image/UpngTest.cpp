// The decoder over files the tests make: every format at odd widths with
// every filter, the header and chunk rules, the caps, the record's states
// and reading from files.
#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <zlib.h>

#include "image/ImageLimits.h"
#include "image/PngFiles.h"
#include "image/Upng.h"
#include "image/UpngCheck.h"
#include "support/TempDir.h"

namespace {

struct Decoded {
    upng_error error;
    uint32_t check;
    Bytes pixels;
};

Decoded decode(const Bytes& file)
{
    upng_decoder* upng = upng_new_from_bytes(reinterpret_cast<const uint8_t*>(file.data()), file.size());
    const upng_error error = upng_decode(upng);
    Decoded result{error, upng_get_error_line(upng), error == UPNG_OK ? decodedPixels(upng) : Bytes()};
    upng_free(upng);
    return result;
}

TEST(Upng, EveryFormatDecodesAtOddWidthsWithEveryFilter)
{
    struct Format {
        uint8_t colorType, bitDepth;
        unsigned bitsPerPixel;
        bool definedByPng; // libpng reads it, so it checks the test's own encoding
    };
    const Format formats[] = {{2, 8, 24, true},  {2, 16, 48, true}, {6, 8, 32, true}, {6, 16, 64, true},
                              {0, 1, 1, true},   {0, 2, 2, true},   {0, 4, 4, true},  {0, 8, 8, true},
                              {4, 1, 2, false},  {4, 2, 4, false},  {4, 4, 8, false}, {4, 8, 16, true}};
    unsigned seed = 1;
    for (const Format& f : formats) {
        for (uint32_t width : {1u, 3u, 5u, 7u, 13u}) {
            for (uint8_t filter = 0; filter <= 4; ++filter) {
                const MadeImage image = makeImage(width, 5, f.bitDepth, f.colorType, filter, seed++);
                const Bytes expected = packRows(image.rows, uint64_t(width) * f.bitsPerPixel);
                const std::string what = "type " + std::to_string(f.colorType) + " depth " +
                                         std::to_string(f.bitDepth) + " width " + std::to_string(width) +
                                         " filter " + std::to_string(filter);
                const Decoded decoded = decode(image.file);
                ASSERT_EQ(decoded.error, UPNG_OK) << what;
                EXPECT_EQ(decoded.pixels, expected) << what;
                if (f.definedByPng) {
                    EXPECT_EQ(decodeWithLibpng(image.file).rows, image.rows) << what;
                }
            }
        }
    }
}

TEST(Upng, OneBitGreyThreeByTwoFillsOneOctet)
{
    const Bytes raw("\x00\xA0\x00\x60", 4); // rows 101 and 011
    const Bytes file = pngFile({pngChunk("IHDR", ihdrData(3, 2, 1, 0)),
                                pngChunk("IDAT", zlibCompress(raw, 9, Z_DEFAULT_STRATEGY))});
    const Decoded decoded = decode(file);
    ASSERT_EQ(decoded.error, UPNG_OK);
    EXPECT_EQ(decoded.pixels, Bytes("\xAC", 1));
}

// A 4 x 3 RGB image of zeros and variations of its file.
const Bytes kRaw(3 * 13, '\0');
const Bytes kIhdr = pngChunk("IHDR", ihdrData(4, 3, 8, 2));
const Bytes kIdat = pngChunk("IDAT", zlibCompress(kRaw, 9, Z_DEFAULT_STRATEGY));
const Bytes kIend = pngChunk("IEND", "");

Bytes withHeader(uint8_t offset, uint8_t value)
{
    Bytes data = ihdrData(4, 3, 8, 2);
    data[offset] = char(value);
    return pngFile({pngChunk("IHDR", data), kIdat, kIend});
}

Bytes withStream(const Bytes& stream)
{
    return pngFile({kIhdr, pngChunk("IDAT", stream), kIend});
}

Bytes storedBlock(const Bytes& data)
{
    return DeflateBits().bits(1, 1).bits(0, 2).align().octets(
        Bytes{char(data.size()), char(data.size() >> 8), char(~data.size()), char(~data.size() >> 8)} + data)
        .zlib();
}

Bytes splitIdat()
{
    const Bytes stream = zlibCompress(kRaw, 9, Z_DEFAULT_STRATEGY);
    std::vector<Bytes> chunks{kIhdr};
    for (char octet : stream) {
        chunks.push_back(pngChunk("IDAT", Bytes(1, octet)));
    }
    return pngFile(chunks);
}

Bytes badCrcs()
{
    Bytes file = pngFile({kIhdr, kIdat, kIend});
    for (size_t crcEnd : {size_t(33), 33 + kIdat.size(), file.size()}) {
        file[crcEnd - 1] = char(file[crcEnd - 1] ^ 0x5A);
    }
    return file;
}

Bytes chunkHeadedBy(uint32_t length)
{
    return pngFile({kIhdr}) + Bytes{char(length >> 24), char(length >> 16), char(length >> 8), char(length)} +
           "IDATxxxx";
}

TEST(Upng, HeaderChunkAndStreamRules)
{
    const Bytes good = pngFile({kIhdr, kIdat, kIend});
    Bytes stream = zlibCompress(kRaw, 9, Z_DEFAULT_STRATEGY);
    Bytes badAdler = stream;
    badAdler.back() = char(badAdler.back() ^ 1);
    Bytes badFilter = kRaw;
    badFilter[13] = 5;
    struct Case {
        const char* name;
        Bytes file;
        upng_error error;
        uint32_t check;
    };
    const Case cases[] = {
        {"plain", good, UPNG_OK, UPNG_CHECK_NONE},
        {"28 octets", good.substr(0, 28), UPNG_NOT_PNG, UPNG_CHECK_TOO_SHORT},
        {"signature differs", "\x89Png" + good.substr(4), UPNG_NOT_PNG, UPNG_CHECK_SIGNATURE},
        {"first chunk not IHDR", pngFile({pngChunk("IHDX", ihdrData(4, 3, 8, 2)), kIdat}), UPNG_MALFORMED,
         UPNG_CHECK_FIRST_CHUNK},
        {"palette", withHeader(9, 3), UPNG_UNSUPPORTED_FORMAT, UPNG_CHECK_FORMAT},
        {"16-bit grey", pngFile({pngChunk("IHDR", ihdrData(4, 3, 16, 0)), kIdat}), UPNG_UNSUPPORTED_FORMAT,
         UPNG_CHECK_FORMAT},
        {"compression method", withHeader(10, 1), UPNG_MALFORMED, UPNG_CHECK_COMPRESSION_METHOD},
        {"filter method", withHeader(11, 1), UPNG_MALFORMED, UPNG_CHECK_FILTER_METHOD},
        {"interlaced", withHeader(12, 1), UPNG_INTERLACED, UPNG_CHECK_INTERLACE},
        {"interlaced palette", pngFile({pngChunk("IHDR", ihdrData(4, 3, 8, 3, 1)), kIdat}),
         UPNG_UNSUPPORTED_FORMAT, UPNG_CHECK_FORMAT},
        {"PLTE in RGB", pngFile({kIhdr, pngChunk("PLTE", Bytes(3, '\0')), kIdat, kIend}),
         UPNG_UNKNOWN_CRITICAL, UPNG_CHECK_CRITICAL_CHUNK},
        {"second IHDR", pngFile({kIhdr, kIhdr, kIdat, kIend}), UPNG_UNKNOWN_CRITICAL, UPNG_CHECK_CRITICAL_CHUNK},
        {"ancillary chunk", pngFile({kIhdr, pngChunk("abCD", "xyz"), kIdat, kIend}), UPNG_OK, UPNG_CHECK_NONE},
        {"wrong CRCs", badCrcs(), UPNG_OK, UPNG_CHECK_NONE},
        {"wrong Adler-32", withStream(badAdler), UPNG_OK, UPNG_CHECK_NONE},
        {"no IEND", pngFile({kIhdr, kIdat}), UPNG_OK, UPNG_CHECK_NONE},
        {"garbage after IEND", good + "\xFF\xFF\xFF\xFF junk", UPNG_OK, UPNG_CHECK_NONE},
        {"one-octet IDATs", splitIdat(), UPNG_OK, UPNG_CHECK_NONE},
        {"38 octets", pngFile({kIhdr}) + "IDAT\x01", UPNG_MALFORMED, UPNG_CHECK_CHUNK_HEADER},
        {"chunk length above 2^31", chunkHeadedBy(0x80000000u), UPNG_MALFORMED, UPNG_CHECK_CHUNK_LENGTH},
        {"chunk past the end", chunkHeadedBy(5), UPNG_MALFORMED, UPNG_CHECK_CHUNK_DATA},
        {"no IDAT", pngFile({kIhdr, kIend}), UPNG_MALFORMED, UPNG_CHECK_ZLIB_SHORT},
        {"preset dictionary", withStream(Bytes("\x78\xBB\0\0\0\0", 6) + stream.substr(2)), UPNG_MALFORMED,
         UPNG_CHECK_ZLIB_DICTIONARY},
        {"filter type 5", withStream(zlibCompress(badFilter, 9, 0)), UPNG_MALFORMED, UPNG_CHECK_FILTER_TYPE},
        {"stream one octet short", withStream(zlibCompress(kRaw.substr(1), 9, 0)), UPNG_MALFORMED,
         UPNG_CHECK_OUTPUT_SHORT},
        {"stream one octet long", withStream(zlibCompress(kRaw + '\0', 9, 0)), UPNG_MALFORMED,
         UPNG_CHECK_OUTPUT_OVERFLOW},
        {"stored block fills the buffer", withStream(storedBlock(kRaw)), UPNG_OK, UPNG_CHECK_NONE},
        {"stored block one octet more", withStream(storedBlock(kRaw + '\0')), UPNG_MALFORMED,
         UPNG_CHECK_OUTPUT_OVERFLOW},
        {"no rows", pngFile({pngChunk("IHDR", ihdrData(4, 0, 8, 2)), pngChunk("IDAT", zlibCompress("", 9, 0))}),
         UPNG_OK, UPNG_CHECK_NONE},
    };
    for (const Case& c : cases) {
        const Decoded decoded = decode(c.file);
        EXPECT_EQ(decoded.error, c.error) << c.name;
        EXPECT_EQ(decoded.check, c.check) << c.name;
        if (c.error == UPNG_OK && c.file.find("IHDR\0\0\0\x04\0\0\0\x03", 0, 12) != Bytes::npos) {
            EXPECT_EQ(decoded.pixels, Bytes(4 * 3 * 3, '\0')) << c.name;
        }
    }
}

TEST(Upng, SizesBeyondTheCapsAreRefusedBeforeAnyAllocation)
{
    struct Case {
        uint32_t width, height;
        uint8_t bitDepth, colorType;
    };
    const Case cases[] = {
        {IMAGE_MAX_SIDE + 1, 1, 8, 0},   {1, IMAGE_MAX_SIDE + 1, 8, 0}, {0xFFFFFFFF, 0xFFFFFFFF, 16, 6},
        {0x80000000, 1, 1, 0},           {4096, 4096, 8, 6},            // 64 MiB of pixels
        {4096, 4096, 8, 0},              // the filter octets take the rows past 16 MiB
        {3116, 673, 16, 6},              // 673 x (1 + 24,928) octets: one past 16 MiB
    };
    for (const Case& c : cases) {
        const Bytes file = pngFile({pngChunk("IHDR", ihdrData(c.width, c.height, c.bitDepth, c.colorType)), kIdat});
        upng_decoder* upng = upng_new_from_bytes(reinterpret_cast<const uint8_t*>(file.data()), file.size());
        EXPECT_EQ(upng_decode(upng), UPNG_NO_MEMORY) << c.width << " x " << c.height;
        EXPECT_EQ(upng_get_error_line(upng), UPNG_CHECK_SIZE_CAP) << c.width << " x " << c.height;
        EXPECT_EQ(upng->state, UPNG_STATE_HEADER);
        EXPECT_EQ(upng_get_buffer(upng), nullptr);
        upng_free(upng);
    }
    const Bytes tooMuchData = pngFile({kIhdr, pngChunk("IDAT", Bytes(IMAGE_MAX_BUFFER + 1, '\0'))});
    EXPECT_EQ(decode(tooMuchData).check, UPNG_CHECK_COMPRESSED_CAP);
    const Bytes widest = pngFile({pngChunk("IHDR", ihdrData(IMAGE_MAX_SIDE, 2, 16, 6)),
                                  pngChunk("IDAT", zlibCompress(Bytes(2 * (1 + 8 * 4096), '\0'), 9, 0))});
    EXPECT_EQ(decode(widest).pixels, Bytes(2 * 8 * 4096, '\0'));
    // 4096 rows of 1 + 4095 octets fill the cap exactly.
    const Bytes fullest = pngFile({pngChunk("IHDR", ihdrData(4095, 4096, 8, 0)),
                                   pngChunk("IDAT", zlibCompress(Bytes(IMAGE_MAX_BUFFER, '\0'), 9, 0))});
    EXPECT_EQ(decode(fullest).pixels, Bytes(4095 * 4096, '\0'));
}

TEST(Upng, HeaderFieldsAndDerivedSizes)
{
    struct Case {
        uint8_t colorType, bitDepth;
        unsigned format, components, bpp, pixelSize;
    };
    const Case cases[] = {{2, 8, 1, 3, 24, 24}, {6, 16, 4, 4, 64, 64}, {0, 2, 6, 1, 2, 4},
                          {4, 1, 9, 2, 2, 4},   {4, 4, 11, 2, 8, 8},   {3, 8, 0, 0, 0, 0}};
    for (const Case& c : cases) {
        const Bytes file = pngFile({pngChunk("IHDR", ihdrData(7, 9, c.bitDepth, c.colorType))});
        upng_decoder* upng = upng_new_from_bytes(reinterpret_cast<const uint8_t*>(file.data()), file.size());
        upng_header(upng);
        EXPECT_EQ(upng_get_width(upng), 7u);
        EXPECT_EQ(upng_get_height(upng), 9u);
        EXPECT_EQ(upng_get_bitdepth(upng), c.bitDepth);
        EXPECT_EQ(upng_get_format(upng), c.format) << int(c.colorType) << "/" << int(c.bitDepth);
        EXPECT_EQ(upng_get_components(upng), c.components);
        EXPECT_EQ(upng_get_bpp(upng), c.bpp);
        EXPECT_EQ(upng_get_pixelsize(upng), c.pixelSize);
        upng_free(upng);
    }
}

TEST(Upng, RecordStatesAndStickyErrors)
{
    const Bytes good = pngFile({kIhdr, kIdat, kIend});
    upng_decoder* upng = upng_new_from_bytes(reinterpret_cast<const uint8_t*>(good.data()), good.size());
    EXPECT_EQ(upng->state, UPNG_STATE_NEW);
    EXPECT_EQ(upng_get_format(upng), 3u);
    EXPECT_EQ(upng_get_components(upng), 4u);
    EXPECT_EQ(upng_header(upng), UPNG_OK);
    EXPECT_EQ(upng->state, UPNG_STATE_HEADER);
    EXPECT_EQ(upng_decode(upng), UPNG_OK);
    EXPECT_EQ(upng->state, UPNG_STATE_DECODED);
    EXPECT_EQ(upng->source, nullptr); // released once decoded
    const uint8_t* buffer = upng_get_buffer(upng);
    EXPECT_EQ(upng_decode(upng), UPNG_OK);
    EXPECT_EQ(upng_get_buffer(upng), buffer);
    EXPECT_EQ(upng_get_size(upng), 36u);
    upng_free(upng);

    const Bytes bad = withStream(zlibCompress(kRaw.substr(1), 9, 0));
    upng = upng_new_from_bytes(reinterpret_cast<const uint8_t*>(bad.data()), bad.size());
    EXPECT_EQ(upng_decode(upng), UPNG_MALFORMED);
    EXPECT_EQ(upng->state, UPNG_STATE_HEADER);
    EXPECT_NE(upng->source, nullptr); // kept after an inflate error
    EXPECT_EQ(upng_decode(upng), UPNG_MALFORMED);
    EXPECT_EQ(upng_header(upng), UPNG_MALFORMED);
    EXPECT_EQ(upng_get_error_line(upng), UPNG_CHECK_OUTPUT_SHORT);
    upng_free(upng);
}

TEST(Upng, FilesAreReadWholeOnlyWhenRegularAndWithinTheCap)
{
    TempDir dir;
    const MadeImage image = makeImage(5, 4, 8, 2, 4, 7);
    std::ofstream(dir.file("good.png"), std::ios::binary) << image.file;
    ASSERT_EQ(::mkfifo(dir.file("fifo.png").c_str(), 0600), 0);
    std::ofstream(dir.file("huge.png"), std::ios::binary).close();
    ASSERT_EQ(::truncate(dir.file("huge.png").c_str(), off_t(IMAGE_MAX_FILE) + 1), 0);
    std::ofstream(dir.file("empty.png"), std::ios::binary).close();
    struct Case {
        const char* name;
        upng_error error;
        uint32_t check;
    };
    const Case cases[] = {
        {"good.png", UPNG_OK, UPNG_CHECK_NONE},
        {"missing.png", UPNG_NOT_OPENED, UPNG_CHECK_FILE_OPEN},
        {".", UPNG_NOT_OPENED, UPNG_CHECK_FILE_NOT_REGULAR},
        {"fifo.png", UPNG_NOT_OPENED, UPNG_CHECK_FILE_NOT_REGULAR},
        {"huge.png", UPNG_NOT_OPENED, UPNG_CHECK_FILE_TOO_LARGE},
        {"empty.png", UPNG_NOT_PNG, UPNG_CHECK_TOO_SHORT},
    };
    for (const Case& c : cases) {
        upng_decoder* upng = upng_new_from_file(dir.file(c.name).c_str());
        ASSERT_NE(upng, nullptr);
        EXPECT_EQ(upng_decode(upng), c.error) << c.name;
        EXPECT_EQ(upng_get_error_line(upng), c.check) << c.name;
        if (c.error == UPNG_OK) {
            EXPECT_EQ(decodedPixels(upng), packRows(image.rows, 5 * 24));
        }
        upng_free(upng);
    }
}

} // namespace
