#include "foundation/Rle.h"

#include <climits>
#include <cstddef>

namespace {

constexpr int maxRun = 63;        // longest run of a plain literal or zero control octet
constexpr int maxHeldZeros = 7;   // zeros that fit into a combined control octet
constexpr int maxHeldLiterals = 15;

// Bounded writer: refuses any octet beyond cap.
struct Output {
    uint8_t* dst;
    int cap;
    int written;

    bool put(uint8_t octet)
    {
        if (written >= cap) {
            return false;
        }
        dst[written++] = octet;
        return true;
    }
};

int runLength(const uint8_t* src, int from, int n, bool zeros, int limit)
{
    int run = 0;
    while (from + run < n && run < limit && (src[from + run] == 0) == zeros) {
        ++run;
    }
    return run;
}

bool vectorFits(const std::vector<uint8_t>& in)
{
    return in.size() <= static_cast<size_t>(INT_MAX / 2);
}

} // namespace

int RLC_compress(const uint8_t* src, int n, uint8_t* dst, int cap)
{
    Output out{dst, cap, 0};
    int held = 0;
    int i = 0;
    while (i < n) {
        if (src[i] == 0) {
            const int run = runLength(src, i, n, true, maxRun);
            i += run;
            // A short zero run is folded into the next literal control octet,
            // unless it ends the input.
            if (run <= maxHeldZeros && i < n) {
                held = run;
                continue;
            }
            if (!out.put(static_cast<uint8_t>(0x40 | run))) {
                return 0;
            }
            continue;
        }
        const int run = runLength(src, i, n, false, held > 0 ? maxHeldLiterals : maxRun);
        const uint8_t control = held > 0 ? static_cast<uint8_t>(0x80 | held << 4 | run) : static_cast<uint8_t>(run);
        held = 0;
        if (!out.put(control)) {
            return 0;
        }
        for (int k = 0; k < run; ++k) {
            if (!out.put(src[i++])) {
                return 0;
            }
        }
    }
    return out.written;
}

int RLC_uncompress(const uint8_t* src, int n, uint8_t* dst, int cap)
{
    Output out{dst, cap, 0};
    int pending = 0;
    int i = 0;
    while (i < n) {
        if (pending > 0) {
            if (!out.put(src[i++])) {
                return 0;
            }
            --pending;
            continue;
        }
        const uint8_t control = src[i++];
        if (control == 0x00 || control == 0x80) {
            return 0;
        }
        int zeros = 0;
        if ((control & 0x80) != 0) {
            zeros = control >> 4 & 0x07;
            pending = control & 0x0F;
        } else if ((control & 0x40) != 0) {
            zeros = control & 0x3F;
        } else {
            pending = control & 0x3F;
        }
        for (int k = 0; k < zeros; ++k) {
            if (!out.put(0)) {
                return 0;
            }
        }
    }
    return out.written;
}

bool RLE::compress(const std::vector<uint8_t>& in, std::vector<uint8_t>& out)
{
    out.clear();
    if (!vectorFits(in)) {
        return false;
    }
    out.resize(in.size() * 2);
    const int n = static_cast<int>(in.size());
    out.resize(static_cast<size_t>(RLC_compress(in.data(), n, out.data(), n * 2)));
    return !out.empty();
}

bool RLE::uncompress(const std::vector<uint8_t>& in, std::vector<uint8_t>& out)
{
    out.clear();
    if (!vectorFits(in)) {
        return false;
    }
    out.resize(in.size() * 2);
    const int n = static_cast<int>(in.size());
    out.resize(static_cast<size_t>(RLC_uncompress(in.data(), n, out.data(), n * 2)));
    return !out.empty();
}
