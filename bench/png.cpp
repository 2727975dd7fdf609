// PNG benchmark: a 2048 x 2048 RGB image, filtered and compressed by zlib
// at its default level. Prints the time of the decoder's whole decoding,
// then the decoder's inflate and zlib's on the same stream, and their ratio
// (the aim is at most 1.5). Each figure is the best of several runs, so
// other work on the machine shows less. Build with optimisation.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>
#include <zlib.h>

#include "image/Upng.h"
#include "image/UpngInflate.h"

namespace {

constexpr uint32_t kSide = 2048;
constexpr size_t kRowBytes = kSide * 3;
constexpr int kRuns = 7;

// A photograph-like picture: smooth gradients, soft noise and a few sharp
// shapes, with the rows filtered Sub, Up and Paeth in turn.
std::vector<uint8_t> filteredScanlines()
{
    std::mt19937 random(2048);
    std::vector<uint8_t> pixels(kSide * kRowBytes);
    for (uint32_t y = 0; y < kSide; ++y) {
        for (uint32_t x = 0; x < kSide; ++x) {
            uint8_t* p = &pixels[y * kRowBytes + x * 3];
            const bool shape = ((x / 64 + y / 96) % 7) == 0;
            p[0] = uint8_t(shape ? 240 : x / 8 + random() % 4);
            p[1] = uint8_t(shape ? 16 : y / 8 + random() % 4);
            p[2] = uint8_t((x + y) / 16 + random() % 8);
        }
    }
    std::vector<uint8_t> filtered;
    filtered.reserve(kSide * (kRowBytes + 1));
    const uint8_t types[3] = {1, 2, 4};
    for (uint32_t y = 0; y < kSide; ++y) {
        const uint8_t type = types[y % 3];
        filtered.push_back(type);
        const uint8_t* row = &pixels[y * kRowBytes];
        const uint8_t* up = y ? row - kRowBytes : nullptr;
        for (size_t i = 0; i < kRowBytes; ++i) {
            const int a = i >= 3 ? row[i - 3] : 0, b = up ? up[i] : 0, c = up && i >= 3 ? up[i - 3] : 0;
            const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
            const int predicted = type == 1 ? a : type == 2 ? b : (pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
            filtered.push_back(uint8_t(row[i] - predicted));
        }
    }
    return filtered;
}

std::string chunk(const char* type, const std::vector<uint8_t>& data)
{
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8) {
        out += char(data.size() >> shift);
    }
    out.append(type, 4);
    out.append(data.begin(), data.end());
    out.append(4, '\0'); // CRCs are not checked
    return out;
}

template <typename Work>
double bestMilliseconds(Work work)
{
    double best = 1e9;
    for (int i = 0; i < kRuns; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

} // namespace

int main()
{
    const std::vector<uint8_t> raw = filteredScanlines();
    std::vector<uint8_t> stream(compressBound(raw.size()));
    uLongf streamSize = stream.size();
    compress(stream.data(), &streamSize, raw.data(), raw.size());
    stream.resize(streamSize);

    const std::vector<uint8_t> header = {0, 0, 8, 0, 0, 0, 8, 0, 8, 2, 0, 0, 0};
    const std::string png = "\x89PNG\r\n\x1a\n" + chunk("IHDR", header) + chunk("IDAT", stream) + chunk("IEND", {});

    bool ok = true;
    const double decodeMs = bestMilliseconds([&] {
        upng_decoder* upng = upng_new_from_bytes(reinterpret_cast<const uint8_t*>(png.data()), png.size());
        ok = ok && upng_decode(upng) == UPNG_OK;
        upng_free(upng);
    });

    std::vector<uint8_t> out(raw.size());
    std::unique_ptr<UpngInflateTables> tables(new UpngInflateTables);
    const double ownMs = bestMilliseconds([&] {
        ok = ok && upng_zlib_inflate(*tables, out.data(), out.size(), stream.data(), stream.size()) == 0;
    });
    ok = ok && out == raw;
    const double zlibMs = bestMilliseconds([&] {
        uLongf outSize = out.size();
        ok = ok && uncompress(out.data(), &outSize, stream.data(), stream.size()) == Z_OK;
    });

    std::printf("image: %u x %u RGB, %zu octets of scanlines, %zu compressed\n", kSide, kSide, raw.size(),
                stream.size());
    std::printf("whole decode:   %8.2f ms\n", decodeMs);
    std::printf("own inflate:    %8.2f ms\n", ownMs);
    std::printf("zlib inflate:   %8.2f ms\n", zlibMs);
    std::printf("ratio own/zlib: %8.2f\n", ownMs / zlibMs);
    if (!ok) {
        std::printf("decoding failed\n");
        return 1;
    }
    return 0;
}
