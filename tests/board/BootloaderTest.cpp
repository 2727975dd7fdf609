// Bootloader flag and status layouts: every named bit of both layouts, the
// JSON forms and the rules of fromJson.
#include "board/BootloaderFlags.h"
#include "board/BootloaderStatus.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using nlohmann::json;
namespace Flags = tavo::Board::BootloaderFlags;
namespace Status = tavo::Board::BootloaderStatus;

namespace {

struct NamedBit {
    const char* name;
    int bit;
};

// Written from the layout tables, independently of the classes' own tables.
const std::vector<NamedBit> kCorvidStatus = {
    {"updateOk", 0}, {"updateReinstall", 1}, {"updateDowngrade", 2}, {"noFs", 3},
    {"generalError", 4}, {"invalidCode", 5}, {"ioError", 6}, {"wrongFirmware", 7},
    {"wrongVersion", 8}, {"wrongBoard", 9}, {"wrongBoardRev", 10}, {"wrongBuild", 11},
};
const std::vector<NamedBit> kLpcStatus = {
    {"updateOk", 0}, {"generalError", 1}, {"noCodeFound", 2}, {"invalidVTable", 3},
    {"invalidFwHeader", 4}, {"wrongCrc", 5}, {"wrongFirmware", 6}, {"wrongBoard", 7},
    {"wrongRevision", 8}, {"reinstall", 9}, {"downgrade", 10}, {"wrongBuild", 11},
    {"wrongVersion", 12},
};
const std::vector<NamedBit> kCorvidFlags = {
    {"allowReinstall", 0}, {"allowDowngrade", 1}, {"ignoreHeader", 4}, {"ignoreFirmware", 5},
    {"ignoreBoard", 6}, {"ignoreRevision", 7}, {"ignoreBuild", 8},
};
const std::vector<NamedBit> kLpcFlags = {
    {"ignoreVtable", 0}, {"ignoreHeader", 1}, {"ignoreCrc", 2}, {"ignoreFirmware", 3},
    {"ignoreBoard", 4}, {"ignoreRevision", 5}, {"allowReinstall", 6}, {"allowDowngrade", 7},
    {"ignoreBuild", 8},
};

std::bitset<16> word(unsigned long bits)
{
    return std::bitset<16>(bits);
}

std::bitset<16> only(int bit)
{
    return std::bitset<16>().set(static_cast<std::size_t>(bit));
}

// For each named bit alone, toJson shows exactly that member true.
template <typename T>
void expectEachBitNamed(const std::vector<NamedBit>& table, bool hasNoAction)
{
    for (const auto& row : table) {
        const json j = T(only(row.bit)).toJson();
        EXPECT_EQ(j.size(), table.size() + (hasNoAction ? 1 : 0)) << row.name;
        for (const auto& other : table) {
            EXPECT_EQ(j.at(other.name), other.bit == row.bit) << row.name << " / " << other.name;
        }
        if (hasNoAction) {
            EXPECT_EQ(j.at("noAction"), false) << row.name;
        }
    }
}

// For each named bit, fromJson with only that member true sets only that bit.
template <typename T>
void expectEachNameSetsItsBit(const std::vector<NamedBit>& table)
{
    for (const auto& row : table) {
        T flags(json{{row.name, true}});
        EXPECT_EQ(flags.toBitset() & ~std::bitset<16>(1), only(row.bit) & ~std::bitset<16>(1)) << row.name;
    }
}

} // namespace

TEST(BootloaderStatus, EveryNamedBitOfBothLayouts)
{
    expectEachBitNamed<Status::CorvidNX>(kCorvidStatus, true);
    expectEachBitNamed<Status::LPC176xFlashBoot>(kLpcStatus, true);
}

TEST(BootloaderStatus, NoActionOnlyWhenAllSixteenBitsClear)
{
    for (const json& j : {Status::CorvidNX().toJson(), Status::LPC176xFlashBoot(word(0)).toJson()}) {
        EXPECT_EQ(j.at("noAction"), true);
        for (const auto& [key, value] : j.items()) {
            if (key != "noAction") {
                EXPECT_EQ(value, false) << key;
            }
        }
    }
    for (const json& j : {Status::CorvidNX(only(15)).toJson(), Status::LPC176xFlashBoot(only(15)).toJson()}) {
        for (const auto& [key, value] : j.items()) {
            EXPECT_EQ(value, false) << key;
        }
    }
}

TEST(BootloaderStatus, SameWordReadsDifferentlyPerLayout)
{
    EXPECT_EQ(Status::CorvidNX(word(0x0001)).toJson().at("updateOk"), true);
    EXPECT_EQ(Status::LPC176xFlashBoot(word(0x0001)).toJson().at("updateOk"), true);
    EXPECT_EQ(Status::CorvidNX(word(0x0004)).toJson().at("updateDowngrade"), true);
    EXPECT_EQ(Status::LPC176xFlashBoot(word(0x0004)).toJson().at("noCodeFound"), true);
    EXPECT_EQ(Status::CorvidNX(word(0xF00D)).toBitset(), std::bitset<16>(0xF00D));
}

TEST(BootloaderStatus, SerialisedMembersInNameOrder)
{
    EXPECT_EQ(Status::CorvidNX(word(0x0001)).toJson().dump(),
              R"({"generalError":false,"invalidCode":false,"ioError":false,"noAction":false,"noFs":false,)"
              R"("updateDowngrade":false,"updateOk":true,"updateReinstall":false,"wrongBoard":false,)"
              R"("wrongBoardRev":false,"wrongBuild":false,"wrongFirmware":false,"wrongVersion":false})");
    EXPECT_EQ(Status::LPC176xFlashBoot().toJson().size(), 14u);
}

TEST(BootloaderFlags, EveryNamedBitOfBothLayouts)
{
    expectEachBitNamed<Flags::CorvidNX>(kCorvidFlags, false);
    expectEachBitNamed<Flags::LPC176xFlashBoot>(kLpcFlags, false);
    expectEachNameSetsItsBit<Flags::CorvidNX>(kCorvidFlags);
    expectEachNameSetsItsBit<Flags::LPC176xFlashBoot>(kLpcFlags);
}

TEST(BootloaderFlags, QueriesThroughTheInterfaceFollowTheLayout)
{
    struct Row {
        std::shared_ptr<Flags::Interface> flags;
        bool reinstall, downgrade, board, revision, header;
    };
    const std::vector<Row> rows = {
        {std::make_shared<Flags::CorvidNX>(only(0)), true, false, false, false, false},
        {std::make_shared<Flags::CorvidNX>(only(1)), false, true, false, false, false},
        {std::make_shared<Flags::CorvidNX>(only(6)), false, false, true, false, false},
        {std::make_shared<Flags::CorvidNX>(only(7)), false, false, false, true, false},
        {std::make_shared<Flags::CorvidNX>(only(4)), false, false, false, false, true},
        {std::make_shared<Flags::LPC176xFlashBoot>(only(6)), true, false, false, false, false},
        {std::make_shared<Flags::LPC176xFlashBoot>(only(7)), false, true, false, false, false},
        {std::make_shared<Flags::LPC176xFlashBoot>(only(4)), false, false, true, false, false},
        {std::make_shared<Flags::LPC176xFlashBoot>(only(5)), false, false, false, true, false},
        {std::make_shared<Flags::LPC176xFlashBoot>(only(1)), false, false, false, false, true},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& r = rows[i];
        EXPECT_EQ(r.flags->allowReinstall(), r.reinstall) << i;
        EXPECT_EQ(r.flags->allowDowngrade(), r.downgrade) << i;
        EXPECT_EQ(r.flags->ignoreBoard(), r.board) << i;
        EXPECT_EQ(r.flags->ignoreRevision(), r.revision) << i;
        EXPECT_EQ(r.flags->ignoreHeader(), r.header) << i;
    }

    const Flags::CorvidNX corvid(word(0x0041));
    EXPECT_TRUE(corvid.allowReinstall());
    EXPECT_TRUE(corvid.ignoreBoard());
    const Flags::LPC176xFlashBoot lpc(word(0x0041));
    EXPECT_TRUE(lpc.ignoreVtable());
    EXPECT_TRUE(lpc.allowReinstall());
    EXPECT_FALSE(lpc.ignoreBoard());
    EXPECT_TRUE(Flags::CorvidNX(only(8)).ignoreBuild());
    EXPECT_TRUE(Flags::LPC176xFlashBoot(only(8)).ignoreBuild());
    EXPECT_TRUE(Flags::CorvidNX(only(5)).ignoreFirmware());
    EXPECT_TRUE(Flags::LPC176xFlashBoot(only(3)).ignoreFirmware());
    EXPECT_TRUE(Flags::LPC176xFlashBoot(only(2)).ignoreCrc());
}

TEST(BootloaderFlags, LpcLayoutAlwaysWritesIgnoreVtable)
{
    const Flags::LPC176xFlashBoot lpc(word(0));
    EXPECT_FALSE(lpc.ignoreVtable());
    EXPECT_EQ(lpc.toJson().at("ignoreVtable"), false);
    EXPECT_EQ(lpc.toBitset(), std::bitset<16>(0x0001));
    EXPECT_EQ(Flags::LPC176xFlashBoot(word(0x0180)).toBitset(), std::bitset<16>(0x0181));
}

TEST(BootloaderFlags, UnnamedBitsKeptButNeverShown)
{
    const Flags::CorvidNX corvid(word(0x000C));
    EXPECT_EQ(corvid.toBitset(), std::bitset<16>(0x000C));
    const json j = corvid.toJson();
    EXPECT_EQ(j.size(), 7u);
    for (const auto& [key, value] : j.items()) {
        EXPECT_EQ(value, false) << key;
    }
    EXPECT_EQ(j.dump(),
              R"({"allowDowngrade":false,"allowReinstall":false,"ignoreBoard":false,"ignoreBuild":false,)"
              R"("ignoreFirmware":false,"ignoreHeader":false,"ignoreRevision":false})");
    EXPECT_EQ(Flags::LPC176xFlashBoot().toJson().size(), 9u);
}

TEST(BootloaderFlags, FromJsonTakesOnlyBooleansOfKnownNames)
{
    Flags::CorvidNX flags;
    flags.fromJson(json{{"allowDowngrade", true}, {"ignoreBoard", 1}, {"notAFlag", true}});
    EXPECT_EQ(flags.toBitset(), std::bitset<16>(0x0002));

    Flags::CorvidNX keep(std::bitset<16>(0xF1FF));
    keep.fromJson(json{{"ignoreBuild", false}});
    EXPECT_EQ(keep.toBitset(), std::bitset<16>(0xF0FF));

    for (const json& notObject : {json::array({true}), json("allowReinstall"), json(nullptr)}) {
        Flags::LPC176xFlashBoot lpc(std::bitset<16>(0x00F0));
        lpc.fromJson(notObject);
        EXPECT_EQ(lpc.toBitset(), std::bitset<16>(0x00F1)) << notObject.dump();
        EXPECT_EQ(Flags::CorvidNX(notObject).toBitset(), std::bitset<16>(0)) << notObject.dump();
    }
}

TEST(BootloaderFlags, JsonRoundTripsThroughBothLayouts)
{
    for (unsigned word = 0; word < 0x200; word += 7) {
        const Flags::CorvidNX corvid{std::bitset<16>(word)};
        EXPECT_EQ(Flags::CorvidNX(corvid.toJson()).toBitset(), std::bitset<16>(word & 0x1F3)) << word;
        const Flags::LPC176xFlashBoot lpc{std::bitset<16>(word)};
        EXPECT_EQ(Flags::LPC176xFlashBoot(lpc.toJson()).toBitset(), std::bitset<16>(word | 1)) << word;
    }
}
