#pragma once
// Building PNG files and DEFLATE streams for the decoder's tests, and
// libpng's decoding of a file as the reference the decoder must match.

#include <cstdint>
#include <string>
#include <vector>

// Octets as text, for building files piece by piece.
using Bytes = std::string;

// zlib's compression of raw at the given level and strategy.
Bytes zlibCompress(const Bytes& raw, int level, int strategy);
// One chunk: length, type, data and a correct CRC.
Bytes pngChunk(const char* type, const Bytes& data);
// The thirteen octets of an IHDR chunk's data.
Bytes ihdrData(uint32_t width, uint32_t height, uint8_t bitDepth, uint8_t colorType,
               uint8_t interlace = 0);
// The signature followed by the chunks.
Bytes pngFile(const std::vector<Bytes>& chunks);

// An image made by a test: its rows of packed pixels (ceil(width * bpp / 8)
// octets each, padding bits zero) and the file that holds them, every row
// filtered with filterType.
struct MadeImage {
    std::vector<Bytes> rows;
    Bytes file;
};
MadeImage makeImage(uint32_t width, uint32_t height, uint8_t bitDepth, uint8_t colorType,
                    uint8_t filterType, unsigned seed);
// The rows packed one after the other, bit for bit, as the decoder's buffer
// holds them; the bits after the last pixel are zero.
Bytes packRows(const std::vector<Bytes>& rows, uint64_t rowBits);

// The decoder's buffer with the bits after the last pixel cleared, as
// packRows leaves them.
struct upng_decoder;
Bytes decodedPixels(const upng_decoder* upng);

// The decoder's buffer with the bits after the last pixel cleared, as
// packRows leaves them.
struct upng_decoder;
Bytes decodedPixels(const upng_decoder* upng);

// libpng's decoding without transforms, ignoring CRCs and Adler-32 as the
// decoder does. ok is false when libpng refuses the file.
struct ReferenceImage {
    bool ok = false;
    uint32_t width = 0;
    uint32_t height = 0;
    unsigned bitsPerPixel = 0;
    std::vector<Bytes> rows;
};
ReferenceImage decodeWithLibpng(const Bytes& file);

// Writes a DEFLATE stream bit by bit, least significant bit first.
class DeflateBits {
public:
    // n bits of value, least significant first (header fields, extra bits).
    DeflateBits& bits(uint32_t value, unsigned n);
    // A Huffman code of n bits, most significant first.
    DeflateBits& code(uint32_t value, unsigned n);
    // Pads to a whole octet with zero bits.
    DeflateBits& align();
    DeflateBits& octets(const Bytes& data);
    // The stream behind a zlib header (no dictionary, no Adler-32 trailer).
    Bytes zlib() const;

private:
    Bytes mData;
    unsigned mUsed = 8;
};
