// The simulated board's firmware parameters, bitmap banks and firmware
// store. Layouts as the board reads them (Data offsets after the
// sub-identifier, big-endian unless named):
//   parameter read   0/7: name, 0
//   parameter reply       name, 0, code, value (1: LE32, 2: LE double, 3: text, 0)
//   parameter write  0/8: name, 0, code, value
//   bitmap header    8/33: 0, bank, width16, height16, size16, segments8 [, compressed16]
//   bitmap data      8/33: k8, octets
//   firmware header 12/0:  0 (16 bits), size32, crc32, segments16
//   firmware data   12/0:  k16, octets
// The zero-run decoder and the CRC-32 are the board's own, written from the
// wire format, so a fault in the host's codec shows up here.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "sim/SimDevice.h"
#include "sim/SimWire.h"

using namespace sim;

namespace {

using Args = const std::vector<uint8_t>&;
using State = SimDeviceState;

constexpr uint8_t kInstalled = 0x01;
constexpr uint8_t kIncomplete = 0x02;
constexpr uint8_t kWrongCrc = 0x20;

size_t segmentsFor(size_t octets)
{
    return (octets + SimTransfer::kSegmentSize - 1) / SimTransfer::kSegmentSize;
}

// Zero-run code into exactly 'size' octets; false on a bad control octet or
// any other length.
bool zeroRunDecode(const std::vector<uint8_t>& code, size_t size, std::vector<uint8_t>& out)
{
    out.clear();
    size_t i = 0;
    while (i < code.size()) {
        const uint8_t control = code[i++];
        if (control == 0x00 || control == 0x80)
            return false;
        size_t zeros = 0;
        size_t literals = 0;
        if (control & 0x80) {
            zeros = (control >> 4) & 0x07;
            literals = control & 0x0F;
        } else if (control & 0x40) {
            zeros = control & 0x3F;
        } else {
            literals = control & 0x3F;
        }
        if (out.size() + zeros + literals > size || i + literals > code.size())
            return false;
        out.insert(out.end(), zeros, 0);
        out.insert(out.end(), code.begin() + i, code.begin() + i + literals);
        i += literals;
    }
    return out.size() == size;
}

// Reflected CRC-32 from a zero register, result inverted: the check the
// bootloader makes over an image.
uint32_t imageCrc(const std::vector<uint8_t>& image)
{
    uint32_t r = 0;
    for (uint8_t octet : image) {
        r ^= octet;
        for (int bit = 0; bit < 8; ++bit)
            r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
    }
    return ~r;
}

uint32_t readLe32(Args a, size_t i)
{
    return uint32_t(a[i]) | uint32_t(a[i + 1]) << 8 | uint32_t(a[i + 2]) << 16 | uint32_t(a[i + 3]) << 24;
}

// The version text that firmware reports, taken from the image's header:
// legacy at 0x100 (version LE32 at +68, decimal digits hundreds.tens.units),
// Corvid-NX at 0x200 (major, minor, patch octets at +37). False without a
// header.
bool imageVersion(Args image, std::string& text)
{
    constexpr size_t kLegacy = 0x100;
    constexpr size_t kCorvid = 0x200;
    constexpr uint32_t kMagic = 0xC0DEB10C;
    char buffer[32];
    if (image.size() >= kLegacy + 72 && readLe32(image, kLegacy) == kMagic) {
        const uint32_t v = readLe32(image, kLegacy + 68);
        std::snprintf(buffer, sizeof buffer, "%u.%u.%u", v / 100, v / 10 % 10, v % 10);
    } else if (image.size() >= kCorvid + 40 && readLe32(image, kCorvid) == kMagic) {
        std::snprintf(buffer, sizeof buffer, "%d.%d.%d", int8_t(image[kCorvid + 37]), int8_t(image[kCorvid + 38]),
                      int8_t(image[kCorvid + 39]));
    } else {
        return false;
    }
    text = buffer;
    return true;
}

std::vector<uint8_t> le(uint64_t value, int octets)
{
    std::vector<uint8_t> out;
    for (int i = 0; i < octets; ++i)
        out.push_back(uint8_t(value >> (8 * i)));
    return out;
}

// The name that a parameter request starts with, up to its zero octet;
// false when there is none.
bool takeName(Args a, std::string& name, size_t& end)
{
    const auto zero = std::find(a.begin(), a.end(), 0);
    if (zero == a.end())
        return false;
    name.assign(a.begin(), zero);
    end = size_t(zero - a.begin());
    return true;
}

SimParameter* findParameter(State& s, const std::string& name)
{
    const auto it = s.parameters.find(name);
    if (it == s.parameters.end() || s.unknownParameters.count(name) > 0)
        return nullptr;
    return &it->second;
}

SimReply transferReply(SimTransfer::Outcome outcome)
{
    switch (outcome) {
    case SimTransfer::Accepted:
        return ok();
    case SimTransfer::WrongSize:
        return fail(kErrorSize);
    case SimTransfer::Rejected:
        break;
    }
    return fail(kErrorOutOfRange);
}

// Moves a completed upload into its bank; a compressed one must decode to
// exactly the announced size.
SimReply finishBitmap(State& s)
{
    SimBitmapBank bank = s.uploadHeader;
    const std::vector<uint8_t>& received = s.bitmapUpload.received;
    if (s.uploadCompressedSize > 0) {
        if (!zeroRunDecode(received, bank.pixels.size(), bank.pixels))
            return fail(kErrorMalformed);
    } else {
        bank.pixels = received;
    }
    s.bitmapBanks[s.uploadBank] = std::move(bank);
    return ok();
}

} // namespace

void SimTransfer::start(const std::vector<uint8_t>& announced, size_t totalOctets, size_t segmentCount)
{
    if (active && announced == header && next == 1) {
        ++repeats;
        return;
    }
    if (active && !complete())
        ++abandoned;
    clear();
    active = true;
    header = announced;
    total = totalOctets;
    segments = segmentCount;
}

SimTransfer::Outcome SimTransfer::segment(size_t number, const std::vector<uint8_t>& octets)
{
    if (active && number + 1 == next && number >= 1) {
        if (octets == last) {
            ++repeats;
            return Accepted;
        }
        sawInterleaved = true;
        return Rejected;
    }
    if (!active || number != next || number > segments) {
        sawOutOfOrder = true;
        return Rejected;
    }
    const size_t expected = number < segments ? kSegmentSize : total - kSegmentSize * (segments - 1);
    if (octets.size() != expected)
        return WrongSize;
    received.insert(received.end(), octets.begin(), octets.end());
    last = octets;
    ++next;
    return Accepted;
}

void SimTransfer::clear()
{
    active = false;
    header.clear();
    total = 0;
    segments = 0;
    next = 1;
    received.clear();
    last.clear();
}

std::map<std::string, SimParameter> SimDeviceState::defaultParameters()
{
    return {
        {"MAX_SHUTDOWN_DELAY", SimParameter{1, 600, 0, ""}},
        {"ACC_G_THRESHOLD", SimParameter{1, 1500, 0, ""}},
        {"ACC_G_DURATION", SimParameter{1, 100, 0, ""}},
        {"HEATER_ON_BELOW", SimParameter{2, 0, -10.5, ""}},
        {"SITE_NAME", SimParameter{3, 0, 0, "depot"}},
    };
}

void sim::installFirmware(SimDeviceState& s)
{
    SimTransfer& download = s.firmwareDownload;
    std::vector<uint8_t>& image = download.received;
    if (s.flashFaultAt >= 0 && size_t(s.flashFaultAt) < image.size())
        image[size_t(s.flashFaultAt)] ^= 0xFF;
    if (!download.active)
        s.bootStatus = 0;
    else if (!download.complete())
        s.bootStatus = kIncomplete;
    else if (imageCrc(image) != s.firmwareCrc)
        s.bootStatus = kWrongCrc;
    else {
        s.bootStatus = kInstalled;
        s.installedFirmware = image;
        std::string version;
        if (imageVersion(image, version))
            s.firmwareVersion = version;
    }
    download.clear();
}

void SimDevice::addParameters()
{
    add(0, 7, kVariableSize, [](State& s, Args a) {
        std::string name;
        size_t end;
        if (!takeName(a, name, end) || end + 1 != a.size())
            return fail(kErrorMalformed);
        const SimParameter* p = findParameter(s, name);
        if (p == nullptr)
            return fail(kErrorOutOfRange);
        std::vector<uint8_t> value = a + std::vector<uint8_t>{p->code};
        if (p->code == 1)
            return ok(value + le(p->integer, 4));
        if (p->code == 2) {
            uint64_t bits;
            std::memcpy(&bits, &p->number, sizeof bits);
            return ok(value + le(bits, 8));
        }
        return ok(value + std::vector<uint8_t>(p->text.begin(), p->text.end()) + std::vector<uint8_t>{0});
    });
    add(0, 8, kVariableSize, [](State& s, Args a) {
        std::string name;
        size_t end;
        if (!takeName(a, name, end) || end + 1 >= a.size())
            return fail(kErrorMalformed);
        SimParameter* p = findParameter(s, name);
        if (p == nullptr || p->code != a[end + 1])
            return fail(kErrorOutOfRange);
        const size_t valueAt = end + 2;
        const size_t valueSize = a.size() - valueAt;
        if (p->code == 1 && valueSize == 4)
            p->integer = readLe32(a, valueAt);
        else if (p->code == 2 && valueSize == 8) {
            const uint64_t bits = uint64_t(readLe32(a, valueAt)) | uint64_t(readLe32(a, valueAt + 4)) << 32;
            std::memcpy(&p->number, &bits, sizeof bits);
        } else if (p->code == 3 && valueSize >= 1 && a.back() == 0 &&
                   std::find(a.begin() + valueAt, a.end(), 0) == a.end() - 1)
            p->text.assign(a.begin() + valueAt, a.end() - 1);
        else
            return fail(kErrorSize);
        return ok();
    });
}

void SimDevice::addBitmapStore()
{
    add(8, 33, kVariableSize, [](State& s, Args a) {
        if (a.empty())
            return fail(kErrorSize);
        if (a[0] != 0) {
            const SimTransfer::Outcome outcome =
                s.bitmapUpload.segment(a[0], std::vector<uint8_t>(a.begin() + 1, a.end()));
            if (outcome != SimTransfer::Accepted || s.bitmapUpload.next != s.bitmapUpload.segments + 1)
                return transferReply(outcome);
            return finishBitmap(s);
        }
        if (a.size() != 9 && a.size() != 11)
            return fail(kErrorSize);
        const uint16_t size = readBe16(a, 6);
        const uint16_t compressed = a.size() == 11 ? readBe16(a, 9) : 0;
        const size_t sent = a.size() == 11 ? compressed : size;
        if (a[1] >= State::kBitmapBanks || a[8] != segmentsFor(sent))
            return fail(kErrorOutOfRange);
        s.bitmapUpload.start(a, sent, a[8]);
        s.uploadBank = a[1];
        s.uploadHeader = SimBitmapBank{readBe16(a, 2), readBe16(a, 4), std::vector<uint8_t>(size)};
        s.uploadCompressedSize = compressed;
        return s.bitmapUpload.segments == 0 ? finishBitmap(s) : ok();
    });
}

void SimDevice::addFirmwareStore()
{
    add(12, 0, kVariableSize, [](State& s, Args a) {
        if (a.size() < 2)
            return fail(kErrorSize);
        const uint16_t number = readBe16(a, 0);
        if (number != 0)
            return transferReply(s.firmwareDownload.segment(number, std::vector<uint8_t>(a.begin() + 2, a.end())));
        if (a.size() != 12)
            return fail(kErrorSize);
        const uint32_t size = readBe32(a, 2);
        const uint16_t segments = readBe16(a, 10);
        if (segments != segmentsFor(size))
            return fail(kErrorOutOfRange);
        s.firmwareDownload.start(a, size, segments);
        s.firmwareCrc = readBe32(a, 6);
        return ok();
    });
}
