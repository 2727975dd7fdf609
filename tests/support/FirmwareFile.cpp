#include "tests/support/FirmwareFile.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace {

void putU32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

void putText(std::vector<uint8_t>& out, const std::string& text, std::size_t width)
{
    for (std::size_t i = 0; i < width; ++i) {
        out.push_back(i < text.size() ? static_cast<uint8_t>(text[i]) : 0);
    }
}

void putTriple(std::vector<uint8_t>& out, const int (&parts)[3])
{
    out.push_back(0); // not used
    for (int part : parts) {
        out.push_back(static_cast<uint8_t>(static_cast<int8_t>(part)));
    }
}

// Bitwise CRC-32 (reflected 0xEDB88320) with the register starting at 0 and
// complemented at the end: what the firmware download announces.
uint32_t downloadCrc(const std::vector<uint8_t>& data)
{
    uint32_t r = 0;
    for (uint8_t byte : data) {
        r ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            r = (r & 1) != 0 ? (r >> 1) ^ 0xEDB88320u : r >> 1;
        }
    }
    return ~r;
}

} // namespace

void FirmwareFile::writeTo(const std::string& path) const
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        throw std::runtime_error("could not write firmware file " + path);
    }
}

FirmwareFileBuilder::FirmwareFileBuilder(Layout layout) : mLayout(layout) {}

FirmwareFileBuilder& FirmwareFileBuilder::release()
{
    mRelease = true;
    return *this;
}

FirmwareFileBuilder& FirmwareFileBuilder::board(const std::string& text)
{
    mBoard = text;
    return *this;
}

FirmwareFileBuilder& FirmwareFileBuilder::company(const std::string& text)
{
    mCompany = text;
    return *this;
}

FirmwareFileBuilder& FirmwareFileBuilder::firmwareName(const std::string& text)
{
    mFirmwareName = text;
    return *this;
}

FirmwareFileBuilder& FirmwareFileBuilder::buildText(const std::string& text)
{
    mBuildText = text;
    mBuildTextSet = true;
    return *this;
}

FirmwareFileBuilder& FirmwareFileBuilder::gitHash(const std::string& text)
{
    mGitHash = text;
    return *this;
}

FirmwareFileBuilder& FirmwareFileBuilder::version(uint32_t number)
{
    mVersionNumber = number;
    return *this;
}

FirmwareFileBuilder& FirmwareFileBuilder::revision(uint32_t number)
{
    mRevisionNumber = number;
    return *this;
}

FirmwareFileBuilder& FirmwareFileBuilder::version(int major, int minor, int patch)
{
    mVersion[0] = major;
    mVersion[1] = minor;
    mVersion[2] = patch;
    return *this;
}

FirmwareFileBuilder& FirmwareFileBuilder::revision(int major, int minor, int patch)
{
    mRevision[0] = major;
    mRevision[1] = minor;
    mRevision[2] = patch;
    return *this;
}

FirmwareFileBuilder& FirmwareFileBuilder::imageSize(std::size_t size)
{
    mImageSize = size;
    return *this;
}

FirmwareFileBuilder& FirmwareFileBuilder::damage(Damage kind)
{
    mDamage = kind;
    return *this;
}

std::size_t FirmwareFileBuilder::headerOffset(Layout layout)
{
    return layout == Layout::Legacy ? 0x100 : 0x200;
}

std::size_t FirmwareFileBuilder::headerSize(Layout layout)
{
    return layout == Layout::Legacy ? 140 : 186;
}

std::size_t FirmwareFileBuilder::releaseRegion(Layout layout)
{
    return layout == Layout::Legacy ? 0x3000 : 0x10000;
}

std::vector<uint8_t> FirmwareFileBuilder::header() const
{
    const std::string build = mBuildTextSet ? mBuildText : (mRelease ? "RELEASE" : "OTA");
    const uint32_t magic = mDamage == Damage::WrongMagic ? 0xC0DEB10Du : Magic;

    std::vector<uint8_t> h;
    putU32(h, magic);
    if (mLayout == Layout::Legacy) {
        putText(h, mCompany, 32);
        putText(h, mFirmwareName, 32);
        putU32(h, mVersionNumber);
        putText(h, mBoard, 32);
        putU32(h, mRevisionNumber);
        putText(h, build, 32);
    } else {
        putText(h, mFirmwareName, 32);
        putTriple(h, mVersion);
        putText(h, mBoard, 32);
        putTriple(h, mRevision);
        putText(h, build, 32);
        putU32(h, 0xFFFFFFFF); // not used
        putText(h, mGitHash, 42);
        putText(h, mCompany, 32);
    }
    return h;
}

FirmwareFile FirmwareFileBuilder::build() const
{
    const std::size_t at = headerOffset(mLayout);
    const std::vector<uint8_t> head = header();

    // A recognisable pattern, so tests can tell which bytes were loaded.
    std::vector<uint8_t> image(std::max(mImageSize, at + head.size()));
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 31 + 7);
    }
    std::copy(head.begin(), head.end(), image.begin() + static_cast<std::ptrdiff_t>(at));

    FirmwareFile file;
    file.imageCrc = downloadCrc(image);
    if (mDamage == Damage::WrongCrc) {
        image.back() ^= 0x5A;
    }
    if (mDamage == Damage::TruncatedHeader) {
        image.resize(at + head.size() / 2);
    }

    if (mRelease) {
        // The leading region reads as erased flash and is not part of the image.
        file.bytes.assign(releaseRegion(mLayout), 0xFF);
    }
    file.bytes.insert(file.bytes.end(), image.begin(), image.end());
    if (mDamage != Damage::WrongMagic && mDamage != Damage::TruncatedHeader) {
        file.image = std::move(image);
    }
    return file;
}
