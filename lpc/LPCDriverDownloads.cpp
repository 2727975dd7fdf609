// Segmented transfers: LCD bitmaps (identifier 8, sub-identifier 33) and
// firmware images (identifier 12, sub-identifier 0). A header segment 0
// announces the transfer, data segments 1, 2, ... carry up to 128 octets
// each, one exchange per segment; the first failing segment ends the
// transfer. Integers are big-endian.
//
// Bitmap header:   [1] 0, [2] bank, [3..4] width, [5..6] height,
//                  [7..8] uncompressed size, [9] segment count,
//                  [10..11] compressed size (only when compressed)
// Bitmap data:     [1] segment number, [2..] octets
// Firmware header: [1..2] 0, [3..6] image size, [7..10] CRC-32,
//                  [11..12] segment count
// Firmware data:   [1..2] segment number, [3..] octets

#include <algorithm>

#include "foundation/Clock.h"
#include "foundation/Crc.h"
#include "foundation/Log.h"
#include "foundation/Rle.h"
#include "lpc/LPCDriver.h"

namespace {

constexpr uint8_t kIdScreen = 8;
constexpr uint8_t kSubStoreBitmap = 33;
constexpr uint8_t kIdBootloader = 12;
constexpr uint8_t kSubDownloadFirmware = 0;
constexpr size_t kProgressSpacing = 4096;

size_t segmentCount(size_t octets)
{
    return (octets + LPCDriver::kSegmentSize - 1) / LPCDriver::kSegmentSize;
}

// Puts the saved receive timeout back however the download ends.
class TimeoutRestorer {
public:
    TimeoutRestorer(std::atomic<int>& timeout, int duringMs) : mTimeout(timeout), mSaved(timeout.exchange(duringMs)) {}
    ~TimeoutRestorer() { mTimeout = mSaved; }
    TimeoutRestorer(const TimeoutRestorer&) = delete;
    TimeoutRestorer& operator=(const TimeoutRestorer&) = delete;

private:
    std::atomic<int>& mTimeout;
    const int mSaved;
};

} // namespace

size_t LPCDriver::compressData(const Octets& data, Octets& compressed)
{
    if (!RLE::compress(data, compressed)) {
        Log::warning("Compression failed. Reverting to original data.");
        return 0;
    }
    if (compressed.size() >= data.size()) {
        Log::warning("Compression yielded more data (uncompr=%d, compr=%d). Reverting to original data.",
                     int(data.size()), int(compressed.size()));
        return 0;
    }
    Log::info("Compressed data %d byte --> %d bytes (%d%%).", int(data.size()), int(compressed.size()),
              int(100 - compressed.size() * 100 / data.size()));
    return compressed.size();
}

LPCDriver::ErrorCode LPCDriver::screenStoreBitmap(int bank, int width, int height, const Octets& data, bool compress)
{
    Octets compressed;
    const size_t compressedSize = compress ? compressData(data, compressed) : 0;
    const Octets& sent = compressedSize > 0 ? compressed : data;
    const size_t segments = segmentCount(sent.size());
    if (segments > kMaxBitmapSegments || data.size() > kMaxBitmapSize)
        return InvalidParameter;

    std::lock_guard<Mutex> lock(mDownloadMutex);
    const double start = Clock::millis();
    ErrorCode result = screenStoreBitmapSegment0(bank, width, height, data.size(), int(segments), compressedSize);
    auto position = sent.cbegin();
    for (int k = 1; result == NoError && position != sent.cend(); ++k) {
        const size_t count = std::min(kSegmentSize, size_t(sent.cend() - position));
        result = screenStoreBitmapSegmentN(position, count, k);
        position += count;
    }
    if (result == NoError)
        Log::info("Image download completed in %f msec", Clock::elapsedMillis(start));
    return result;
}

LPCDriver::ErrorCode LPCDriver::screenStoreBitmapSegment0(int bank, int width, int height, size_t size,
                                                          int segments, size_t compressedSize)
{
    log("Sending 'Store Bitmap' segment 0 (bank=%d, width=%d, height=%d, size=%d, segments=%d, compr=%d).", bank,
        width, height, int(size), segments, int(compressedSize));
    LpcRequest request(kIdScreen, kSubStoreBitmap);
    request.u8(0).u8(bank).be16(width).be16(height).be16(unsigned(size)).u8(segments);
    if (compressedSize > 0)
        request.be16(unsigned(compressedSize));
    return command(request);
}

LPCDriver::ErrorCode LPCDriver::screenStoreBitmapSegmentN(Octets::const_iterator& position, size_t count, int segment)
{
    log("Sending 'Store Bitmap' segment %d (size=%d).", segment, int(count));
    return command(LpcRequest(kIdScreen, kSubStoreBitmap).u8(segment).octets(&*position, count));
}

LPCDriver::ErrorCode LPCDriver::updateFirmware(const Octets& image)
{
    const size_t segments = segmentCount(image.size());
    if (segments > kMaxFirmwareSegments)
        return InvalidParameter;
    const uint32_t crc = CRC::CRC32_update(0xFFFFFFFF, image);

    std::lock_guard<Mutex> lock(mDownloadMutex);
    TimeoutRestorer timeout(mReceiveTimeout, kDownloadReceiveTimeoutMs);
    ErrorCode result = downloadFirmwareSegment0(image.size(), crc, int(segments));
    if (result != NoError)
        return result;
    notifyProgress(0);
    auto position = image.cbegin();
    for (int k = 1; position != image.cend(); ++k) {
        const size_t count = std::min(kSegmentSize, size_t(image.cend() - position));
        result = downloadFirmwareSegmentN(position, count, k);
        if (result != NoError)
            return result;
        position += count;
        const size_t sent = size_t(position - image.cbegin());
        if (sent % kProgressSpacing == 0)
            notifyProgress(int(sent * 100.0 / image.size()));
    }
    notifyProgress(100);
    return NoError;
}

LPCDriver::ErrorCode LPCDriver::downloadFirmwareSegment0(size_t size, unsigned int crc, int segments)
{
    log("Sending 'Download Firmware' segment 0 (size=%d, crc=0x%08x segments=%d).", int(size), crc, segments);
    return command(
        LpcRequest(kIdBootloader, kSubDownloadFirmware).be16(0).be32(uint32_t(size)).be32(crc).be16(segments));
}

LPCDriver::ErrorCode LPCDriver::downloadFirmwareSegmentN(Octets::const_iterator& position, size_t count, int segment)
{
    log("Sending 'Download Firmware' segment %d (size=%d).", segment, int(count));
    return command(LpcRequest(kIdBootloader, kSubDownloadFirmware).be16(segment).octets(&*position, count));
}

void LPCDriver::notifyProgress(int percent)
{
    notify(LPCEvent(LPCEvent::DownloadProgress, "downloadProgress", std::to_string(percent)));
}
