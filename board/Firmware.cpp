#include "board/Firmware.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "foundation/FileIo.h"
#include "foundation/String.h"

namespace tavo::Board {

namespace {

constexpr std::size_t kLegacyHeaderSize = 140;
constexpr std::size_t kCorvidHeaderSize = 186;

// Where each probe looks for a header, in the order they are tried.
struct Probe {
    const char* name;
    bool legacy;
    bool release;
    std::size_t headerOffset;
    std::size_t imageOffset;
};

constexpr Probe kProbes[] = {
    {"Legacy OTA", true, false, 0x100, 0},
    {"Legacy RELEASE", true, true, 0x3100, 0x3000},
    {"Corvid-NX OTA", false, false, 0x200, 0},
    {"Corvid-NX RELEASE", false, true, 0x10200, 0x10000},
};

// Little-endian reading over a buffer whose length was checked beforehand.
class Cursor {
public:
    Cursor(const std::vector<uint8_t>& bytes, std::size_t offset) : mAt(bytes.data() + offset) {}

    uint32_t u32()
    {
        const uint32_t value = static_cast<uint32_t>(mAt[0]) | static_cast<uint32_t>(mAt[1]) << 8 |
                               static_cast<uint32_t>(mAt[2]) << 16 | static_cast<uint32_t>(mAt[3]) << 24;
        mAt += 4;
        return value;
    }

    // Bytes 1 to 3 of a four-byte field, each a signed octet sign-extended.
    void triple(int32_t (&parts)[3])
    {
        for (int i = 0; i < 3; ++i) {
            parts[i] = static_cast<int8_t>(mAt[i + 1]);
        }
        mAt += 4;
    }

    template <std::size_t N>
    void text(std::array<char, N>& field)
    {
        std::memcpy(field.data(), mAt, N);
        mAt += N;
    }

    void skip(std::size_t count) { mAt += count; }

private:
    const uint8_t* mAt;
};

template <std::size_t N>
std::string textOf(const std::array<char, N>& field)
{
    return std::string(field.data(), strnlen(field.data(), N));
}

} // namespace

Firmware::Firmware(std::shared_ptr<BootloaderFlags::Interface> flags)
    : Logger("Board::Firmware"), mFlags(std::move(flags))
{
}

bool Firmware::readFile(const std::string& path, std::vector<uint8_t>& bytes) const
{
    long long size = -1;
    switch (FileIo::readRegular(path, MaxFileSize, bytes, &size)) {
    case FileIo::ReadResult::Ok:
        return true;
    case FileIo::ReadResult::OpenFailed:
        log(Log::Level::Debug, "Could not open file: %s", path.c_str());
        return false;
    case FileIo::ReadResult::NotRegular:
        log(Log::Level::Warning, "Ignoring %s: not a regular file", path.c_str());
        return false;
    case FileIo::ReadResult::TooLarge:
        log(Log::Level::Warning, "Ignoring %s: %lld bytes is more than a firmware image may have (%zu)", path.c_str(),
            size, MaxFileSize);
        return false;
    default:
        log(Log::Level::Warning, "Could not read file: %s (%s)", path.c_str(),
            errno != 0 ? std::strerror(errno) : "file ended early");
        return false;
    }
}

bool Firmware::open(const std::string& path)
{
    std::vector<uint8_t> file;
    if (!readFile(path, file)) {
        return false;
    }

    const Probe* found = nullptr;
    for (const Probe& probe : kProbes) {
        log(Log::Level::Debug, "Seeking valid header @ 0x%08X (%s).", static_cast<unsigned>(probe.headerOffset),
            probe.name);
        const bool ok = probe.legacy ? readHeader(file, probe.headerOffset) : readHeaderV2(file, probe.headerOffset);
        if (ok) {
            found = &probe;
            break;
        }
    }
    if (found == nullptr) {
        log(Log::Level::Debug, "Could not find valid header");
        return false;
    }

    mBuild = found->release ? 1 : 0;
    const std::size_t start = found->imageOffset;
    const std::size_t size = file.size() - start;
    log(Log::Level::Debug, "Valid header found. Reading firmware (size=%d).", static_cast<int>(size));
    mData.assign(file.begin() + static_cast<std::ptrdiff_t>(start), file.end());
    mFilename = path;
    return true;
}

bool Firmware::buildAccepted(const char* build, std::size_t size) const
{
    if (mFlags && mFlags->toBitset().test(8)) { // ignoreBuild, bit 8 in both layouts
        return true;
    }
    // The text with its terminating NUL; what follows the NUL is not looked at.
    static constexpr char kOta[] = "OTA";
    static constexpr char kRelease[] = "RELEASE";
    return (size >= sizeof kOta && std::memcmp(build, kOta, sizeof kOta) == 0) ||
           (size >= sizeof kRelease && std::memcmp(build, kRelease, sizeof kRelease) == 0);
}

bool Firmware::readHeader(const std::vector<uint8_t>& file, std::size_t offset)
{
    if (offset > file.size() || file.size() - offset < kLegacyHeaderSize) {
        log(Log::Level::Debug, "Error parsing file.");
        return false;
    }
    Cursor in(file, offset);
    TextField build{};
    mMagic = in.u32();
    in.text(mCompany);
    in.text(mFirmware);
    mVersion = in.u32();
    in.text(mBoard);
    mRevision[0] = in.u32();
    mRevision[1] = 0;
    mRevision[2] = 0;
    in.text(build);

    return headerAccepted(true, build, std::string());
}

bool Firmware::readHeaderV2(const std::vector<uint8_t>& file, std::size_t offset)
{
    if (offset > file.size() || file.size() - offset < kCorvidHeaderSize) {
        log(Log::Level::Debug, "Error parsing file.");
        return false;
    }
    Cursor in(file, offset);
    TextField build{};
    std::array<char, 42> gitHash{};
    int32_t versionParts[3];
    int32_t revisionParts[3];
    mMagic = in.u32();
    in.text(mFirmware);
    in.triple(versionParts);
    in.text(mBoard);
    in.triple(revisionParts);
    in.text(build);
    in.skip(4);
    in.text(gitHash);
    in.text(mCompany);
    mVersion = static_cast<uint32_t>(versionParts[0] * 100 + versionParts[1] * 10 + versionParts[2]);
    for (int i = 0; i < 3; ++i) {
        mRevision[i] = static_cast<uint32_t>(revisionParts[i]);
    }

    return headerAccepted(false, build, textOf(gitHash));
}

bool Firmware::headerAccepted(bool legacy, const TextField& build, const std::string& gitHash)
{
    if (mMagic != Magic) {
        log(Log::Level::Debug, "Header is invalid (magic=0x%X)", mMagic);
        return false;
    }
    mIsLegacy = legacy;
    log(Log::Level::Info, "Firmware Info (%s)", legacy ? "Legacy" : "Corvid-NX");
    log(Log::Level::Info, "  - Firmware : %s", textOf(mFirmware).c_str());
    log(Log::Level::Info, "  - Version  : %d - v%s", static_cast<int>(mVersion), versionToStr(version()).c_str());
    log(Log::Level::Info, "  - Board    : %s", textOf(mBoard).c_str());
    log(Log::Level::Info, "  - Revision : R%s", revision().c_str());
    log(Log::Level::Info, "  - Build    : %s", textOf(build).c_str());
    log(Log::Level::Info, "  - Company  : %s", textOf(mCompany).c_str());
    if (!legacy) {
        log(Log::Level::Info, "  - Git Hash : %s", gitHash.c_str());
    }
    if (!buildAccepted(build.data(), build.size())) {
        log(Log::Level::Warning, "Invalid build: %s", textOf(build).c_str());
        return false;
    }
    return true;
}

bool Firmware::isValid()
{
    return mMagic == Magic;
}

const std::string& Firmware::filename() const
{
    return mFilename;
}

const std::vector<uint8_t>& Firmware::data() const
{
    return mData;
}

std::string Firmware::boardName() const
{
    return textOf(mBoard);
}

std::string Firmware::company() const
{
    return textOf(mCompany);
}

uint8_t Firmware::version() const
{
    return static_cast<uint8_t>(mVersion & 0xFF);
}

uint32_t Firmware::build() const
{
    return mBuild;
}

std::string Firmware::revision() const
{
    if (mIsLegacy) {
        return String::format("%u", mRevision[0]);
    }
    return String::format("%u.%u/%u", mRevision[0], mRevision[1], mRevision[2]);
}

std::string Firmware::versionToStr(uint8_t version)
{
    return String::format("%u.%u.%u", version / 100u, (version / 10u) % 10u, version % 10u);
}

uint8_t Firmware::strToVersion(const std::string& text)
{
    std::string digits = text;
    const auto v = digits.find('v');
    if (v != std::string::npos) {
        digits.erase(v, 1);
    }
    digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
    return static_cast<uint8_t>(String::toInteger(digits, 10) & 0xFF);
}

void Firmware::initMemset()
{
    mCompany.fill(0);
    mFirmware.fill(0);
    mBoard.fill(0);
}

} // namespace tavo::Board
