// A microcontroller firmware file: finds a legacy or Corvid-NX header at one
// of four fixed offsets, checks its magic number and build text, keeps the
// values the board manager compares with the installed firmware and loads the
// image bytes a download sends. Files are only read, never written.
//
// Only regular files of at most MaxFileSize bytes are read (a FIFO or device
// named *.bin would block or never end), and the file is read whole before it
// is parsed, so a failed or short read never yields a partial image.
//
// One object serves one firmware operation on one thread; it only reads the
// shared flags object.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "board/BootloaderFlags.h"
#include "foundation/Log.h"

namespace tavo::Board {

class Firmware : public Logger {
public:
    static constexpr uint32_t Magic = 0xC0DEB10C;
    // No LPC176x image comes near this: the largest part has 512 KiB of flash.
    static constexpr std::size_t MaxFileSize = 1024 * 1024;

    // The flags decide whether the build text is checked (bit 8,
    // ignoreBuild); without a flags object every flag counts as clear.
    explicit Firmware(std::shared_ptr<BootloaderFlags::Interface> flags);

    // Reads the file, finds and checks a header and loads the image. Returns
    // false (with a log line saying why) when the file is missing, not a
    // regular file, too large, unreadable or holds no valid header; then
    // filename() and data() stay empty.
    bool open(const std::string& path);
    // True when the magic number last read is 0xC0DEB10C.
    bool isValid();

    const std::string& filename() const;
    const std::vector<uint8_t>& data() const;
    std::string boardName() const;
    std::string company() const;
    // The low 8 bits of the version number.
    uint8_t version() const;
    // 0 when the header was found at an OTA offset, 1 at a RELEASE offset.
    uint32_t build() const;
    // Legacy: the revision number ("3"); Corvid-NX: major.minor/patch ("1.2/3").
    std::string revision() const;

    // 123 gives "1.2.3": hundreds, tens and units digits.
    static std::string versionToStr(uint8_t version);
    // Drops the first "v" and every "."; the rest as a decimal number, low 8
    // bits ("v1.2.3" gives 123; text that does not parse gives 0).
    static uint8_t strToVersion(const std::string& text);

    // Zeroes the company, firmware and board text fields.
    void initMemset();

private:
    using TextField = std::array<char, 32>;

    bool readFile(const std::string& path, std::vector<uint8_t>& bytes) const;
    // Parse the header at `offset` of the file's bytes; false when it does
    // not fit, has the wrong magic or (unless ignored) the wrong build text.
    bool readHeader(const std::vector<uint8_t>& file, std::size_t offset);
    bool readHeaderV2(const std::vector<uint8_t>& file, std::size_t offset);
    // Checks the magic number just read, logs the header and checks its
    // build text; a legacy header has no Git hash.
    bool headerAccepted(bool legacy, const TextField& build, const std::string& gitHash);
    bool buildAccepted(const char* build, std::size_t size) const;

    std::string mFilename;
    std::vector<uint8_t> mData;
    uint32_t mMagic = 0;
    uint32_t mVersion = 0;
    uint32_t mRevision[3] = {0, 0, 0};
    bool mIsLegacy = false;
    uint32_t mBuild = 0;
    std::shared_ptr<BootloaderFlags::Interface> mFlags;
    TextField mCompany{};
    TextField mFirmware{};
    TextField mBoard{};
};

} // namespace tavo::Board
