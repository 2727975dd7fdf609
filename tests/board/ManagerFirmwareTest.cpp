// Firmware updates against the simulated bootloader: which files the
// automatic update accepts, the failure branches of a requested update,
// updates that meet, and the bootloader flags.

#include <atomic>
#include <sys/stat.h>
#include <syslog.h>

#include "board/Firmware.h"
#include "ManagerFixture.h"
#include "support/FirmwareFile.h"

namespace {

using tavo::Board::ErrorCode;
using tavo::Board::Firmware;

// LPC176x flash bootloader flag bits.
constexpr uint16_t kIgnoreVtable = 0x0001;
constexpr uint16_t kAllowReinstall = 0x0040;
constexpr uint16_t kAllowDowngrade = 0x0080;
constexpr int kRebootMs = 300;

// A legacy OTA file; the default board is "Velmor7-R4" with firmware 1.2.3.
FirmwareFile legacyFile(uint32_t version, const std::string& board = "Velmor7", uint32_t revision = 4,
                        size_t size = 0x800)
{
    return FirmwareFileBuilder(FirmwareFileBuilder::Layout::Legacy)
        .board(board)
        .revision(revision)
        .version(version)
        .imageSize(size)
        .build();
}

bool exists(const std::string& path)
{
    struct stat entry;
    return ::stat(path.c_str(), &entry) == 0;
}

class ProgressObserver : public tavo::Board::Observer {
public:
    explicit ProgressObserver(std::function<void(const std::string&)> action) : action(std::move(action)) {}
    void onEvent(const LPCEvent& event) override
    {
        if (event.name == "downloadProgress") {
            action(event.value);
        }
    }
    std::function<void(const std::string&)> action;
};

struct AutoRow {
    const char* name;
    uint32_t version;
    std::string board;
    uint32_t revision;
    uint16_t flags;
    // The reason after "Ignoring firmware '<path>': ", or empty when accepted.
    std::string warning;
};

class FirmwareUpdateTest : public ManagerTest {
protected:
    // Opens a manager whose firmware directory holds the row's file as
    // mcu.bin, on a board with the row's flags, and waits for the automatic
    // update to end (for an accepted file: until the board is back from
    // its reset).
    void runAutomaticUpdate(const AutoRow& row)
    {
        SCOPED_TRACE(row.name);
        TempDir dir;
        const FirmwareFile file = legacyFile(row.version, row.board, row.revision);
        const std::string path = dir.file("mcu.bin");
        file.writeTo(path);
        BoardProfile{}.applyTo(board);
        boardState([&row](SimDeviceState& s) {
            s.bootFlags = row.flags;
            s.rebootMs = kRebootMs;
            s.resets = 0;
            return 0;
        });
        capture.clear();
        tavo::Board::Manager::Host seams = host();
        seams.firmwareDirectory = dir.path();
        manager = std::make_shared<tavo::Board::Manager>(board.devicePath(), seams);

        if (!row.warning.empty()) {
            ASSERT_TRUE(capture.waitFor("[Manager] No firmware files found", 5000));
            EXPECT_TRUE(capture.contains("[Manager] Ignoring firmware '" + path + "': " + row.warning));
            EXPECT_TRUE(exists(path));
            EXPECT_EQ(boardState([](SimDeviceState& s) { return s.resets; }), 0);
        } else {
            ASSERT_TRUE(waitUntil([this] { return boardState([](SimDeviceState& s) { return s.resets; }) == 1; },
                                  10000));
            EXPECT_FALSE(exists(path));
            EXPECT_TRUE(exists(dir.file("attempts/mcu.bin")));
            std::this_thread::sleep_for(std::chrono::milliseconds(kRebootMs + 200));
            const auto status = manager->bootloaderStatusGet();
            EXPECT_EQ(status.first, ErrorCode::Ok);
            EXPECT_EQ(status.second->toJson()["updateOk"], true);
            boardState([&](SimDeviceState& s) {
                EXPECT_EQ(s.installedFirmware, file.image);
                EXPECT_EQ(s.firmwareVersion, Firmware::versionToStr(static_cast<uint8_t>(row.version)));
                return 0;
            });
        }
        manager.reset();
    }
};

} // namespace

TEST_F(FirmwareUpdateTest, AutomaticUpdateInstallsAnAcceptedFile)
{
    const AutoRow rows[] = {
        {"newer", 124, "Velmor7", 4, kIgnoreVtable, ""},
        {"older, downgrade allowed", 122, "Velmor7", 4, kIgnoreVtable | kAllowDowngrade, ""},
        {"same, reinstall allowed", 123, "Velmor7", 4, kIgnoreVtable | kAllowReinstall, ""},
    };
    for (const AutoRow& row : rows) {
        runAutomaticUpdate(row);
    }
}

TEST_F(FirmwareUpdateTest, AutomaticUpdateSkipsFilesItMayNotInstall)
{
    const AutoRow rows[] = {
        {"older", 122, "Velmor7", 4, kIgnoreVtable, "Older version (installed=1.2.3, file=1.2.2)"},
        {"same", 123, "Velmor7", 4, kIgnoreVtable, "Same version (installed=1.2.3, file=1.2.3)"},
        {"other board", 124, "Corax5", 4, kIgnoreVtable, "Different board Name (installed=Velmor7, file=Corax5)"},
        {"other revision", 124, "Velmor7", 5, kIgnoreVtable, "Different board Revision (installed=4, file=5)"},
    };
    for (const AutoRow& row : rows) {
        runAutomaticUpdate(row);
    }
}

// No reset follows a download that did not complete; an image the flash
// stored damaged fails the bootloader's CRC check, the board comes back
// with its old firmware, and the status read afterwards says so.
TEST_F(FirmwareUpdateTest, RequestedUpdateFailures)
{
    open();
    settle();
    TempDir dir;
    const std::string path = dir.file("mcu.bin");
    legacyFile(124).writeTo(path);
    const auto resets = [this] { return boardState([](SimDeviceState& s) { return s.resets; }); };

    EXPECT_EQ(manager->firmwareUpdate(dir.file("gone.bin")), ErrorCode::OpenFailed);
    EXPECT_EQ(manager->firmwareUpdateAsync(dir.file("gone.bin")), ErrorCode::OpenFailed);
    EXPECT_TRUE(sent().empty());

    // Segments after the first progress event fail, in the first download only.
    auto failing = std::make_shared<std::atomic<bool>>(true);
    manager->observerAttach(std::make_shared<ProgressObserver>([this, failing](const std::string& value) {
        if (value == "0" && failing->exchange(false)) {
            board.forceReply(12, 0, 1, {0});
        }
    }));
    EXPECT_EQ(manager->firmwareUpdate(path), ErrorCode::HardwareError);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(resets(), 0);
    board.clearForcedReplies();

    boardState([](SimDeviceState& s) {
        s.flashFaultAt = 1000;
        s.rebootMs = kRebootMs;
        return 0;
    });
    EXPECT_EQ(manager->firmwareUpdate(path), ErrorCode::Ok);
    ASSERT_TRUE(waitUntil([&] { return resets() == 1; }, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(kRebootMs + 200));
    const auto status = manager->bootloaderStatusGet();
    EXPECT_EQ(status.first, ErrorCode::Ok);
    EXPECT_EQ(status.second->toJson()["wrongCrc"], true);
    EXPECT_EQ(status.second->toJson()["updateOk"], false);
    EXPECT_EQ(boardState([](SimDeviceState& s) { return s.firmwareVersion; }), "1.2.3");
}

// A requested update that arrives during the automatic one waits for it,
// reset included: the board never sees their segments mixed. The caller
// drops the manager at once; the update keeps it alive, and the manager is
// destroyed on the update's own thread when it ends.
TEST_F(FirmwareUpdateTest, RequestedUpdateWaitsForTheAutomaticOneAndOutlivesItsCaller)
{
    const FirmwareFile automatic = legacyFile(124, "Velmor7", 4, 96 * 1024);
    const FirmwareFile requested = legacyFile(125);
    automatic.writeTo(firmwareDir.file("auto.bin"));
    TempDir elsewhere;
    requested.writeTo(elsewhere.file("requested.bin"));

    open();
    ASSERT_TRUE(waitUntil(
        [this] { return boardState([](SimDeviceState& s) { return s.firmwareDownload.next > 8; }); }, 5000));
    EXPECT_EQ(manager->firmwareUpdateAsync(elsewhere.file("requested.bin")), ErrorCode::Ok);
    std::weak_ptr<tavo::Board::Manager> watched = manager;
    manager.reset();

    ASSERT_TRUE(capture.waitFor("[Manager] Stopped", 30000));
    ASSERT_TRUE(waitUntil([&watched] { return watched.expired(); }, 1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    boardState([&](SimDeviceState& s) {
        EXPECT_EQ(s.resets, 2);
        EXPECT_EQ(s.firmwareDownload.abandoned, 0);
        EXPECT_FALSE(s.firmwareDownload.sawInterleaved);
        EXPECT_FALSE(s.firmwareDownload.sawOutOfOrder);
        EXPECT_EQ(s.installedFirmware, requested.image);
        EXPECT_EQ(s.firmwareVersion, "1.2.5");
        return 0;
    });
    EXPECT_EQ(countLines("[Manager] Firmware download completed with no errors , resseting system ..."), 2u);
}

// A manager stopped during the automatic update cuts the download; the file
// stays in attempts and the cut update is logged as an error with its name.
TEST_F(FirmwareUpdateTest, CutAutomaticUpdateIsLogged)
{
    legacyFile(124, "Velmor7", 4, 96 * 1024).writeTo(firmwareDir.file("auto.bin"));
    open();
    ASSERT_TRUE(waitUntil(
        [this] { return boardState([](SimDeviceState& s) { return s.firmwareDownload.next > 8; }); }, 5000));
    manager.reset();

    EXPECT_TRUE(capture.contains(
        LOG_ERR, "[Manager] Firmware update from " + firmwareDir.file("attempts/auto.bin") + " failed: Timeout"));
    EXPECT_TRUE(exists(firmwareDir.file("attempts/auto.bin")));
    EXPECT_EQ(boardState([](SimDeviceState& s) { return s.resets; }), 0);
}
