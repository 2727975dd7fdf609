// Replays the link fuzzer's seeds and kept regression inputs, so the normal
// build checks them whether or not clang is there to fuzz.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/LinkFuzz.h"

namespace {

namespace fs = std::filesystem;

fs::path fuzzDir()
{
    return fs::path(__FILE__).parent_path().parent_path() / "fuzz";
}

std::vector<fs::path> inputsIn(const fs::path& dir)
{
    std::vector<fs::path> files;
    if (fs::is_directory(dir)) {
        for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
            if (entry.is_regular_file()) {
                files.push_back(entry.path());
            }
        }
    }
    return files;
}

TEST(LinkFuzzCorpus, EveryInputKeepsTheLinkInvariants)
{
    std::vector<fs::path> files = inputsIn(fuzzDir() / "corpus" / "link");
    ASSERT_GE(files.size(), 10u) << "seed corpus missing under " << fuzzDir();
    const std::vector<fs::path> regressions = inputsIn(fuzzDir() / "regressions" / "link");
    files.insert(files.end(), regressions.begin(), regressions.end());
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        EXPECT_EQ(linkfuzz::runOne(data.data(), data.size()), "") << file;
    }
}

} // namespace
