#pragma once
// Builds microcontroller firmware files (legacy and CorvidNX headers, OTA and
// RELEASE kinds) for tests and the simulated board. The layouts are written
// out here from the header tables on their own, not taken from the reader in
// board/, so a disagreement between the two shows up as a failing test.
//
// Every number in a header is little-endian; text fields are NUL-padded.
//   legacy (140 bytes): magic, company[32], firmware[32], version u32,
//                       board[32], revision u32, build[32]
//   CorvidNX (186 bytes): magic, firmware[32], version (x, major, minor,
//                       patch), board[32], revision (x, major, minor, patch),
//                       build[32], 4 unused, git hash[42], company[32]
// An OTA file is the image alone with its header 0x100 (legacy) or 0x200
// (CorvidNX) bytes in; a RELEASE file puts a leading region of 0x3000 or
// 0x10000 bytes before such an image.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct FirmwareFile {
    std::vector<uint8_t> bytes; // the whole file
    // The bytes a reader loads and a download sends (the file without the
    // leading region of a RELEASE file). Empty when the header is damaged.
    std::vector<uint8_t> image;
    // CRC-32 of the image as built, in the form the firmware download announces
    // it (register from 0, complemented at the end). With Damage::WrongCrc the
    // image was changed afterwards, so this no longer matches it.
    uint32_t imageCrc = 0;

    // Writes `bytes` to the path; throws std::runtime_error on failure.
    void writeTo(const std::string& path) const;
};

class FirmwareFileBuilder {
public:
    enum class Layout { Legacy, CorvidNX };
    enum class Damage {
        None,
        WrongMagic,      // the magic number is not 0xC0DEB10C
        TruncatedHeader, // the file ends halfway through the header
        WrongCrc,        // one image byte changed after imageCrc was taken
    };

    static constexpr uint32_t Magic = 0xC0DEB10C;

    explicit FirmwareFileBuilder(Layout layout);

    // A RELEASE file (leading region before the image); the build text
    // becomes "RELEASE" unless set explicitly.
    FirmwareFileBuilder& release();
    FirmwareFileBuilder& board(const std::string& text);
    FirmwareFileBuilder& company(const std::string& text);
    FirmwareFileBuilder& firmwareName(const std::string& text);
    FirmwareFileBuilder& buildText(const std::string& text);
    // CorvidNX only: the git hash field.
    FirmwareFileBuilder& gitHash(const std::string& text);
    // Legacy: the 32-bit version and revision numbers.
    FirmwareFileBuilder& version(uint32_t number);
    FirmwareFileBuilder& revision(uint32_t number);
    // CorvidNX: major, minor and patch, each stored as a signed octet.
    FirmwareFileBuilder& version(int major, int minor, int patch);
    FirmwareFileBuilder& revision(int major, int minor, int patch);
    // Size of the image in bytes, header included (raised to fit the header).
    FirmwareFileBuilder& imageSize(std::size_t size);
    FirmwareFileBuilder& damage(Damage kind);

    FirmwareFile build() const;

    // Where the header sits in an image and how long it is, per layout.
    static std::size_t headerOffset(Layout layout);
    static std::size_t headerSize(Layout layout);
    // Length of a RELEASE file's leading region, per layout.
    static std::size_t releaseRegion(Layout layout);

private:
    std::vector<uint8_t> header() const;

    Layout mLayout;
    bool mRelease = false;
    std::string mBoard = "Velmor7";
    std::string mCompany = "Tavo Systems";
    std::string mFirmwareName = "lumacore-mcu";
    std::string mBuildText;
    bool mBuildTextSet = false;
    std::string mGitHash = "3f2a9c41d0b7e85a6c12f09e4b3d7a1c5e8f2b60";
    uint32_t mVersionNumber = 123;
    uint32_t mRevisionNumber = 3;
    int mVersion[3] = {1, 2, 3};
    int mRevision[3] = {1, 2, 3};
    std::size_t mImageSize = 0x800;
    Damage mDamage = Damage::None;
};
