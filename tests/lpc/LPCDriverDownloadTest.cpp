// Firmware parameters, bitmap uploads and firmware downloads against the
// simulated board, which checks segment order, decodes the zero-run code
// and verifies the image CRC on its own.

#include <stdexcept>

#include "DriverFixture.h"

namespace {

using Octets = std::vector<uint8_t>;

// Collects the driver's events; optionally runs an action on each.
struct EventLog {
    std::mutex mutex;
    std::vector<std::string> values;
    std::function<void(const std::string&)> action;

    static void handler(const LPCEvent& event, void* user)
    {
        auto* self = static_cast<EventLog*>(user);
        if (event.type != LPCEvent::DownloadProgress || event.name != "downloadProgress")
            return;
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            self->values.push_back(event.value);
        }
        if (self->action)
            self->action(event.value);
    }
    std::vector<std::string> taken()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return values;
    }
};

Octets pattern(size_t size, uint8_t seed)
{
    Octets out(size);
    for (size_t i = 0; i < size; ++i)
        out[i] = uint8_t(seed + i * 7 + 1) | 1; // never zero: does not compress
    return out;
}

// A bitmap with long blank stretches, as LCD pictures have.
Octets sparse(size_t size)
{
    Octets out(size, 0);
    for (size_t i = 0; i < size; i += 50)
        out[i] = uint8_t(i / 50 + 1);
    return out;
}

Octets idAndData(const API_Message_t& m)
{
    Octets out{m.ID};
    out.insert(out.end(), m.Data, m.Data + m.Size);
    return out;
}

Octets nameOctets(const std::string& name)
{
    return Octets(name.begin(), name.end());
}

Octets operator+(Octets a, const Octets& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class DownloadTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        driver.registerEventHandler(&EventLog::handler, &events);
    }
    void TearDown() override { driver.registerEventHandler(nullptr, nullptr); }

    template <typename F>
    auto state(F&& f)
    {
        return board.device().access(std::forward<F>(f));
    }

    EventLog events;
};

// ---- Firmware parameters ---------------------------------------------------

TEST_F(DownloadTest, ParametersOfEachTypeAreReadWithTheirVariantType)
{
    Variant value;
    ASSERT_EQ(driver.getFirmwareParameter("MAX_SHUTDOWN_DELAY", value), LPCDriver::NoError);
    EXPECT_EQ(value, Variant(600u));
    EXPECT_EQ(value.type(), Variant::UInt);
    EXPECT_EQ(idAndData(board.requests().back().message),
              Octets({0, 7}) + nameOctets("MAX_SHUTDOWN_DELAY") + Octets({0}));

    ASSERT_EQ(driver.getFirmwareParameter("HEATER_ON_BELOW", value), LPCDriver::NoError);
    EXPECT_EQ(value.type(), Variant::Double);
    EXPECT_EQ(value.toDouble(), -10.5);

    ASSERT_EQ(driver.getFirmwareParameter("SITE_NAME", value), LPCDriver::NoError);
    EXPECT_EQ(value, Variant("depot"));
}

TEST_F(DownloadTest, ParametersOfEachTypeAreWrittenInTheirWireForm)
{
    ASSERT_EQ(driver.setFirmwareParameter("ACC_G_THRESHOLD", Variant(-5)), LPCDriver::NoError);
    EXPECT_EQ(idAndData(board.requests().back().message),
              Octets({0, 8}) + nameOctets("ACC_G_THRESHOLD") + Octets({0, 1, 0xFB, 0xFF, 0xFF, 0xFF}));

    ASSERT_EQ(driver.setFirmwareParameter("HEATER_ON_BELOW", Variant(2.25)), LPCDriver::NoError);
    EXPECT_EQ(idAndData(board.requests().back().message),
              Octets({0, 8}) + nameOctets("HEATER_ON_BELOW") + Octets({0, 2, 0, 0, 0, 0, 0, 0, 0x02, 0x40}));

    ASSERT_EQ(driver.setFirmwareParameter("SITE_NAME", Variant("north")), LPCDriver::NoError);
    EXPECT_EQ(idAndData(board.requests().back().message),
              Octets({0, 8}) + nameOctets("SITE_NAME") + Octets({0, 3, 'n', 'o', 'r', 't', 'h', 0}));

    Variant value;
    ASSERT_EQ(driver.getFirmwareParameter("ACC_G_THRESHOLD", value), LPCDriver::NoError);
    EXPECT_EQ(value, Variant(4294967291u)); // read back unsigned
    ASSERT_EQ(driver.getFirmwareParameter("HEATER_ON_BELOW", value), LPCDriver::NoError);
    EXPECT_EQ(value.toDouble(), 2.25);
    ASSERT_EQ(driver.getFirmwareParameter("SITE_NAME", value), LPCDriver::NoError);
    EXPECT_EQ(value, Variant("north"));

    ASSERT_EQ(driver.setFirmwareDefaults(), LPCDriver::NoError);
    ASSERT_EQ(driver.getFirmwareParameter("SITE_NAME", value), LPCDriver::NoError);
    EXPECT_EQ(value, Variant("depot"));
}

TEST_F(DownloadTest, AbsentParameterIsTheBoardsRefusal)
{
    state([](SimDeviceState& s) { s.unknownParameters.insert("MAX_SHUTDOWN_DELAY"); });
    Variant value("untouched");
    EXPECT_EQ(driver.getFirmwareParameter("MAX_SHUTDOWN_DELAY", value), LPCDriver::InvalidParameter);
    EXPECT_EQ(value, Variant("untouched"));
    EXPECT_EQ(board.requests().size(), 1u);
}

TEST_F(DownloadTest, RepliesThatDoNotFitTheReadLayoutGiveMalformedPacket)
{
    const Octets name = nameOctets("ABC");
    const std::vector<std::pair<const char*, Octets>> replies = {
        {"empty", {}},
        {"no zero after the name", Octets({7}) + name},
        {"other name", Octets({7}) + nameOctets("ABD") + Octets({0, 1, 1, 0, 0, 0})},
        {"shorter name", Octets({7}) + nameOctets("AB") + Octets({0, 1, 1, 0, 0, 0})},
        {"no type code", Octets({7}) + name + Octets({0})},
        {"integer one octet long", Octets({7}) + name + Octets({0, 1, 1, 0, 0, 0, 0})},
        {"integer one octet short", Octets({7}) + name + Octets({0, 1, 1, 0, 0})},
        {"double one octet short", Octets({7}) + name + Octets({0, 2, 0, 0, 0, 0, 0, 0, 0})},
        {"text without its zero", Octets({7}) + name + Octets({0, 3, 'x', 'y'})},
        {"unknown type code", Octets({7}) + name + Octets({0, 4, 1, 0, 0, 0})},
    };
    for (const auto& reply : replies) {
        board.forceReply(0, 7, 0, reply.second);
        Variant value("untouched");
        EXPECT_EQ(driver.getFirmwareParameter("ABC", value), LPCDriver::MalformedPacket) << reply.first;
        EXPECT_EQ(value, Variant("untouched")) << reply.first;
    }

    board.forceReply(0, 7, 0, Octets({7}) + name + Octets({0, 3, 'o', 'k', 0, 'z'}));
    Variant value;
    EXPECT_EQ(driver.getFirmwareParameter("ABC", value), LPCDriver::NoError);
    EXPECT_EQ(value, Variant("ok"));
}

TEST_F(DownloadTest, RefusedParameterArgumentsSendNothing)
{
    Variant value("untouched");
    EXPECT_EQ(driver.getFirmwareParameter(std::string(30, 'N'), value), LPCDriver::InvalidParameter);
    EXPECT_EQ(driver.setFirmwareParameter(std::string(30, 'N'), Variant(1)), LPCDriver::InvalidParameter);
    EXPECT_EQ(driver.setFirmwareParameter("SITE_NAME", Variant(std::string(50, 's'))), LPCDriver::InvalidParameter);
    EXPECT_EQ(driver.setFirmwareParameter("SITE_NAME", Variant(true)), LPCDriver::InvalidParameter);
    EXPECT_EQ(driver.setFirmwareParameter("ACC_G_DURATION", Variant(5u)), LPCDriver::InvalidParameter);
    EXPECT_EQ(driver.setFirmwareParameter("ACC_G_DURATION", Variant()), LPCDriver::InvalidParameter);
    EXPECT_EQ(value, Variant("untouched"));
    EXPECT_TRUE(board.requests().empty());

    // The limits themselves are accepted.
    EXPECT_EQ(driver.setFirmwareParameter("SITE_NAME", Variant(std::string(49, 's'))), LPCDriver::NoError);
    EXPECT_EQ(driver.getFirmwareParameter(std::string(29, 'N'), value), LPCDriver::InvalidParameter); // board: unknown
    EXPECT_EQ(board.requests().size(), 2u);
}

// ---- Bitmaps ---------------------------------------------------------------

TEST_F(DownloadTest, UncompressedBitmapArrivesInItsBank)
{
    const Octets data = pattern(300, 3);
    ASSERT_EQ(driver.screenStoreBitmap(4, 48, 50, data, false), LPCDriver::NoError);

    const auto log = board.requests();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(idAndData(log[0].message), (Octets({8, 33, 0, 4, 0, 48, 0, 50, 0x01, 0x2C, 3})));
    EXPECT_EQ(idAndData(log[1].message), Octets({8, 33, 1}) + Octets(data.begin(), data.begin() + 128));
    EXPECT_EQ(log[2].message.Size, 130);
    EXPECT_EQ(log[3].message.Size, 46);
    EXPECT_EQ(log[3].message.Data[1], 3);
    const SimBitmapBank bank = state([](SimDeviceState& s) { return s.bitmapBanks[4]; });
    EXPECT_EQ(bank.width, 48);
    EXPECT_EQ(bank.height, 50);
    EXPECT_EQ(bank.pixels, data);
}

TEST_F(DownloadTest, CompressedBitmapIsDecodedIntoItsBank)
{
    const Octets data = sparse(1000);
    ASSERT_EQ(driver.screenStoreBitmap(2, 80, 100, data, true), LPCDriver::NoError);

    const auto log = board.requests();
    ASSERT_GE(log.size(), 2u);
    const API_Message_t& header = log[0].message;
    ASSERT_EQ(header.Size, 12);
    const size_t compressed = size_t(header.Data[10] << 8 | header.Data[11]);
    EXPECT_LT(compressed, data.size());
    EXPECT_EQ(header.Data[7] << 8 | header.Data[8], 1000);
    EXPECT_EQ(header.Data[9], (compressed + 127) / 128);
    EXPECT_EQ(log.size(), 1 + size_t(header.Data[9]));
    EXPECT_EQ(state([](SimDeviceState& s) { return s.bitmapBanks[2].pixels; }), data);
    EXPECT_TRUE(countLines(logs, "Compressed data 1000 byte --> ") == 1);
    EXPECT_EQ(countLines(logs, "Image download completed in "), 1);
}

TEST_F(DownloadTest, BitmapThatDoesNotShrinkIsSentAsItIs)
{
    const Octets data = pattern(200, 9);
    ASSERT_EQ(driver.screenStoreBitmap(1, 40, 40, data, true), LPCDriver::NoError);
    EXPECT_EQ(board.requests()[0].message.Size, 10);
    EXPECT_EQ(countLines(logs, "Compression yielded more data (uncompr=200, compr="), 1);
    EXPECT_EQ(state([](SimDeviceState& s) { return s.bitmapBanks[1].pixels; }), data);
}

TEST_F(DownloadTest, FailingBitmapHeaderEndsTheUpload)
{
    board.forceReply(8, 33, 1, {33});
    EXPECT_EQ(driver.screenStoreBitmap(1, 8, 8, pattern(300, 1), false), LPCDriver::GeneralError);
    EXPECT_EQ(board.requests().size(), 1u);
}

// ---- Firmware --------------------------------------------------------------

TEST_F(DownloadTest, FirmwareImageIsInstalledAfterReset)
{
    const Octets image = pattern(8192, 5);
    ASSERT_EQ(driver.updateFirmware(image), LPCDriver::NoError);
    EXPECT_EQ(events.taken(), (std::vector<std::string>{"0", "50", "100", "100"}));
    EXPECT_EQ(board.requests().size(), 65u);

    ASSERT_EQ(driver.resetSystem(), LPCDriver::NoError);
    ASSERT_TRUE(board.waitForRequests(66, 2000));
    int status = -1;
    ASSERT_EQ(driver.getBootStatus(status), LPCDriver::NoError);
    EXPECT_EQ(status, 0x0001);
    EXPECT_EQ(state([](SimDeviceState& s) { return s.installedFirmware; }), image);
}

TEST_F(DownloadTest, FirmwareHeaderCarriesSizeCrcAndSegmentCount)
{
    const Octets digits{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    ASSERT_EQ(driver.updateFirmware(digits), LPCDriver::NoError);
    const auto log = board.requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(idAndData(log[0].message), (Octets({12, 0, 0, 0, 0, 0, 0, 9, 0xD2, 0x02, 0xD2, 0x77, 0, 1})));
    EXPECT_EQ(idAndData(log[1].message), Octets({12, 0, 0, 1}) + digits);
}

TEST_F(DownloadTest, EmptyAndShortImagesReportStartAndEndOnly)
{
    ASSERT_EQ(driver.updateFirmware({}), LPCDriver::NoError);
    EXPECT_EQ(idAndData(board.requests()[0].message),
              (Octets({12, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0})));
    EXPECT_EQ(events.taken(), (std::vector<std::string>{"0", "100"}));

    ASSERT_EQ(driver.updateFirmware(pattern(1000, 1)), LPCDriver::NoError);
    const auto log = board.requests();
    ASSERT_EQ(log.size(), 1u + 1u + 8u);
    EXPECT_EQ(log.back().message.Size, 3 + 104);
    EXPECT_EQ(events.taken(), (std::vector<std::string>{"0", "100", "0", "100"}));
}

// The reply to a segment in the middle is lost: the driver sends the segment
// again, the board accepts the repeat, and the image is still whole.
TEST_F(DownloadTest, LostReplyMidDownloadIsRecoveredByRetransmission)
{
    events.action = [this](const std::string& value) {
        if (value == "50")
            board.corruptNextFcs(1);
    };
    const Octets image = pattern(8192, 8);
    ASSERT_EQ(driver.updateFirmware(image), LPCDriver::NoError);
    EXPECT_EQ(driver.getStats().retransmitted, 1u);
    EXPECT_EQ(board.requests().size(), 66u);

    ASSERT_EQ(driver.resetSystem(), LPCDriver::NoError);
    ASSERT_TRUE(board.waitForRequests(67, 2000));
    const SimTransfer download = state([](SimDeviceState& s) { return s.firmwareDownload; });
    EXPECT_EQ(download.repeats, 1);
    EXPECT_FALSE(download.sawOutOfOrder);
    EXPECT_FALSE(download.sawInterleaved);
    int status = -1;
    ASSERT_EQ(driver.getBootStatus(status), LPCDriver::NoError);
    EXPECT_EQ(status, 0x0001);
}

TEST_F(DownloadTest, FailingSegmentEndsTheDownload)
{
    events.action = [this](const std::string& value) {
        if (value == "0")
            board.forceReply(12, 0, 1, {0});
    };
    EXPECT_EQ(driver.updateFirmware(pattern(1000, 2)), LPCDriver::GeneralError);
    EXPECT_EQ(board.requests().size(), 2u); // the header and the first data segment
    EXPECT_EQ(events.taken(), (std::vector<std::string>{"0"}));

    ASSERT_EQ(driver.resetSystem(), LPCDriver::NoError);
    ASSERT_TRUE(board.waitForRequests(3, 2000));
    int status = -1;
    ASSERT_EQ(driver.getBootStatus(status), LPCDriver::NoError);
    EXPECT_EQ(status, 0x0002);
}

// ---- Guards ----------------------------------------------------------------

// Transfers whose counters or size fields would wrap are refused before the
// first octet goes out, and no progress is reported.
TEST_F(DownloadTest, OversizedTransfersAreRefusedWithoutTraffic)
{
    const size_t limit = LPCDriver::kMaxBitmapSegments * LPCDriver::kSegmentSize;
    EXPECT_EQ(driver.screenStoreBitmap(0, 8, 8, pattern(limit + 1, 1), false), LPCDriver::InvalidParameter);
    EXPECT_EQ(driver.screenStoreBitmap(0, 8, 8, pattern(limit + 1, 1), true), LPCDriver::InvalidParameter);
    // Compresses to a few hundred octets, but its size does not fit 16 bits.
    EXPECT_EQ(driver.screenStoreBitmap(0, 8, 8, sparse(65536), true), LPCDriver::InvalidParameter);
    const Octets firmware(LPCDriver::kMaxFirmwareSegments * LPCDriver::kSegmentSize + 1, 0x5A);
    EXPECT_EQ(driver.updateFirmware(firmware), LPCDriver::InvalidParameter);
    EXPECT_TRUE(board.requests().empty());
    EXPECT_TRUE(events.taken().empty());

    // The largest bitmap that fits still goes out.
    ASSERT_EQ(driver.screenStoreBitmap(0, 8, 8, pattern(limit, 1), false), LPCDriver::NoError);
    EXPECT_EQ(exchanges(), 1u + LPCDriver::kMaxBitmapSegments);
}

// During a download a reply is awaited for 1000 ms; afterwards the previous
// timeout applies again, also when the download failed or the progress
// handler threw.
TEST_F(DownloadTest, ReceiveTimeoutIsRestoredWhateverHappens)
{
    board.setSilent(true);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(driver.updateFirmware(pattern(10, 1)), LPCDriver::Timeout);
    EXPECT_GE(msSince(start), 1900.0);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(driver.heartbeat(), LPCDriver::Timeout);
    EXPECT_LT(msSince(start), 900.0);

    board.setSilent(false);
    events.action = [](const std::string&) { throw std::runtime_error("handler failed"); };
    EXPECT_THROW(driver.updateFirmware(pattern(10, 1)), std::runtime_error);
    events.action = nullptr;
    board.setSilent(true);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(driver.heartbeat(), LPCDriver::Timeout);
    EXPECT_LT(msSince(start), 900.0);

    // The lock was released too: another download runs.
    board.setSilent(false);
    EXPECT_EQ(driver.updateFirmware(pattern(10, 1)), LPCDriver::NoError);
}

// Downloads started at once from several threads run one after the other:
// the board never sees their segments mixed, and every transfer completes.
TEST_F(DownloadTest, ConcurrentDownloadsWaitForEachOther)
{
    const Octets first = pattern(40 * 128, 1);
    const Octets second = pattern(40 * 128, 2);
    const Octets bitmap = pattern(20 * 128, 3);
    std::vector<LPCDriver::ErrorCode> results(4, LPCDriver::UnknownError);
    std::vector<std::thread> threads;
    threads.emplace_back([&] { results[0] = driver.updateFirmware(first); });
    threads.emplace_back([&] { results[1] = driver.updateFirmware(second); });
    threads.emplace_back([&] { results[2] = driver.screenStoreBitmap(3, 8, 8, bitmap, false); });
    threads.emplace_back([&] { results[3] = driver.screenStoreBitmap(3, 8, 8, bitmap, false); });
    for (auto& t : threads)
        t.join();
    for (auto result : results)
        EXPECT_EQ(result, LPCDriver::NoError);

    state([&](SimDeviceState& s) {
        for (const SimTransfer* t : {&s.firmwareDownload, &s.bitmapUpload}) {
            EXPECT_EQ(t->abandoned, 0);
            EXPECT_FALSE(t->sawInterleaved);
            EXPECT_FALSE(t->sawOutOfOrder);
        }
        EXPECT_TRUE(s.firmwareDownload.received == first || s.firmwareDownload.received == second);
        EXPECT_EQ(s.bitmapBanks[3].pixels, bitmap);
    });
}

} // namespace
