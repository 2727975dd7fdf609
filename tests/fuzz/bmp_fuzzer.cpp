// libFuzzer entry for the BMP reader (see BmpFuzz.h).
#include <cstdio>
#include <cstdlib>

#include "fuzz/BmpFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string failure = bmpfuzz::runOne(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "BMP reader invariant broken: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
