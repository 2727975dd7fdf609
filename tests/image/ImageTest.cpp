#include <gtest/gtest.h>

#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#include "BmpFile.h"
#include "NeutralDir.h"
#include "PngFiles.h"
#include "image/Image.h"
#include "image/ImageLimits.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

Bytes octets(std::initializer_list<int> values)
{
    Bytes out;
    for (int v : values) {
        out += char(v);
    }
    return out;
}

Bytes asBytes(const std::vector<uint8_t>& v)
{
    return Bytes(v.begin(), v.end());
}

void writeBytes(const std::string& path, const Bytes& bytes)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

// A PNG of the rows as given, each unfiltered.
Bytes pngOf(uint32_t width, uint8_t depth, uint8_t colourType, const std::vector<Bytes>& rows)
{
    Bytes raw;
    for (const Bytes& row : rows) {
        raw += '\0' + row;
    }
    return pngFile({pngChunk("IHDR", ihdrData(width, uint32_t(rows.size()), depth, colourType)),
                    pngChunk("IDAT", zlibCompress(raw, 9, Z_DEFAULT_STRATEGY)), pngChunk("IEND", "")});
}

struct Opened
{
    int result;
    Image image;
    Bytes data;
};

// Opens and closes the image, keeping the bitmap's bytes.
Opened load(const std::string& path)
{
    Opened o{0, Image{-7, -7, -7, nullptr, 7}, {}};
    testing::internal::CaptureStdout();
    o.result = Image_open(path.c_str(), &o.image);
    testing::internal::GetCapturedStdout();
    if (o.result == 0) {
        o.data.assign(reinterpret_cast<const char*>(o.image.data), o.image.size);
        Image copy = o.image;
        Image_close(&copy);
        EXPECT_TRUE(copy.data == nullptr && copy.width == 0 && copy.height == 0 && copy.size == 0) << path;
        EXPECT_EQ(copy.depth, 1) << path;
    }
    return o;
}

struct RawCase
{
    const char* name;
    Bytes content;
    int result;
    int32_t width;
    int32_t height;
};

TEST(ImageOpen, RawFilesTakeTheirSizeFromTheLastUnderscoreAndX)
{
    NeutralDir dir;
    const Bytes bmp = asBytes(bmpFile(twoByTwo(2)));
    const RawCase cases[] = {
        {"pic.bin", "ab", -2, 0, 0},
        {"pic_16.bin", "ab", -2, 0, 0},
        {"pic_16x8.bin", "abcde", 0, 16, 8},
        {"pic_16x8.bin2", "a", 0, 16, 8},
        {"logo_v2_128x64.bin", "a", 0, 128, 64},
        {"box_x_8x2.bin", "ab", 0, 8, 2},
        {"photo.bmp.bin", bmp, -2, 0, 0},
        {"photo_8x2.bmp.bin", bmp, 0, 8, 2},
        {"logo_128x64/pic.bin", "\xFF", 0, 128, 64},
        {"pic_-16x8.bin", "", 0, -16, 8},
        {"pic_ +16x8.bin", "a", 0, 16, 8},
        {"pic_ax8.bin", "a", 0, 0, 8},
        {"pic_1x99999999999.bin", "a", 0, 1, INT32_MAX},
        {"most_1x1.bin", Bytes(IMAGE_MAX_RAW_FILE, 'Z'), 0, 1, 1},
        {"over_1x1.bin", Bytes(IMAGE_MAX_RAW_FILE + 1, 'Z'), -1, 0, 0},
    };
    for (const RawCase& c : cases) {
        writeBytes(dir.file(c.name), c.content);
        const Opened o = load(dir.file(c.name));
        EXPECT_EQ(o.result, c.result) << c.name;
        if (o.result == 0) {
            EXPECT_EQ(o.image.width, c.width) << c.name;
            EXPECT_EQ(o.image.height, c.height) << c.name;
            EXPECT_EQ(o.data, c.content) << c.name;
        }
    }
}

TEST(ImageOpen, OnlyRegularFilesOfAKnownExtensionAreRead)
{
    TempDir dir;
    for (const char* name : {"noextension", "pic_1x1.txt", "pic_1x1.PNG"}) {
        writeBytes(dir.file(name), "a");
    }
    for (const char* name : {"fifo_8x1.bin", "fifo.bmp", "fifo.png"}) {
        ASSERT_EQ(::mkfifo(dir.file(name).c_str(), 0600), 0);
    }
    fs::create_directory(dir.file("dir_8x1.bin"));
    writeBytes(dir.file("huge.bmp"), asBytes(bmpFile(twoByTwo(2))));
    fs::resize_file(dir.file("huge.bmp"), IMAGE_MAX_FILE + 1);
    const std::pair<const char*, int> cases[] = {
        {"noextension", -1}, {"pic_1x1.txt", -1}, {"pic_1x1.PNG", -1}, {"missing_8x1.bin", -1},
        {"fifo_8x1.bin", -1}, {"dir_8x1.bin", -1},   {"missing.bmp", -1}, {"fifo.bmp", -1},
        {"huge.bmp", -1},     {"missing.png", -2},  {"fifo.png", -2},
    };
    for (const auto& [name, result] : cases) {
        EXPECT_EQ(load(dir.file(name)).result, result) << name;
    }
}

struct PngCase
{
    const char* name;
    uint8_t colourType;
    uint8_t depth;
    uint32_t width;
    std::vector<Bytes> rows;
    Bytes bitmap;
};

TEST(ImageOpen, PngPixelsAreDarkBelowGrey128)
{
    const PngCase cases[] = {
        {"grey 127 is dark", 0, 8, 8, {Bytes(8, 127)}, "\xFF"},
        {"grey 128 is light", 0, 8, 8, {Bytes(8, char(128))}, octets({0})},
        {"red 54 and blue 18 dark, green 182 light", 2, 8, 3, {octets({255, 0, 0, 0, 255, 0, 0, 0, 255})}, "\xA0"},
        {"leftmost pixel alone dark", 0, 8, 8, {octets({0, 255, 255, 255, 255, 255, 255, 255})}, "\x80"},
        {"rows of 9 pixels take two bytes, the rest zero", 0, 8, 9, {Bytes(9, 0), Bytes(9, char(255))},
         octets({0xFF, 0x80, 0, 0})},
        {"1-bit grey rows follow each other bit for bit", 0, 1, 3, {"\x40", "\xA0"}, "\xA0\x40"},
        {"2-bit grey: 1 of 3 is 85, 2 of 3 is 170", 0, 2, 4, {"\x1B"}, "\xC0"},
        {"transparent black is light, opaque black dark", 4, 8, 2, {octets({0, 0, 0, 255})}, "\x40"},
        {"half-transparent black is light grey", 6, 8, 1, {octets({0, 0, 0, 120})}, octets({0})},
        {"16-bit samples by their high byte", 2, 16, 2,
         {octets({0x7F, 0xFF, 0x7F, 0xFF, 0x7F, 0xFF, 0x80, 0, 0x80, 0, 0x80, 0})}, "\x80"},
        {"no rows, no bytes", 0, 8, 5, {}, ""},
        {"no columns, no bytes", 0, 8, 0, {"", ""}, ""},
        {"16-bit alpha over white", 6, 16, 2, {octets({0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0xFF})},
         "\x80"},
    };
    TempDir dir;
    for (const PngCase& c : cases) {
        writeBytes(dir.file("image.png"), pngOf(c.width, c.depth, c.colourType, c.rows));
        const Opened o = load(dir.file("image.png"));
        ASSERT_EQ(o.result, 0) << c.name;
        EXPECT_EQ(o.image.width, int32_t(c.width)) << c.name;
        EXPECT_EQ(o.image.height, int32_t(c.rows.size())) << c.name;
        EXPECT_EQ(o.data, c.bitmap) << c.name;
    }
}

TEST(ImageOpen, PngSizeComesFromThePictureAndFailuresFromTheDecoder)
{
    TempDir dir;
    writeBytes(dir.file("logo_128x64.png"), pngOf(16, 8, 0, {Bytes(16, 0), Bytes(16, 0)}));
    const Opened o = load(dir.file("logo_128x64.png"));
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.image.width, 16);
    EXPECT_EQ(o.image.height, 2);
    EXPECT_EQ(o.data, Bytes(4, char(0xFF)));

    writeBytes(dir.file("bad.png"), Bytes(40, 'x'));
    EXPECT_EQ(load(dir.file("bad.png")).result, -2);

    // Formats beyond 8-bit RGB are converted within the decoder's buffer.
    const fs::path suite = fs::path(__FILE__).parent_path().parent_path() / "data" / "pngsuite";
    for (const char* name : {"basn0g01.png", "basn4a08.png", "basn6a16.png"}) {
        const Opened s = load((suite / name).string());
        EXPECT_EQ(s.result, 0) << name;
        EXPECT_EQ(s.data.size(), 32u * 4) << name;
    }
}

TEST(ImageOpen, BmpPixelsAreJudgedByRedAlone)
{
    TempDir dir;
    // Bottom row stored first: red 100 with green and blue 255 (dark), then
    // red 200 alone (light); the top row is the other way round.
    BmpSpec spec{2, 2, 24, {}, {255, 255, 100, 0, 0, 200, 0, 0, 0, 0, 200, 255, 255, 100, 0, 0}};
    writeBytes(dir.file("red.bmp"), asBytes(bmpFile(spec)));
    const Opened o = load(dir.file("red.bmp"));
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.image.width, 2);
    EXPECT_EQ(o.image.height, 2);
    EXPECT_EQ(o.data, "\x40\x80");

    writeBytes(dir.file("text.bmp"), Bytes(60, 'x'));
    EXPECT_EQ(load(dir.file("text.bmp")).result, -1);
}

// A 24-bit BMP of the picture (rows top first): '#' red 100 with green and
// blue 255, dark; '.' red 200 alone, light. Reading padding, green or blue
// in place of red turns a pixel over.
Bytes bmpPicture(const std::vector<std::string>& picture)
{
    const int32_t width = int32_t(picture[0].size());
    BmpSpec spec{width, int32_t(picture.size()), 24, {}, {}};
    for (auto row = picture.rbegin(); row != picture.rend(); ++row) {
        for (char pixel : *row) {
            const std::vector<uint8_t> bgr = pixel == '#' ? std::vector<uint8_t>{255, 255, 100}
                                                          : std::vector<uint8_t>{0, 0, 200};
            spec.rows.insert(spec.rows.end(), bgr.begin(), bgr.end());
        }
        spec.rows.resize((spec.rows.size() + 3) / 4 * 4, 0);
    }
    return asBytes(bmpFile(spec));
}

TEST(ImageOpen, BmpRowsAfterTheFirstStartPastTheReadersPadding)
{
    const std::pair<std::vector<std::string>, Bytes> cases[] = {
        {{"#", ".", ".", "#"}, octets({0x80, 0, 0, 0x80})},
        {{"#.", "..", ".#", "##"}, octets({0x80, 0, 0x40, 0xC0})},
        {{"#..", "...", "..#", ".#."}, octets({0x80, 0, 0x20, 0x40})},
        {{"#....", ".....", "....#", "#.#.#"}, octets({0x80, 0, 0x08, 0xA8})},
        {{"#......", ".......", "......#", "#.#.#.#"}, octets({0x80, 0, 0x02, 0xAA})},
    };
    TempDir dir;
    for (const auto& [picture, bitmap] : cases) {
        writeBytes(dir.file("rows.bmp"), bmpPicture(picture));
        const Opened o = load(dir.file("rows.bmp"));
        ASSERT_EQ(o.result, 0) << picture[0];
        EXPECT_EQ(o.data, bitmap) << picture[0];
    }
}

} // namespace
