#pragma once
// A small PNG decoder over a whole image held in memory. It decodes
// non-interlaced grey, grey with alpha, RGB and RGB with alpha images into
// one buffer of raw pixels in the image's own format, with its own inflate.
// It refuses palette images, interlaced images and unknown critical chunks,
// and checks neither chunk CRCs nor the zlib Adler-32 value.
//
// Every size is checked against the caps of ImageLimits.h before anything is
// allocated, so a few hostile header octets cannot exhaust memory.
//
// Threading: a record belongs to one thread at a time; distinct records may
// be used on different threads at once.

#include <cstdint>

// The decoder's result codes.
enum upng_error : unsigned {
    UPNG_OK = 0,
    UPNG_NO_MEMORY = 1,         // an allocation failed or a size exceeds a cap
    UPNG_NOT_OPENED = 2,        // the file could not be opened or read whole
    UPNG_NOT_PNG = 3,           // too short, or the signature differs
    UPNG_MALFORMED = 4,         // malformed chunks or compressed data
    UPNG_UNKNOWN_CRITICAL = 5,  // a critical chunk other than IHDR, IDAT, IEND
    UPNG_INTERLACED = 6,        // an interlaced image
    UPNG_UNSUPPORTED_FORMAT = 7 // a colour type and bit depth not in the table
};

enum upng_state : unsigned {
    UPNG_STATE_DECODED = 0,
    UPNG_STATE_HEADER = 1,
    UPNG_STATE_NEW = 2
};

// The decoder record; create it with upng_new_from_file or
// upng_new_from_bytes and release it with upng_free.
struct upng_decoder {
    uint32_t width;
    uint32_t height;
    unsigned color_type;
    uint32_t bit_depth;
    unsigned format;          // 1..12, see upng_get_format; 0 when refused
    uint8_t* buffer;          // decoded pixels, owned
    unsigned long size;       // octets in buffer
    upng_error error;         // sticky once set
    uint32_t error_line;      // the check that set the error (UpngCheck.h)
    upng_state state;
    const uint8_t* source;    // the PNG octets; freed only when owned
    unsigned long source_size;
    uint8_t source_owned;
};

// Reads the whole regular file at path (at most IMAGE_MAX_FILE octets) into a
// record that owns the octets. A file that cannot be opened, is not a regular
// file, is too large or cannot be read whole leaves error 2 in the record; no
// memory for the octets leaves error 1. Returns null only when the record
// itself cannot be allocated.
upng_decoder* upng_new_from_file(const char* path);
// A record over size octets that the caller keeps alive until decoding has
// ended. Returns null when the record cannot be allocated.
upng_decoder* upng_new_from_bytes(const uint8_t* bytes, unsigned long size);
// Reads the header once; returns the (sticky) error.
upng_error upng_header(upng_decoder* upng);
// Decodes the image into the buffer once; returns the (sticky) error.
// Releases the source octets after the scanlines have been reached.
upng_error upng_decode(upng_decoder* upng);
// Frees the buffer, the source if owned, and the record; null is ignored.
void upng_free(upng_decoder* upng);

upng_error upng_get_error(const upng_decoder* upng);
uint32_t upng_get_error_line(const upng_decoder* upng);
uint32_t upng_get_width(const upng_decoder* upng);
uint32_t upng_get_height(const upng_decoder* upng);
// Components times bit depth; 0 for a colour type that has no components.
unsigned upng_get_bpp(const upng_decoder* upng);
// 1, 3, 2, 4 for the colour types 0, 2, 4, 6; 0 for any other type.
unsigned upng_get_components(const upng_decoder* upng);
unsigned upng_get_bitdepth(const upng_decoder* upng);
// Bits per pixel plus (bits per pixel mod 8).
unsigned upng_get_pixelsize(const upng_decoder* upng);
// 1 RGB8, 2 RGB16, 3 RGBA8, 4 RGBA16, 5..8 grey 1/2/4/8, 9..12 grey with
// alpha 1/2/4/8; 0 when the header named no format of these.
unsigned upng_get_format(const upng_decoder* upng);
// The decoded pixels: rows top to bottom without padding between rows,
// sub-byte pixels from the most significant bit, 16-bit samples big-endian.
const uint8_t* upng_get_buffer(const upng_decoder* upng);
unsigned long upng_get_size(const upng_decoder* upng);
