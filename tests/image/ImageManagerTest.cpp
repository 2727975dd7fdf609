#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sys/stat.h>
#include <syslog.h>
#include <thread>

#include "BmpFile.h"
#include "NeutralDir.h"
#include "PngFiles.h"
#include "foundation/Log.h"
#include "image/ImageManager.h"
#include "support/LogCapture.h"

namespace {

using Octets = std::vector<uint8_t>;

Octets octetsOf(const std::string& bytes)
{
    return Octets(bytes.begin(), bytes.end());
}

// A 1-bit grey PNG of random pixels and the bitmap it must give: grey 0 is
// dark (1), grey 1 light (0), so each row inverted with its padding kept 0.
std::pair<Octets, Octets> greyPng(uint32_t width, uint32_t height, unsigned seed)
{
    const MadeImage made = makeImage(width, height, 1, 0, 0, seed);
    Octets bitmap;
    for (const Bytes& row : made.rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            bitmap.push_back(uint8_t(~row[i] & (i + 1 < row.size() ? 0xFF : 0xFF << (7 - (width - 1) % 8))));
        }
    }
    return {octetsOf(made.file), bitmap};
}

class ImageManagerTest : public ::testing::Test {
protected:
    ImageManagerTest() : previousDirectory(ImageManager::temporaryDirectorySet(dir.path())) {}
    ~ImageManagerTest() override { ImageManager::temporaryDirectorySet(previousDirectory); }

    LogCapture capture;
    // The failing "bin" conversion below needs a temporary path without a size in it.
    NeutralDir dir;
    std::string previousDirectory;
};

TEST_F(ImageManagerTest, DetectionBySignatureWithItsDebugLine)
{
    Log::setLevel(Log::Debug);
    const std::string png = "\x89PNG\r\n\x1A\n";
    const std::pair<std::string, const char*> cases[] = {
        {"", "bin"},  {png.substr(0, 7), "bin"}, {"BM" + std::string(11, 0), "bin"},
        {"BM" + std::string(12, 0), "bmp"}, {png + "BM" + std::string(12, 0), "png"},
    };
    const std::map<std::string, std::string> lines{
        {"png", "[ImageManager] Detected PNG image buffer."},
        {"bmp", "[ImageManager] Detected BMP image buffer."},
        {"bin", "[ImageManager] Could not detect image buffer type. Defaulting to BIN."},
    };
    for (const auto& [bytes, type] : cases) {
        capture.clear();
        EXPECT_EQ(ImageManager::detectImageType(octetsOf(bytes)), type) << bytes.size();
        EXPECT_TRUE(capture.contains(LOG_DEBUG, lines.at(type))) << bytes.size();
    }
    Log::setLevel(Log::Info);
}

TEST_F(ImageManagerTest, FilesGiveTheirWholeBitmapOrAnEmptyResultWithTheLoadersCode)
{
    const auto [wide, wideBitmap] = greyPng(128, 64, 1);
    const auto [narrow, narrowBitmap] = greyPng(10, 3, 2);
    // 8 × 2, bottom row first: its last pixel and the top row's first are dark.
    BmpSpec bmp{8, 2, 24, {}, Octets(48, 0xFF)};
    bmp.rows[23] = bmp.rows[26] = 0;
    const struct {
        const char* name;
        Octets content;
        Octets bitmap;
        int result; // of the error line; 0 for none
    } cases[] = {
        {"picture_128x64.png", wide, wideBitmap, 0}, {"narrow.png", narrow, narrowBitmap, 0},
        {"eight.bmp", bmpFile(bmp), {0x80, 0x01}, 0}, {"pic_16x2.bin", {1, 2, 3, 4, 5}, {1, 2, 3, 4}, 0},
        {"exact_16x2.bin", {1, 2, 3, 4}, {1, 2, 3, 4}, 0},
        {"pic_-8x2.bin", {1, 2}, {}, -2},             {"pic_16x8.bin", {1, 2, 3}, {}, -4},
    };
    for (const auto& c : cases) {
        capture.clear();
        std::ofstream(dir.file(c.name)) << std::string(c.content.begin(), c.content.end());
        testing::internal::CaptureStdout();
        EXPECT_EQ(ImageManager::imageFileToBin(dir.file(c.name)), c.bitmap) << c.name;
        testing::internal::GetCapturedStdout();
        const std::string line = "[ImageManager] ERROR: Could not convert image (result=" + std::to_string(c.result)
                                 + ") : " + dir.file(c.name);
        EXPECT_EQ(capture.contains(LOG_ERR, line), c.result != 0) << c.name;
    }
}

TEST_F(ImageManagerTest, AMemoryImageReplacesWhateverStandsAtItsTemporaryPath)
{
    std::ofstream(dir.file("victim")) << "keep";
    std::filesystem::create_symlink(dir.file("victim"), dir.file("tmp-img.png"));
    const auto [png, bitmap] = greyPng(16, 4, 3);
    EXPECT_EQ(ImageManager::imageBufferToBin(png), bitmap);
    EXPECT_EQ(readFile(dir.file("victim")), "keep");
    EXPECT_EQ(octetsOf(readFile(dir.file("tmp-img.png"))), png);
    struct stat info;
    ASSERT_EQ(::lstat(dir.file("tmp-img.png").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & (S_IFMT | 0777), S_IFREG | 0600u);

    EXPECT_TRUE(ImageManager::imageBufferToBin({1, 2, 3}).empty());
    EXPECT_TRUE(capture.contains(LOG_ERR, "[ImageManager] ERROR: Could not convert image (result=-2) : "
                                              + dir.file("tmp-img.bin")));
}

TEST_F(ImageManagerTest, ConcurrentMemoryImagesEachGetTheirOwnBitmap)
{
    const auto images = {greyPng(64, 32, 6), greyPng(64, 32, 7)};
    std::vector<std::thread> threads;
    for (const auto& image : images) {
        threads.emplace_back([&image] {
            for (int i = 0; i < 40; ++i) {
                EXPECT_EQ(ImageManager::imageBufferToBin(image.first), image.second);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

} // namespace
