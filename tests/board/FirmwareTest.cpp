// Firmware image files: both header layouts at all four offsets, the build
// check, refusals of files that are not plain images, and directory scans
// among decoys. Files come from the shared builder, which lays headers out on
// its own.
#include "board/Firmware.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <future>
#include <set>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "foundation/Crc.h"
#include "foundation/Utils.h"
#include "tests/support/LogCapture.h"
#include "tests/support/FirmwareFile.h"
#include "tests/support/TempDir.h"

using tavo::Board::Firmware;
using Layout = FirmwareFileBuilder::Layout;
using Damage = FirmwareFileBuilder::Damage;
namespace Flags = tavo::Board::BootloaderFlags;

namespace {


std::shared_ptr<Flags::Interface> clearFlags()
{
    return std::make_shared<Flags::CorvidNX>();
}

// Runs f on its own thread; if it has not finished after a generous wait, a
// writer opens the FIFO so a reader stuck on it returns, and the test fails
// instead of hanging.
template <typename F>
auto unblockingFifo(const std::string& fifo, F f)
{
    auto result = std::async(std::launch::async, f);
    if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "blocked on the FIFO " << fifo;
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
            ::close(fd);
        }
    }
    return result.get();
}

class FirmwareTest : public ::testing::Test {
protected:
    FirmwareTest() { Log::setLevel(Log::Debug); }

    std::string write(const std::string& name, const FirmwareFile& file)
    {
        const std::string path = tmp.file(name);
        file.writeTo(path);
        return path;
    }

    TempDir tmp;
    LogCapture logs;
};

} // namespace

TEST_F(FirmwareTest, EveryLayoutAndKindOpens)
{
    struct Row {
        Layout layout;
        bool release;
        uint32_t build;
        std::size_t leading;
    };
    const std::vector<Row> rows = {
        {Layout::Legacy, false, 0, 0},
        {Layout::Legacy, true, 1, 0x3000},
        {Layout::CorvidNX, false, 0, 0},
        {Layout::CorvidNX, true, 1, 0x10000},
    };
    for (const auto& row : rows) {
        FirmwareFileBuilder builder(row.layout);
        builder.board("Velmor7").company("Tavo Systems").imageSize(0x1000);
        if (row.release) {
            builder.release();
        }
        const FirmwareFile file = builder.build();
        const std::string path = write("fw.bin", file);

        Firmware fw(clearFlags());
        ASSERT_TRUE(fw.open(path)) << static_cast<int>(row.layout) << " " << row.release;
        EXPECT_TRUE(fw.isValid());
        EXPECT_EQ(fw.filename(), path);
        EXPECT_EQ(fw.build(), row.build);
        EXPECT_EQ(fw.data(), file.image);
        EXPECT_EQ(fw.data().size(), file.bytes.size() - row.leading);
        EXPECT_EQ(fw.boardName(), "Velmor7");
        EXPECT_EQ(fw.company(), "Tavo Systems");
        EXPECT_EQ(fw.version(), 123);
    }
}

TEST_F(FirmwareTest, HeaderValuesAndTheirLogLines)
{
    const std::string legacy = write("legacy.bin", FirmwareFileBuilder(Layout::Legacy)
                                                       .firmwareName("mcu-app")
                                                       .version(0x0102037B)
                                                       .revision(7)
                                                       .build());
    Firmware a(clearFlags());
    ASSERT_TRUE(a.open(legacy));
    EXPECT_EQ(a.version(), 0x7B);
    EXPECT_EQ(a.revision(), "7");
    const std::vector<std::string> expected = {
        "[Board::Firmware] Seeking valid header @ 0x00000100 (Legacy OTA).",
        "[Board::Firmware] Firmware Info (Legacy)",
        "[Board::Firmware]   - Firmware : mcu-app",
        "[Board::Firmware]   - Version  : 16909179 - v1.2.3",
        "[Board::Firmware]   - Board    : Velmor7",
        "[Board::Firmware]   - Revision : R7",
        "[Board::Firmware]   - Build    : OTA",
        "[Board::Firmware]   - Company  : Tavo Systems",
        "[Board::Firmware] Valid header found. Reading firmware (size=2048).",
    };
    EXPECT_EQ(logs.texts(), expected);
    EXPECT_TRUE(logs.contains(LOG_INFO, "[Board::Firmware] Firmware Info (Legacy)"));

    logs.clear();
    const std::string corvid =
        write("corvid.bin", FirmwareFileBuilder(Layout::CorvidNX).version(3, 0, 0).revision(1, 2, 3).gitHash("abc").build());
    Firmware b(clearFlags());
    ASSERT_TRUE(b.open(corvid));
    EXPECT_EQ(b.version(), 44); // 300 cut to 8 bits
    EXPECT_EQ(b.revision(), "1.2/3");
    EXPECT_TRUE(logs.contains(LOG_INFO, "[Board::Firmware]   - Version  : 300 - v0.4.4"));
    EXPECT_TRUE(logs.contains(LOG_INFO, "[Board::Firmware]   - Git Hash : abc"));
    EXPECT_TRUE(logs.contains(LOG_DEBUG, "[Board::Firmware] Error parsing file.")); // legacy RELEASE offset
    EXPECT_TRUE(logs.contains(LOG_DEBUG, "[Board::Firmware] Seeking valid header @ 0x00000200 (Corvid-NX OTA)."));
    EXPECT_FALSE(logs.contains(LOG_DEBUG, "[Board::Firmware] Seeking valid header @ 0x00010200 (Corvid-NX RELEASE)."));

    // Negative octets are sign-extended into the 32-bit fields.
    Firmware c(clearFlags());
    ASSERT_TRUE(c.open(write("neg.bin", FirmwareFileBuilder(Layout::CorvidNX).revision(-1, 0, 2).build())));
    EXPECT_EQ(c.revision(), "4294967295.0/2");
}

TEST_F(FirmwareTest, TextFieldsWithoutNul)
{
    const std::string full(32, 'B');
    Firmware fw(clearFlags());
    ASSERT_TRUE(fw.open(write("full.bin", FirmwareFileBuilder(Layout::Legacy).board(full).company(full).build())));
    EXPECT_EQ(fw.boardName(), full);
    EXPECT_EQ(fw.company(), full);
    fw.initMemset();
    EXPECT_EQ(fw.boardName(), "");
}

TEST_F(FirmwareTest, BuildTextIsCheckedUnlessIgnored)
{
    struct Row {
        std::string build;
        bool accepted;
    };
    const std::vector<Row> rows = {
        {"OTA", true},
        {"RELEASE", true},
        {std::string("OTA\0junk", 8), true},
        {"OTAX", false},
        {"ota", false},
        {"RELEASE2", false},
        {"", false},
    };
    for (const auto& row : rows) {
        for (Layout layout : {Layout::Legacy, Layout::CorvidNX}) {
            const std::string path = write("b.bin", FirmwareFileBuilder(layout).buildText(row.build).build());
            Firmware checked(clearFlags());
            EXPECT_EQ(checked.open(path), row.accepted) << row.build;
            Firmware unflagged(nullptr);
            EXPECT_EQ(unflagged.open(path), row.accepted) << row.build;
            // ignoreBuild is bit 8 in both layouts.
            Firmware corvid(std::make_shared<Flags::CorvidNX>(std::bitset<16>(0x100)));
            EXPECT_TRUE(corvid.open(path)) << row.build;
            Firmware lpc(std::make_shared<Flags::LPC176xFlashBoot>(std::bitset<16>(0x100)));
            EXPECT_TRUE(lpc.open(path)) << row.build;
        }
    }
    EXPECT_TRUE(logs.contains(LOG_WARNING, "[Board::Firmware] Invalid build: OTAX"));

    // The kind follows the offset, not the text.
    Firmware fw(clearFlags());
    ASSERT_TRUE(fw.open(write("r.bin", FirmwareFileBuilder(Layout::Legacy).buildText("RELEASE").build())));
    EXPECT_EQ(fw.build(), 0u);
}

TEST_F(FirmwareTest, DamagedHeadersAreRefused)
{
    for (Layout layout : {Layout::Legacy, Layout::CorvidNX}) {
        for (Damage damage : {Damage::WrongMagic, Damage::TruncatedHeader}) {
            logs.clear();
            Firmware fw(clearFlags());
            EXPECT_FALSE(fw.open(write("d.bin", FirmwareFileBuilder(layout).damage(damage).build())));
            EXPECT_TRUE(fw.filename().empty());
            EXPECT_TRUE(fw.data().empty());
            EXPECT_TRUE(logs.contains(LOG_DEBUG, "[Board::Firmware] Could not find valid header"));
        }
    }
    Firmware fw(clearFlags());
    EXPECT_FALSE(fw.open(write("m.bin", FirmwareFileBuilder(Layout::Legacy).damage(Damage::WrongMagic).build())));
    EXPECT_TRUE(logs.contains(LOG_DEBUG, "[Board::Firmware] Header is invalid (magic=0xC0DEB10D)"));
    EXPECT_FALSE(fw.isValid());

    Firmware empty(clearFlags());
    EXPECT_FALSE(empty.open(write("empty.bin", FirmwareFile{})));
}

TEST_F(FirmwareTest, EarlierProbeWins)
{
    FirmwareFile file = FirmwareFileBuilder(Layout::Legacy).revision(9).imageSize(0x400).build();
    const FirmwareFile corvid = FirmwareFileBuilder(Layout::CorvidNX).build();
    std::copy(corvid.bytes.begin() + 0x200, corvid.bytes.begin() + 0x200 + 186, file.bytes.begin() + 0x200);
    Firmware fw(clearFlags());
    ASSERT_TRUE(fw.open(write("both.bin", file)));
    EXPECT_EQ(fw.revision(), "9");
}

TEST_F(FirmwareTest, BuilderCrcIsTheDownloadsCrc)
{
    const FirmwareFile good = FirmwareFileBuilder(Layout::CorvidNX).imageSize(5000).build();
    EXPECT_EQ(good.imageCrc, CRC::CRC32_update(0xFFFFFFFF, good.image));
    const FirmwareFile bad = FirmwareFileBuilder(Layout::CorvidNX).imageSize(5000).damage(Damage::WrongCrc).build();
    EXPECT_EQ(bad.imageCrc, good.imageCrc);
    EXPECT_NE(bad.imageCrc, CRC::CRC32_update(0xFFFFFFFF, bad.image));
    // The reader does not check image CRCs: that is the bootloader's job.
    Firmware fw(clearFlags());
    ASSERT_TRUE(fw.open(write("crc.bin", bad)));
    EXPECT_EQ(fw.data(), bad.image);
}

TEST_F(FirmwareTest, OnlyRegularFilesWithinTheSizeLimit)
{
    Firmware missing(clearFlags());
    EXPECT_FALSE(missing.open(tmp.file("nothing.bin")));
    EXPECT_TRUE(logs.contains(LOG_DEBUG, "[Board::Firmware] Could not open file: " + tmp.file("nothing.bin")));

    ASSERT_EQ(mkdir(tmp.file("y.bin").c_str(), 0755), 0);
    Firmware dir(clearFlags());
    EXPECT_FALSE(dir.open(tmp.file("y.bin")));
    EXPECT_TRUE(logs.contains(LOG_WARNING, "[Board::Firmware] Ignoring " + tmp.file("y.bin") + ": not a regular file"));

    Firmware device(clearFlags());
    EXPECT_FALSE(device.open("/dev/zero"));

    const std::string fifo = tmp.file("x.bin");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    EXPECT_FALSE(unblockingFifo(fifo, [&] { return Firmware(clearFlags()).open(fifo); }));

    // The largest accepted file, and one byte more.
    const std::string largest =
        write("max.bin", FirmwareFileBuilder(Layout::Legacy).imageSize(Firmware::MaxFileSize).build());
    Firmware fits(clearFlags());
    ASSERT_TRUE(fits.open(largest));
    EXPECT_EQ(fits.data().size(), Firmware::MaxFileSize);

    const std::string oversized =
        write("big.bin", FirmwareFileBuilder(Layout::Legacy).imageSize(Firmware::MaxFileSize + 1).build());
    Firmware big(clearFlags());
    EXPECT_FALSE(big.open(oversized));
    EXPECT_TRUE(big.data().empty());
    EXPECT_TRUE(logs.contains(LOG_WARNING, "[Board::Firmware] Ignoring " + oversized +
                                          ": 1048577 bytes is more than a firmware image may have (1048576)"));
}

TEST_F(FirmwareTest, DirectoryScanFindsExactlyTheValidFiles)
{
    write("legacy-ota.bin", FirmwareFileBuilder(Layout::Legacy).build());
    write("legacy-release.bin", FirmwareFileBuilder(Layout::Legacy).release().build());
    write("corvid-ota.bin", FirmwareFileBuilder(Layout::CorvidNX).build());
    write("corvid-release.bin", FirmwareFileBuilder(Layout::CorvidNX).release().build());
    write("wrong-magic.bin", FirmwareFileBuilder(Layout::CorvidNX).damage(Damage::WrongMagic).build());
    write("truncated.bin", FirmwareFileBuilder(Layout::Legacy).damage(Damage::TruncatedHeader).build());
    write("bad-build.bin", FirmwareFileBuilder(Layout::Legacy).buildText("DEBUG").build());
    write("oversized.bin", FirmwareFileBuilder(Layout::Legacy).imageSize(Firmware::MaxFileSize + 4096).build());
    write("not-matched.hex", FirmwareFileBuilder(Layout::Legacy).build());
    write(".hidden.bin", FirmwareFileBuilder(Layout::Legacy).build());
    ASSERT_EQ(mkfifo(tmp.file("x.bin").c_str(), 0644), 0);
    ASSERT_EQ(mkdir(tmp.file("y.bin").c_str(), 0755), 0);
    ASSERT_EQ(symlink(tmp.file("legacy-ota.bin").c_str(), tmp.file("link.bin").c_str()), 0);

    const auto found = unblockingFifo(tmp.file("x.bin"), [&] {
        std::set<std::string> valid;
        for (const std::string& path : Utils::listFiles(tmp.path(), "*.bin")) {
            Firmware fw(clearFlags());
            if (fw.open(path)) {
                valid.insert(Utils::getFilenameFromFilepath(path));
            }
        }
        return valid;
    });
    const std::set<std::string> expected = {"legacy-ota.bin", "legacy-release.bin", "corvid-ota.bin",
                                            "corvid-release.bin", "link.bin"};
    EXPECT_EQ(found, expected);
}

TEST(FirmwareVersion, TextForms)
{
    const std::vector<std::pair<int, std::string>> toText = {
        {123, "1.2.3"}, {5, "0.0.5"}, {255, "2.5.5"}, {0, "0.0.0"}, {100, "1.0.0"}};
    for (const auto& [number, text] : toText) {
        EXPECT_EQ(Firmware::versionToStr(static_cast<uint8_t>(number)), text);
    }
    const std::vector<std::pair<std::string, int>> toNumber = {
        {"1.2.3", 123}, {"v1.2.3", 123}, {"1.10.0", 76}, {"", 0}, {"abc", 0}, {"2.5.5", 255}, {"1.2v.3", 123}};
    for (const auto& [text, number] : toNumber) {
        EXPECT_EQ(Firmware::strToVersion(text), number) << text;
    }
    for (int v = 0; v < 256; ++v) {
        EXPECT_EQ(Firmware::strToVersion(Firmware::versionToStr(static_cast<uint8_t>(v))), v);
    }
}
