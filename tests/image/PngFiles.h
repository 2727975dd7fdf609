#pragma once
// PNG files through libpng, the reference the tests hold the system's own
// decoders against.

#include <cstdint>
#include <string>
#include <vector>

struct RgbPicture
{
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb; // top row first, 3 × width bytes per row
};

// The file decoded to 8-bit RGB (palettes expanded, grey copied to all
// three); meant for pictures without alpha. False when libpng cannot read it.
bool readPngAsRgb(const std::string& path, RgbPicture& out);

// Writes a non-interlaced PNG of the libpng colour type and bit depth; rows
// are packed as PNG stores them. False when the file cannot be written.
bool writePng(const std::string& path, int width, int height, int colourType, int bitDepth,
              const std::vector<std::vector<uint8_t>>& rows);
