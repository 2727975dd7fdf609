// libFuzzer entry for the PNG decoder (see PngFuzz.h).
#include <cstdio>
#include <cstdlib>

#include "fuzz/PngFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string failure = pngfuzz::runOne(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "PNG decoder promise broken: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
