#pragma once
// Reversal of the PNG scanline filters (filter method 0) for the decoder.

#include <cstdint>

// Reverses the filters of height rows of width pixels at bitsPerPixel.
// filtered holds each row as a filter octet followed by its packed pixels
// and may be changed; out receives the rows without filter octets and, for
// rows that do not end on a whole octet, without the padding bits between
// rows. Returns 0, or UPNG_CHECK_FILTER_TYPE for a filter type above 4.
uint32_t unfilter(uint8_t* out, uint8_t* filtered, uint32_t width, uint32_t height,
                  unsigned bitsPerPixel);
