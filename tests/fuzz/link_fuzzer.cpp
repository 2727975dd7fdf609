// libFuzzer entry for the link's receive path (see LinkFuzz.h).
#include <cstdio>
#include <cstdlib>

#include "fuzz/LinkFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string failure = linkfuzz::runOne(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "link invariant broken: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
