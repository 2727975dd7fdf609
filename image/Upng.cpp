// The PNG decoder's record, header, chunk walk and decoding steps. The
// decoder trusts nothing in the file: every offset is checked against the
// source size and every size against the caps before it is used.

#include "image/Upng.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "image/ImageLimits.h"
#include "image/UpngCheck.h"
#include "image/UpngFilter.h"
#include "image/UpngInflate.h"

namespace {

constexpr unsigned long SIGNATURE_AND_HEADER = 29; // signature, IHDR up to interlace
constexpr unsigned long FIRST_CHUNK_AFTER_HEADER = 33;
constexpr unsigned long CHUNK_OVERHEAD = 12; // length, type, CRC
constexpr uint32_t MAX_CHUNK_LENGTH = 0x7FFFFFFF;
const uint8_t SIGNATURE[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

struct FormatRow {
    unsigned format;
    unsigned colorType;
    unsigned bitDepth;
};
const FormatRow mFormats[] = {
    {1, 2, 8},  {2, 2, 16}, {3, 6, 8},  {4, 6, 16},  {5, 0, 1},  {6, 0, 2},
    {7, 0, 4},  {8, 0, 8},  {9, 4, 1},  {10, 4, 2}, {11, 4, 4}, {12, 4, 8},
};

uint32_t readBigEndian32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

bool chunkTypeIs(const uint8_t* chunk, const char* type)
{
    return std::memcmp(chunk + 4, type, 4) == 0;
}

upng_error fail(upng_decoder* upng, upng_error error, uint32_t check)
{
    upng->error = error;
    upng->error_line = check;
    return error;
}

void releaseSource(upng_decoder* upng)
{
    if (upng->source_owned) {
        std::free(const_cast<uint8_t*>(upng->source));
    }
    upng->source = nullptr;
    upng->source_size = 0;
    upng->source_owned = 0;
}

void releaseBuffer(upng_decoder* upng)
{
    std::free(upng->buffer);
    upng->buffer = nullptr;
    upng->size = 0;
}

// Walks the chunks after the header. Sets compressedSize to the sum of the
// IDAT data and, when gather is non-null, copies that data there. Returns
// the error it set in the record, or UPNG_OK.
upng_error walkChunks(upng_decoder* upng, uint8_t* gather, uint64_t& compressedSize)
{
    const uint8_t* data = upng->source;
    const unsigned long size = upng->source_size;
    compressedSize = 0;
    for (unsigned long pos = FIRST_CHUNK_AFTER_HEADER; pos < size;) {
        if (size - pos < CHUNK_OVERHEAD) {
            return fail(upng, UPNG_MALFORMED, UPNG_CHECK_CHUNK_HEADER);
        }
        const uint8_t* chunk = data + pos;
        const uint32_t length = readBigEndian32(chunk);
        if (length > MAX_CHUNK_LENGTH) {
            return fail(upng, UPNG_MALFORMED, UPNG_CHECK_CHUNK_LENGTH);
        }
        if (size - pos - CHUNK_OVERHEAD < length) {
            return fail(upng, UPNG_MALFORMED, UPNG_CHECK_CHUNK_DATA);
        }
        if (chunkTypeIs(chunk, "IDAT")) {
            if (gather) {
                std::memcpy(gather + compressedSize, chunk + 8, length);
            }
            compressedSize += length;
        } else if (chunkTypeIs(chunk, "IEND")) {
            break;
        } else if (!(chunk[4] & 0x20)) {
            return fail(upng, UPNG_UNKNOWN_CRITICAL, UPNG_CHECK_CRITICAL_CHUNK);
        }
        pos += CHUNK_OVERHEAD + length;
    }
    return UPNG_OK;
}

// Inflates the gathered stream into a new filtered-data buffer of
// filteredSize octets, which it returns (null after an error, which it sets).
uint8_t* inflateScanlines(upng_decoder* upng, uint64_t filteredSize)
{
    uint64_t compressedSize = 0;
    if (walkChunks(upng, nullptr, compressedSize) != UPNG_OK) {
        return nullptr;
    }
    if (compressedSize > IMAGE_MAX_BUFFER) {
        fail(upng, UPNG_NO_MEMORY, UPNG_CHECK_COMPRESSED_CAP);
        return nullptr;
    }
    uint8_t* compressed = static_cast<uint8_t*>(std::malloc(compressedSize ? compressedSize : 1));
    if (!compressed) {
        fail(upng, UPNG_NO_MEMORY, UPNG_CHECK_ALLOC_COMPRESSED);
        return nullptr;
    }
    walkChunks(upng, compressed, compressedSize);
    uint8_t* filtered = static_cast<uint8_t*>(std::malloc(filteredSize ? filteredSize : 1));
    UpngInflateTables* tables = new (std::nothrow) UpngInflateTables;
    if (!filtered || !tables) {
        fail(upng, UPNG_NO_MEMORY, filtered ? UPNG_CHECK_ALLOC_TABLES : UPNG_CHECK_ALLOC_FILTERED);
    } else if (const uint32_t check =
                   upng_zlib_inflate(*tables, filtered, filteredSize, compressed, compressedSize)) {
        fail(upng, UPNG_MALFORMED, check);
    }
    delete tables;
    std::free(compressed);
    if (upng->error != UPNG_OK) {
        std::free(filtered);
        return nullptr;
    }
    return filtered;
}

} // namespace

upng_decoder* upng_new_from_bytes(const uint8_t* bytes, unsigned long size)
{
    upng_decoder* upng = static_cast<upng_decoder*>(std::malloc(sizeof(upng_decoder)));
    if (!upng) {
        return nullptr;
    }
    *upng = upng_decoder{0, 0, 6, 8, 3, nullptr, 0, UPNG_OK, 0, UPNG_STATE_NEW, bytes, size, 0};
    return upng;
}

upng_error upng_header(upng_decoder* upng)
{
    if (upng->error != UPNG_OK || upng->state != UPNG_STATE_NEW) {
        return upng->error;
    }
    const uint8_t* data = upng->source;
    if (upng->source_size < SIGNATURE_AND_HEADER) {
        return fail(upng, UPNG_NOT_PNG, UPNG_CHECK_TOO_SHORT);
    }
    if (std::memcmp(data, SIGNATURE, sizeof SIGNATURE) != 0) {
        return fail(upng, UPNG_NOT_PNG, UPNG_CHECK_SIGNATURE);
    }
    if (std::memcmp(data + 12, "IHDR", 4) != 0) {
        return fail(upng, UPNG_MALFORMED, UPNG_CHECK_FIRST_CHUNK);
    }
    upng->width = readBigEndian32(data + 16);
    upng->height = readBigEndian32(data + 20);
    upng->bit_depth = data[24];
    upng->color_type = data[25];
    upng->format = 0;
    for (const FormatRow& row : mFormats) {
        if (row.colorType == upng->color_type && row.bitDepth == upng->bit_depth) {
            upng->format = row.format;
        }
    }
    if (upng->format == 0) {
        return fail(upng, UPNG_UNSUPPORTED_FORMAT, UPNG_CHECK_FORMAT);
    }
    if (data[26] != 0) {
        return fail(upng, UPNG_MALFORMED, UPNG_CHECK_COMPRESSION_METHOD);
    }
    if (data[27] != 0) {
        return fail(upng, UPNG_MALFORMED, UPNG_CHECK_FILTER_METHOD);
    }
    if (data[28] != 0) {
        return fail(upng, UPNG_INTERLACED, UPNG_CHECK_INTERLACE);
    }
    upng->state = UPNG_STATE_HEADER;
    return UPNG_OK;
}

upng_error upng_decode(upng_decoder* upng)
{
    if (upng->error != UPNG_OK) {
        return upng->error;
    }
    if (upng->state == UPNG_STATE_NEW && upng_header(upng) != UPNG_OK) {
        return upng->error;
    }
    if (upng->state == UPNG_STATE_DECODED) {
        return UPNG_OK;
    }
    releaseBuffer(upng);

    const uint64_t bitsPerPixel = upng_get_bpp(upng);
    const uint64_t rowBytes = (upng->width * bitsPerPixel + 7) / 8;
    const uint64_t filteredSize = upng->height * (1 + rowBytes);
    const uint64_t outSize = (upng->height * upng->width * bitsPerPixel + 7) / 8;
    if (upng->width > IMAGE_MAX_SIDE || upng->height > IMAGE_MAX_SIDE ||
        filteredSize > IMAGE_MAX_BUFFER || outSize > IMAGE_MAX_BUFFER) {
        return fail(upng, UPNG_NO_MEMORY, UPNG_CHECK_SIZE_CAP);
    }
    uint8_t* filtered = inflateScanlines(upng, filteredSize);
    if (!filtered) {
        return upng->error;
    }
    upng->buffer = static_cast<uint8_t*>(std::calloc(outSize ? outSize : 1, 1));
    if (!upng->buffer) {
        std::free(filtered);
        return fail(upng, UPNG_NO_MEMORY, UPNG_CHECK_ALLOC_OUTPUT);
    }
    upng->size = outSize;
    const uint32_t check =
        unfilter(upng->buffer, filtered, upng->width, upng->height, unsigned(bitsPerPixel));
    std::free(filtered);
    if (check != UPNG_CHECK_NONE) {
        releaseBuffer(upng);
        fail(upng, UPNG_MALFORMED, check);
    } else {
        upng->state = UPNG_STATE_DECODED;
    }
    releaseSource(upng);
    return upng->error;
}

void upng_free(upng_decoder* upng)
{
    if (!upng) {
        return;
    }
    releaseBuffer(upng);
    releaseSource(upng);
    std::free(upng);
}

upng_error upng_get_error(const upng_decoder* upng) { return upng->error; }
uint32_t upng_get_error_line(const upng_decoder* upng) { return upng->error_line; }
uint32_t upng_get_width(const upng_decoder* upng) { return upng->width; }
uint32_t upng_get_height(const upng_decoder* upng) { return upng->height; }
unsigned upng_get_bitdepth(const upng_decoder* upng) { return upng->bit_depth; }
unsigned upng_get_format(const upng_decoder* upng) { return upng->format; }
const uint8_t* upng_get_buffer(const upng_decoder* upng) { return upng->buffer; }
unsigned long upng_get_size(const upng_decoder* upng) { return upng->size; }

unsigned upng_get_components(const upng_decoder* upng)
{
    switch (upng->color_type) {
    case 0:
        return 1;
    case 2:
        return 3;
    case 4:
        return 2;
    case 6:
        return 4;
    default:
        return 0;
    }
}

unsigned upng_get_bpp(const upng_decoder* upng)
{
    return upng_get_components(upng) * upng->bit_depth;
}

unsigned upng_get_pixelsize(const upng_decoder* upng)
{
    const unsigned bits = upng_get_bpp(upng);
    return bits + bits % 8;
}
