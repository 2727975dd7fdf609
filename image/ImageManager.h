#pragma once
// Turns image files, and images held in memory, into the bytes of the LCD's
// 1-bit bitmap that the board manager stores in the microcontroller's banks.
// PNG and BMP data are recognised by their signatures; a memory image is
// converted by way of a temporary file. Failures give an empty result and a
// log line.
//
// Threading: any thread may call any function. One lock keeps memory
// images, from writing their temporary file to the end of its conversion,
// one at a time, so that MQTT and TCP clients converting at once never read
// each other's files; it also guards the temporary directory.

#include <cstdint>
#include <string>
#include <vector>

class ImageManager
{
public:
    ImageManager() = delete;

    // The bitmap of the file: PNG and BMP images as height × ceil(width / 8)
    // octets, rows starting on an octet; a raw ".bin" file as the first
    // width × height / 8 of its octets, its size taken from its name. Empty,
    // with an error line, when the file cannot be loaded, a raw name gives a
    // negative size (-2) or more octets than the file holds (-4); empty
    // without a line for an image of no octets.
    static std::vector<uint8_t> imageFileToBin(const std::string& path);
    // True when the bytes begin with the 8-octet PNG signature.
    static bool checkPNG(const std::vector<uint8_t>& bytes);
    // True when the bytes begin with "BM" and hold a whole 14-octet BMP
    // file header.
    static bool checkBMP(const std::vector<uint8_t>& bytes);
    // "png", "bmp" or "bin" (neither signature), with a debug line naming
    // the verdict.
    static std::string detectImageType(const std::vector<uint8_t>& bytes);
    // Writes the bytes to the temporary file "tmp-img." + their type in the
    // temporary directory and converts it as imageFileToBin does; the file
    // stays until the next memory image of its type. Whatever stood at the
    // path is replaced by a new file of the caller's own (mode 0600), never
    // followed. Empty, with an error line, when the file cannot be written.
    static std::vector<uint8_t> imageBufferToBin(const std::vector<uint8_t>& bytes);

    // Makes directory the place of imageBufferToBin's temporary files
    // ("/dev/shm" unless changed, so that tests and a running daemon never
    // share a file); returns the one it replaces.
    static std::string temporaryDirectorySet(const std::string& directory);
};
