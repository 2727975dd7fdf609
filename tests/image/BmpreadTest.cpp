#include <gtest/gtest.h>
#include <png.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "BmpFile.h"
#include "fuzz/BmpFuzz.h"
#include "image/Bmpread.h"
#include "image/ImageLimits.h"

namespace {

namespace fs = std::filesystem;

struct Read
{
    int result;
    std::string printed;
    bmpread_image image; // freed after a read; the values stay for the checks
    std::vector<uint8_t> pixels;
};

// Reads the bytes into a record of sentinel values, keeping what the reader
// prints and the first 3 × width bytes of every output row.
Read readBytes(const std::vector<uint8_t>& file, int flags)
{
    Read r{0, "", {-7, -7, -7, reinterpret_cast<unsigned char*>(0x1)}, {}};
    testing::internal::CaptureStdout();
    r.result = bmpread_bytes(file.data(), file.size(), flags, &r.image);
    std::fflush(stdout);
    r.printed = testing::internal::GetCapturedStdout();
    if (r.result == 1) {
        const size_t row = 3 * size_t(r.image.width);
        const size_t stride = (flags & BMPREAD_BYTE_ALIGN) != 0 ? row : (row + 3) / 4 * 4;
        for (size_t y = 0; y < size_t(r.image.height); ++y) {
            r.pixels.insert(r.pixels.end(), r.image.data + y * stride, r.image.data + y * stride + row);
        }
        bmpread_image copy = r.image;
        bmpread_free(&copy);
        EXPECT_EQ(copy.data, nullptr);
    }
    return r;
}

std::vector<uint8_t> fileBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool cleared(const bmpread_image& image)
{
    return image.width == 0 && image.height == 0 && image.bits == 0 && image.data == nullptr;
}

std::vector<uint8_t> greyRamp(int entries)
{
    std::vector<uint8_t> palette;
    for (int i = 0; i < entries; ++i) {
        palette.insert(palette.end(), {uint8_t(i), uint8_t(i + 16), uint8_t(i + 32), 0});
    }
    return palette;
}

struct DecodeCase
{
    const char* name;
    BmpSpec spec;
    int flags;
    std::vector<uint8_t> expected;
};

TEST(Bmpread, DecodesRowsInTheRequestedOrderAndLayout)
{
    const std::vector<uint8_t> topFirst = {7, 8, 9, 10, 11, 12, 1, 2, 3, 4, 5, 6};
    const std::vector<uint8_t> bottomFirst = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const DecodeCase cases[] = {
        {"bottom-up file, top first", twoByTwo(2), 5, topFirst},
        {"top-down file, top first", twoByTwo(-2), 5, topFirst},
        {"unpadded output rows", twoByTwo(2), 7, topFirst},
        {"bottom-up file, bottom first", twoByTwo(2), 4, bottomFirst},
        {"top-down file, bottom first", twoByTwo(-2), 4, bottomFirst},
        {"power-of-two sizes without flag 4", twoByTwo(2), 1, topFirst},
        {"1 bit, most significant first", {8, 1, 1, {0, 0, 0, 0, 255, 255, 255, 0}, {0x80, 0, 0, 0}}, 5,
         {255, 255, 255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"1 bit, ninth pixel in the second byte", {9, 1, 1, {0, 0, 0, 0, 1, 2, 3, 0}, {0, 0x80, 0, 0}}, 5,
         {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 2, 1}},
        {"4 bits, sixteen entries whatever the header declares", {2, 1, 4, greyRamp(16), {0xF3, 0, 0, 0}, 0, 2}, 5,
         {47, 31, 15, 35, 19, 3}},
        {"8 bits, 3 wide with flag 4", {3, 1, 8, greyRamp(256), {0, 255, 7, 0}}, 5,
         {32, 16, 0, 31, 15, 255, 39, 23, 7}},
    };
    for (const DecodeCase& c : cases) {
        const Read r = readBytes(bmpFile(c.spec), c.flags);
        ASSERT_EQ(r.result, 1) << c.name << ": " << r.printed;
        EXPECT_EQ(r.printed, "") << c.name;
        EXPECT_EQ(r.image.width, c.spec.width) << c.name;
        EXPECT_EQ(r.image.height, std::abs(c.spec.height)) << c.name;
        EXPECT_EQ(r.image.bits, c.spec.bits) << c.name;
        EXPECT_EQ(r.pixels, c.expected) << c.name;
    }
}

struct RefusalCase
{
    const char* name;
    std::vector<uint8_t> file;
    int flags;
    const char* printed;
};

std::vector<uint8_t> patched(std::vector<uint8_t> file, size_t at, uint32_t value, int octets)
{
    putLe(file, at, value, octets);
    return file;
}

TEST(Bmpread, RefusesBadHeadersWithTheirLines)
{
    const std::vector<uint8_t> good = bmpFile(twoByTwo(2));
    const std::vector<uint8_t> pal8 = bmpFile({2, 2, 8, greyRamp(256), std::vector<uint8_t>(8)});
    const RefusalCase cases[] = {
        {"empty file", {}, 5, "validate eroor\n"},
        {"header cut before the compression ends", {good.begin(), good.begin() + 33}, 5, "validate eroor\n"},
        {"first byte not B", patched(good, 0, 'X', 1), 5, "b eroor\nvalidate eroor\n"},
        {"second byte not M", patched(good, 1, 'X', 1), 5, "m eroor\nvalidate eroor\n"},
        {"width 0", patched(good, 18, 0, 4), 5, "w/h eroor\nvalidate eroor\n"},
        {"negative width", patched(good, 18, uint32_t(-2), 4), 5, "w/h eroor\nvalidate eroor\n"},
        {"height 0", patched(good, 22, 0, 4), 5, "w/h eroor\nvalidate eroor\n"},
        {"compression 3", patched(good, 30, 3, 4), 5, "comp eroor\nvalidate eroor\n"},
        {"16 bits", patched(good, 28, 16, 2), 5, "info.bits eroor\nvalidate eroor\n"},
        {"32 bits", patched(good, 28, 32, 2), 5, "info.bits eroor\nvalidate eroor\n"},
        {"lowest height", patched(good, 22, uint32_t(INT32_MIN), 4), 5, "validate eroor\n"},
        {"3 wide without flag 4", patched(good, 18, 3, 4), 1, "validate eroor\n"},
        {"3 high without flag 4", patched(good, 22, 3, 4), 1, "validate eroor\n"},
        {"palette beyond the file", patched(pal8, 14, 0xFFFFFFF0u, 4), 5, "validate eroor\n"},
        {"last row cut short", {good.begin(), good.end() - 1}, 5, "decode eroor\n"},
        {"data offset beyond the file", patched(good, 10, 0xFFFFFFF0u, 4), 5, "decode eroor\n"},
        {"0x7FFFFFFF by 1", patched(patched(good, 18, 0x7FFFFFFF, 4), 22, 1, 4), 5, "validate eroor\n"},
        {"wider than the side cap", patched(good, 18, IMAGE_MAX_SIDE + 1, 4), 5, "validate eroor\n"},
        {"taller than the side cap", patched(good, 22, uint32_t(-int32_t(IMAGE_MAX_SIDE + 1)), 4), 5,
         "validate eroor\n"},
        {"output above the buffer cap", patched(patched(good, 18, IMAGE_MAX_SIDE, 4), 22, IMAGE_MAX_SIDE, 4), 5,
         "validate eroor\n"},
    };
    for (const RefusalCase& c : cases) {
        const Read r = readBytes(c.file, c.flags);
        EXPECT_EQ(r.result, 0) << c.name;
        EXPECT_EQ(r.printed, c.printed) << c.name;
        EXPECT_TRUE(cleared(r.image)) << c.name;
    }
}

struct RgbPicture
{
    int width = 0;
    std::vector<uint8_t> rgb; // top row first, 3 × width bytes per row
};

// libpng's reading of a rendering as 8-bit RGB (palettes expanded, grey
// copied to all three); the suite's renderings carry no alpha.
bool readPngAsRgb(const std::string& path, RgbPicture& out)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        return false;
    }
    image.format = PNG_FORMAT_RGB;
    out.width = int(image.width);
    out.rgb.assign(PNG_IMAGE_SIZE(image), 0);
    const bool ok = png_image_finish_read(&image, nullptr, out.rgb.data(), 0, nullptr) != 0;
    png_image_free(&image);
    return ok;
}

fs::path suiteDir()
{
    return fs::path(__FILE__).parent_path().parent_path() / "data" / "bmpsuite";
}

// What the reader makes of the suite's files: those it reads match their
// renderings; the others print their lines. The header is read at fixed
// offsets, so the OS/2 file fails on what lies where the compression would be.
const std::pair<const char*, std::vector<const char*>> kSuite[] = {
    {"", {"g/pal1", "g/pal1bg", "g/pal1wb", "g/pal4", "g/pal4gs", "g/pal8-0", "g/pal8", "g/pal8gs",
          "g/pal8nonsquare", "g/pal8topdown", "g/pal8v4", "g/pal8v5", "g/pal8w124", "g/pal8w125", "g/pal8w126",
          "g/rgb24", "g/rgb24pal"}},
    {"comp eroor\nvalidate eroor\n", {"g/pal8os2", "g/pal4rle", "g/pal8rle", "g/rgb16-565", "g/rgb16-565pal",
                                       "g/rgb16bfdef", "g/rgb32bf", "g/rgb32bfdef", "b/badrle", "b/rgb16-880"}},
    {"info.bits eroor\nvalidate eroor\n", {"g/rgb16", "g/rgb32", "b/badbitcount"}},
    {"decode eroor\n", {"b/shortfile"}},
    {"w/h eroor\nvalidate eroor\n", {"b/badwidth"}},
    {"validate eroor\n", {"b/reallybig"}},
};

TEST(Bmpread, SuiteFilesGiveTheirResultsAndTheirRenderingsPixels)
{
    for (const auto& [printed, names] : kSuite) {
        for (const char* name : names) {
            const std::string base = (suiteDir() / name).string();
            const Read r = readBytes(fileBytes(base + ".bmp"), 5);
            EXPECT_EQ(r.printed, printed) << name;
            ASSERT_EQ(r.result, *printed == '\0' ? 1 : 0) << name;
            RgbPicture expected;
            if (r.result == 1) {
                ASSERT_TRUE(readPngAsRgb(base + ".png", expected)) << name;
                EXPECT_EQ(r.image.width, expected.width) << name;
                EXPECT_EQ(r.pixels, expected.rgb) << name;
            }
        }
    }
}

// The fuzzer's seeds and kept regressions, replayed whether or not clang is
// there to fuzz.
TEST(Bmpread, FuzzCorpusKeepsTheReadersPromises)
{
    const fs::path regressions = suiteDir().parent_path().parent_path() / "fuzz" / "regressions" / "bmp";
    size_t inputs = 0;
    for (const fs::path& dir : {suiteDir() / "g", suiteDir() / "b", regressions}) {
        if (!fs::is_directory(dir)) {
            continue;
        }
        for (const auto& entry : fs::directory_iterator(dir)) {
            const std::vector<uint8_t> data = fileBytes(entry.path());
            testing::internal::CaptureStdout();
            EXPECT_EQ(bmpfuzz::runOne(data.data(), data.size()), "") << entry.path();
            testing::internal::GetCapturedStdout();
            ++inputs;
        }
    }
    EXPECT_GE(inputs, 60u);
}

} // namespace
