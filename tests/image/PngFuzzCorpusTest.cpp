// Replays the PNG fuzzer's seeds (PngSuite) and kept regression inputs, so
// the normal build checks them whether or not clang is there to fuzz.
#include <gtest/gtest.h>

#include <filesystem>

#include "fuzz/PngFuzz.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

TEST(PngFuzzCorpus, EveryInputKeepsTheDecodersPromises)
{
    const fs::path tests = fs::path(__FILE__).parent_path().parent_path();
    size_t replayed = 0;
    for (const fs::path& dir : {tests / "data" / "pngsuite", tests / "fuzz" / "regressions" / "png"}) {
        if (!fs::is_directory(dir)) {
            continue;
        }
        for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
            if (entry.is_regular_file() && entry.path().extension() != ".md" && entry.path().filename() != "LICENSE") {
                const std::string data = readFile(entry.path().string());
                EXPECT_EQ(pngfuzz::runOne(reinterpret_cast<const uint8_t*>(data.data()), data.size()), "")
                    << entry.path();
                ++replayed;
            }
        }
    }
    EXPECT_GE(replayed, 170u) << "seed corpus missing under " << tests;
}

} // namespace
