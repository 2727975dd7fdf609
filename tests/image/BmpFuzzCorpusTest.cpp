// Replays the BMP fuzzer's seeds (the BMP Suite) and kept regression inputs,
// so the normal build checks them whether or not clang is there to fuzz.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz/BmpFuzz.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputsIn(const fs::path& dir)
{
    std::vector<fs::path> files;
    if (fs::is_directory(dir)) {
        for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
            if (entry.is_regular_file() && entry.path().extension() != ".png") {
                files.push_back(entry.path());
            }
        }
    }
    return files;
}

TEST(BmpFuzzCorpus, EveryInputKeepsTheReadersPromises)
{
    const fs::path tests = fs::path(__FILE__).parent_path().parent_path();
    std::vector<fs::path> files;
    for (const fs::path& dir : {tests / "data" / "bmpsuite" / "g", tests / "data" / "bmpsuite" / "b",
                                tests / "fuzz" / "regressions" / "bmp"}) {
        const std::vector<fs::path> more = inputsIn(dir);
        files.insert(files.end(), more.begin(), more.end());
    }
    ASSERT_GE(files.size(), 40u) << "seed corpus missing under " << tests;
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        testing::internal::CaptureStdout();
        const std::string failure = bmpfuzz::runOne(data.data(), data.size());
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(failure, "") << file;
    }
}

} // namespace
