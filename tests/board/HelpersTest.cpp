// Result codes, peripheral names and numbering, and the executable's
// directory, checked against the tables written out independently here.
#include "board/Helpers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/support/TempDir.h"

using tavo::Board::ErrorCode;
using tavo::Board::Peripheral;
namespace Helpers = tavo::Board::Helpers;

TEST(Helpers, DriverCodesTranslate)
{
    const std::vector<std::pair<int, ErrorCode>> rows = {
        {0, ErrorCode::Ok},
        {1, ErrorCode::HardwareError},
        {2, ErrorCode::MalformedResponse},
        {3, ErrorCode::InvalidArgument},
        {4, ErrorCode::UnsupportedType},
        {5, ErrorCode::NotSupported},
        {6, ErrorCode::InvalidArgument},
        {7, ErrorCode::InvalidSize},
        {8, ErrorCode::UnknownError},
        {9, ErrorCode::Timeout},
        {10, ErrorCode::SendFailed},
        {11, ErrorCode::OpenFailed},
        {12, ErrorCode::UnknownError},
        {255, ErrorCode::UnknownError},
        {-1, ErrorCode::UnknownError},
    };
    for (const auto& [driver, board] : rows) {
        EXPECT_EQ(Helpers::translateMcuErrorCode(static_cast<LPCDriver::ErrorCode>(driver)), board) << driver;
    }
}

TEST(Helpers, ErrorCodeTexts)
{
    const std::vector<std::string> texts = {
        "Ok", "NotSupported", "Timeout", "MalformedRequest", "MalformedResponse", "InvalidArgument",
        "UnsupportedType", "InvalidSize", "OpenFailed", "SendFailed", "HardwareError", "UnknownError",
    };
    for (int code = 0; code < static_cast<int>(texts.size()); ++code) {
        EXPECT_EQ(Helpers::errorCodeToString(static_cast<ErrorCode>(code)), texts[code]);
    }
    EXPECT_EQ(Helpers::errorCodeToString(static_cast<ErrorCode>(12)), "UnknownError");
    EXPECT_EQ(Helpers::errorCodeToString(static_cast<ErrorCode>(-3)), "UnknownError");
}

TEST(Helpers, PeripheralNamesAndNumbersBothWays)
{
    struct Row {
        int value;
        const char* name;
        int mcu;
    };
    const std::vector<Row> rows = {
        {0, "display", 3},     {1, "gpPort1", 11},  {2, "gpPort2", 12},    {3, "gpPort3", 13},
        {4, "gpPort4", 14},    {5, "mPCIe1", 1},    {6, "mPCIe2", 2},      {7, "printer", 9},
        {8, "qrReader", 10},   {9, "rfidReader", 8}, {10, "ftdi", 5},       {11, "touch", 4},
        {12, "usbHost1", 6},   {13, "usbHost2", 7}, {14, "usbHub", 0},
    };
    ASSERT_EQ(tavo::Board::peripheralToString.size(), rows.size());
    ASSERT_EQ(tavo::Board::stringToPeripherals.size(), rows.size());
    for (const auto& row : rows) {
        const auto peripheral = static_cast<Peripheral>(row.value);
        EXPECT_EQ(tavo::Board::peripheralToString.at(peripheral), row.name);
        EXPECT_EQ(tavo::Board::stringToPeripherals.at(row.name), peripheral);
        EXPECT_EQ(Helpers::translatePeripheral(peripheral), row.mcu) << row.name;
        EXPECT_EQ(Helpers::translatePeripheral(row.mcu), peripheral) << row.name;
    }
}

TEST(Helpers, NamesIterateInByteOrder)
{
    std::string names;
    for (const auto& [name, peripheral] : tavo::Board::stringToPeripherals) {
        names += name + " ";
    }
    EXPECT_EQ(names, "display ftdi gpPort1 gpPort2 gpPort3 gpPort4 mPCIe1 mPCIe2 printer qrReader rfidReader "
                     "touch usbHost1 usbHost2 usbHub ");
    EXPECT_EQ(tavo::Board::stringToPeripherals.count("Display"), 0u);
}

TEST(Helpers, OutOfRangePeripheralsThrow)
{
    for (int bad : {15, -1, 100}) {
        try {
            Helpers::translatePeripheral(static_cast<Peripheral>(bad));
            ADD_FAILURE() << "no throw for Peripheral " << bad;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Unregistered peripheral");
        }
        try {
            Helpers::translatePeripheral(bad);
            ADD_FAILURE() << "no throw for number " << bad;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Unregistered peripheral");
        }
    }
}

TEST(Helpers, ExecutableLocationIsThisProgramsDirectory)
{
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const std::string selfPath = self;
    EXPECT_EQ(Helpers::getExecutableLocation(), selfPath.substr(0, selfPath.rfind('/')));
}

namespace {

// The child half of the tests below: run in a re-executed copy of this test
// program, it reports the location (or "logic_error") into a file.
const char* const kReportEnv = "LUMACORE_TEST_LOCATION_REPORT";
const char* const kRemoveCwdEnv = "LUMACORE_TEST_LOCATION_REMOVE_CWD";

std::string runChild(const std::string& program, const std::string& workDir, const std::string& report,
                     bool removeWorkDir)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(workDir.c_str()) != 0) {
            _exit(90);
        }
        setenv(kReportEnv, report.c_str(), 1);
        if (removeWorkDir) {
            setenv(kRemoveCwdEnv, "1", 1);
        }
        const std::string filter = "--gtest_filter=Helpers.ChildReportsExecutableLocation";
        execl(program.c_str(), program.c_str(), filter.c_str(), static_cast<char*>(nullptr));
        _exit(91);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    std::ifstream in(report);
    std::string line;
    std::getline(in, line);
    return line;
}

} // namespace

TEST(Helpers, ChildReportsExecutableLocation)
{
    const char* report = std::getenv(kReportEnv);
    if (report == nullptr) {
        GTEST_SKIP() << "runs only as the child of the location tests";
    }
    if (std::getenv(kRemoveCwdEnv) != nullptr) {
        char cwd[4096] = {};
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        ASSERT_EQ(unlink("link"), 0);
        ASSERT_EQ(rmdir(cwd), 0);
    }
    std::string result;
    try {
        result = Helpers::getExecutableLocation();
    } catch (const std::logic_error&) {
        result = "logic_error";
    }
    std::ofstream(report) << result << "\n";
}

TEST(Helpers, ExecutableLocationOfASymlinkIsTheLinksDirectory)
{
    TempDir tmp;
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    ASSERT_EQ(mkdir(tmp.file("bin").c_str(), 0755), 0);
    ASSERT_EQ(symlink(self, tmp.file("bin/link").c_str()), 0);

    char resolvedTmp[4096] = {};
    ASSERT_NE(realpath(tmp.path().c_str(), resolvedTmp), nullptr);
    // Started by a relative path from the link's directory and by its full path.
    EXPECT_EQ(runChild("./link", tmp.file("bin"), tmp.file("report1"), false), std::string(resolvedTmp) + "/bin");
    EXPECT_EQ(runChild(tmp.file("bin/link"), tmp.path(), tmp.file("report2"), false),
              std::string(resolvedTmp) + "/bin");
}

TEST(Helpers, ExecutableLocationThrowsWhenItsDirectoryIsGone)
{
    TempDir tmp;
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    ASSERT_EQ(mkdir(tmp.file("gone").c_str(), 0755), 0);
    ASSERT_EQ(symlink(self, tmp.file("gone/link").c_str()), 0);
    EXPECT_EQ(runChild("./link", tmp.file("gone"), tmp.file("report"), true), "logic_error");
}
