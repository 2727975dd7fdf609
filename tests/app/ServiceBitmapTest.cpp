// The bitmap storage commands over a real socket: the upload after the ">"
// prompt, its refusals and time-out, and files, checked in the simulated
// board's banks.

#include <fstream>

#include "ServiceFixture.h"

namespace {

const std::string kMalformed = "error,2,Malformed packet received";
const std::string kInvalid = "error,6,Command parameter is invalid or out of range";

std::function<bool(const SimDeviceState&)> bankHolds(size_t bank, const std::string& octets)
{
    const std::vector<uint8_t> expected(octets.begin(), octets.end());
    return [=](const SimDeviceState& s) { return s.bitmapBanks[bank].pixels == expected; };
}

void clearBanks(SimDeviceState& s)
{
    s.bitmapBanks = {};
}

TEST_F(ServiceTest, BitmapsAreUploadedAfterThePromptOrReadFromFilesAndListedInHelp)
{
    TempDir files;
    std::ofstream(files.file("raw.bin")) << "pq";
    const std::string file = files.file("raw.bin");
    startService();
    // Each request line ends with "\r\n" after the octets given here; the
    // service reads a line ending that follows an upload as an empty line.
    runCases({
        {"screenStoreBitmapBuffer,1,8,1,1\r\nA", clearBanks, ">ok", bankHolds(1, "A")},
        {"screenStoreBitmapBuffer,1,8,8,8,true\r\n12345678screenSize", clearBanks, ">ok", bankHolds(1, "12345678")},
        {"", nullptr, "ok,128,64", nullptr},
        {"screenStoreBitmapBuffer,1,8,8,-1", clearBanks, kInvalid, bankHolds(1, "")},
        {"screenStoreBitmapBuffer,1,8,8,16777217", clearBanks, kInvalid, bankHolds(1, "")},
        {"screenStoreBitmapBuffer,1,8,8", clearBanks, kMalformed, bankHolds(1, "")},
        {"screenStoreBitmapBuffer,1,8,8,8\r\n123", clearBanks, ">" + kMalformed, bankHolds(1, "")},
        {"screenStoreBitmapFile,2,8,1," + file, clearBanks, "ok", bankHolds(2, "pq")},
        {"screenStoreBitmapFile,2,8,1," + files.file("no.bin"), clearBanks, "error,11,Failed to open device",
         bankHolds(2, "")},
        {"screenStoreBitmapFile,4294967298,8,1," + file, clearBanks, kInvalid, bankHolds(2, "")},
        {"screenStoreBitmapFile,2,8,x," + file, clearBanks, kMalformed, bankHolds(2, "")},
    });
    client.println("help");
    int words = 0;
    for (std::string word = line(client); word != "ok" && word != "(none)"; word = line(client))
        ++words;
    EXPECT_EQ(words, 66);
}

// From a bitmap upload on, a request may pause up to 2000 ms between its
// octets (300 ms before, and again for the next client).
TEST_F(ServiceTest, AfterAnUploadTheReadTimeOutIsTwoSeconds)
{
    const std::string unknown = "error,3,The requested API ID is invalid, or not supported";
    const auto splitRequest = [this](TCPClient& to, int pauseMs) {
        to.print("getF");
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        to.println("WVer");
        return line(to);
    };
    startService();
    EXPECT_EQ(request("screenStoreBitmapBuffer,1,8,1,1\r\nA"), ">ok");
    EXPECT_EQ(splitRequest(client, 1000), "ok,1.2.3");
    EXPECT_EQ(splitRequest(client, 2600), unknown);
    TCPClient next;
    connect(next);
    EXPECT_EQ(splitRequest(next, 1000), unknown);
    next.close();
}

} // namespace
