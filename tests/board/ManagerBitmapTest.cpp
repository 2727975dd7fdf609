// LCD bitmap storage through the manager, checked in the simulated board's
// banks: raw bitmaps as they are, PNG and BMP images converted, refusals
// with one error line and nothing uploaded.

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#include "ManagerFixture.h"
#include "image/ImageManager.h"

using tavo::Board::ErrorCode;
using Octets = std::vector<uint8_t>;

namespace {

const std::string kData = std::filesystem::path(__FILE__).parent_path().parent_path() / "data";
const std::string kPng = kData + "/pngsuite/basn0g01.png"; // 32 × 32
const std::string kBmp = kData + "/bmpsuite/g/pal1.bmp";   // 127 × 64

Octets fileOctets(const std::string& path)
{
    const std::string text = readFile(path);
    return Octets(text.begin(), text.end());
}

Octets converted(const std::string& path)
{
    testing::internal::CaptureStdout();
    Octets bitmap = ImageManager::imageFileToBin(path);
    testing::internal::GetCapturedStdout();
    return bitmap;
}

// One store into bank 1 and what it must end in: Ok with the bank holding
// `stored`, or a refusal with this one error line of the manager's and the
// bank as it was.
struct StoreCase {
    const char* name;
    std::function<ErrorCode(tavo::Board::Manager&)> store;
    ErrorCode result;
    Octets stored;
    std::string errorLine;
};

class ManagerBitmapTest : public ManagerTest {
protected:
    ManagerBitmapTest() : previousDirectory(ImageManager::temporaryDirectorySet(files.path())) {}
    ~ManagerBitmapTest() override { ImageManager::temporaryDirectorySet(previousDirectory); }

    void run(const std::vector<StoreCase>& cases)
    {
        open();
        const Octets before{0xEE};
        for (const StoreCase& c : cases) {
            boardState([&before](SimDeviceState& s) { return s.bitmapBanks[1].pixels = before; });
            capture.clear();
            testing::internal::CaptureStdout();
            EXPECT_EQ(c.store(*manager), c.result) << c.name;
            testing::internal::GetCapturedStdout();
            const Octets bank = boardState([](SimDeviceState& s) { return s.bitmapBanks[1].pixels; });
            EXPECT_EQ(bank, c.result == ErrorCode::Ok ? c.stored : before) << c.name;
            EXPECT_EQ(countLines("[Manager] " + c.errorLine), c.errorLine.empty() ? 0u : 1u) << c.name;
        }
    }

    TempDir files;
    std::string previousDirectory;
};

std::function<ErrorCode(tavo::Board::Manager&)> buffer(Octets octets, int width = 128, int bank = 1, int height = 64)
{
    return [=](tavo::Board::Manager& m) { return m.lcdStoreBitmapBuffer(bank, width, height, true, octets); };
}

std::function<ErrorCode(tavo::Board::Manager&)> file(std::string path)
{
    return [=](tavo::Board::Manager& m) { return m.lcdStoreBitmapFile(1, 128, 64, false, path); };
}

TEST_F(ManagerBitmapTest, BuffersAreStoredRawOrConverted)
{
    Octets pngSized(1024, 0);
    const std::string signature = "\x89PNG\r\n\x1A\n";
    std::copy(signature.begin(), signature.end(), pngSized.begin());
    const Octets brokenPng(pngSized.begin(), pngSized.begin() + 40);
    const std::string invalid = "ERROR: Could not store image buffer : invalid argument";
    const std::string unsupported = "ERROR: Could not store image buffer : unsupported type";
    run({
        {"the raw size with a PNG signature", buffer(pngSized), ErrorCode::Ok, pngSized, ""},
        {"another size of no known kind", buffer({1, 2, 3}), ErrorCode::Ok, {1, 2, 3}, ""},
        {"10 x 10 with 12 octets", buffer(Octets(12, 7), 10, 1, 10), ErrorCode::Ok, Octets(12, 7), ""},
        {"a PNG image", buffer(fileOctets(kPng), 32), ErrorCode::Ok, converted(kPng), ""},
        {"a BMP image 127 wide", buffer(fileOctets(kBmp), 127), ErrorCode::Ok, converted(kBmp), ""},
        {"empty with width 0", buffer({}, 0), ErrorCode::UnsupportedType, {}, unsupported},
        {"a PNG signature on no image", buffer(brokenPng), ErrorCode::UnsupportedType, {}, unsupported},
        {"bank 256", buffer({1}, 8, 256), ErrorCode::InvalidArgument, {}, invalid},
        {"width 65536", buffer({1}, 65536), ErrorCode::InvalidArgument, {}, invalid},
        {"height -1", buffer({1}, 8, 1, -1), ErrorCode::InvalidArgument, {}, invalid},
    });
    EXPECT_TRUE(capture.contains("[Manager] Storing LCD image buffer : bankId=1, width=8, height=-1, "
                                 "compress=true, size=1"));
    ASSERT_EQ(converted(kBmp).size(), 64u * 16);
}

TEST_F(ManagerBitmapTest, FilesAreSentAsTheyAreWhenRawAndConvertedOtherwise)
{
    std::ofstream(files.file("raw.bin")) << "\x01\x02\x03";
    std::ofstream(files.file("empty.bin")).flush();
    std::ofstream(files.file("big.bin")) << std::string(65536, '\x55');
    ASSERT_EQ(::mkfifo(files.file("fifo.bin").c_str(), 0600), 0);
    run({
        {"a raw file of any length", file(files.file("raw.bin")), ErrorCode::Ok, {1, 2, 3}, ""},
        {"a PNG file", file(kPng), ErrorCode::Ok, converted(kPng), ""},
        {"a missing file", file(files.file("no.png")), ErrorCode::OpenFailed, {},
         "ERROR: File does not exist : " + files.file("no.png")},
        {"a FIFO", file(files.file("fifo.bin")), ErrorCode::OpenFailed, {},
         "ERROR: Could not store image file : open failed"},
        {"an empty raw file", file(files.file("empty.bin")), ErrorCode::UnsupportedType, {},
         "ERROR: Could not store image file : unsupported type"},
        {"a raw file over one upload", file(files.file("big.bin")), ErrorCode::InvalidArgument, {},
         "ERROR: Could not store image file : too large"},
    });
    EXPECT_TRUE(capture.contains("[Manager] Storing LCD image file : bankId=1, width=128, height=64, "
                                 "compress=false, file=" + files.file("big.bin")));
}

} // namespace
