// The LCD through the manager: requests as they reach the board, object ids,
// alignment codes, and the backlight on colour and single-colour boards.

#include "ManagerFixture.h"

using tavo::Board::Color;
using tavo::Board::ErrorCode;
using Requests = std::vector<std::vector<uint8_t>>;
namespace Align = tavo::Board::Screen::Align;

namespace {

class ManagerLcdTest : public ManagerTest {
protected:
    void openBoard(bool colourBacklight)
    {
        BoardProfile profile;
        profile.colourBacklight = colourBacklight;
        open(profile);
        settle();
        capture.clear();
    }

    void setBacklight(uint32_t value)
    {
        boardState([value](SimDeviceState& s) { return s.backlightColour = value; });
    }
};

} // namespace

TEST_F(ManagerLcdTest, ScreenStateRequests)
{
    openBoard(true);
    EXPECT_EQ(manager->lcdEnabledSet(false), ErrorCode::Ok);
    bool on = true;
    bool idle = true;
    EXPECT_EQ(manager->lcdEnabledGet(on), ErrorCode::Ok);
    EXPECT_FALSE(on);
    EXPECT_EQ(manager->lcdEnabledSet(true), ErrorCode::Ok);
    EXPECT_EQ(manager->lcdEnabledGet(on), ErrorCode::Ok);
    EXPECT_TRUE(on);
    EXPECT_EQ(manager->lcdIdleGet(idle), ErrorCode::Ok);
    EXPECT_FALSE(idle);
    boardState([](SimDeviceState& s) { return s.screenStatus = 2; });
    EXPECT_EQ(manager->lcdIdleGet(idle), ErrorCode::Ok);
    EXPECT_TRUE(idle);
    EXPECT_EQ(manager->lcdEnabledGet(on), ErrorCode::Ok);
    EXPECT_TRUE(on);
    EXPECT_EQ(manager->lcdClear(), ErrorCode::Ok);

    int width = 0;
    int height = 0;
    EXPECT_EQ(manager->lcdGetWidth(width), ErrorCode::Ok);
    EXPECT_EQ(manager->lcdGetHeight(height), ErrorCode::Ok);
    EXPECT_EQ(width, 128);
    EXPECT_EQ(height, 64);
    EXPECT_EQ(sent(), (Requests{{8, 0}, {8, 9}, {8, 1}, {8, 9}, {8, 9}, {8, 9}, {8, 9}, {8, 2}, {8, 7}, {8, 8}}));
    for (const char* name : {"lcdEnabledSet", "lcdEnabledGet", "lcdIdleGet", "lcdClear", "lcdGetWidth",
                             "lcdGetHeight"}) {
        EXPECT_TRUE(capture.contains(std::string("[Manager] ") + name)) << name;
    }
}

TEST_F(ManagerLcdTest, DrawnObjectsReturnTheBoardsIds)
{
    openBoard(true);
    unsigned text = 0;
    unsigned bitmap = 0;
    unsigned blank = 0;
    EXPECT_EQ(manager->lcdDrawText(text, "Hi", 1, 2, 300, 4), ErrorCode::Ok);
    EXPECT_EQ(manager->lcdDrawBitmap(bitmap, 3, 5, 6, 7, 8), ErrorCode::Ok);
    EXPECT_EQ(manager->lcdDrawBlank(blank, 9, 10, 11, 12), ErrorCode::Ok);
    EXPECT_EQ(manager->lcdRemoveObject(bitmap), ErrorCode::Ok);
    EXPECT_EQ(sent(), (Requests{{8, 32, 0, 1, 0, 2, 1, 44, 0, 4, 'H', 'i'},
                                {8, 34, 3, 0, 5, 0, 6, 0, 7, 0, 8},
                                {8, 24, 0, 9, 0, 10, 0, 11, 0, 12},
                                {8, 23, 0, 0, 0, uint8_t(bitmap)}}));

    const auto objects = boardState([](SimDeviceState& s) { return s.objects; });
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects.at(text).text, "Hi");
    EXPECT_EQ(objects.at(blank).kind, SimScreenObject::Blank);
    EXPECT_NE(text, blank);
    EXPECT_EQ(manager->lcdRemoveObject(bitmap), ErrorCode::InvalidArgument);
}

TEST_F(ManagerLcdTest, FontSpacingAndAlignmentCodes)
{
    openBoard(true);
    EXPECT_EQ(manager->lcdTextFontSet(3), ErrorCode::Ok);
    EXPECT_EQ(manager->lcdTextFontSet(0x105), ErrorCode::Ok);
    EXPECT_EQ(manager->lcdTextFontSet(40), ErrorCode::InvalidArgument);
    EXPECT_EQ(manager->lcdTextSpacingSet(2), ErrorCode::Ok);
    EXPECT_EQ(manager->lcdTextAlignSet(Align::Horizontal::right, Align::Vertical::bottom), ErrorCode::Ok);
    EXPECT_EQ(manager->lcdTextAlignSet(Align::Horizontal::centre, Align::Vertical::top), ErrorCode::Ok);
    EXPECT_EQ(manager->lcdTextAlignSet(Align::Horizontal::left, Align::Vertical::middle), ErrorCode::Ok);
    EXPECT_EQ(manager->lcdTextAlignSet(static_cast<Align::Horizontal>(7), static_cast<Align::Vertical>(9)),
              ErrorCode::Ok);
    EXPECT_EQ(sent(), (Requests{{8, 15, 3}, {8, 15, 5}, {8, 15, 40}, {8, 16, 2}, {8, 18, 34}, {8, 18, 1},
                                {8, 18, 16}, {8, 18, 1}}));
    EXPECT_EQ(boardState([](SimDeviceState& s) { return s.font; }), 5);
}

TEST_F(ManagerLcdTest, ColourBacklightPacksRedFirst)
{
    openBoard(true);
    EXPECT_EQ(manager->lcdBacklightColorSet(Color(0x11, 0x22, 0x33)), ErrorCode::Ok);
    EXPECT_EQ(boardState([](SimDeviceState& s) { return s.backlightColour; }), 0x332211u);
    setBacklight(0x445566);
    Color color(1, 2, 3);
    EXPECT_EQ(manager->lcdBacklightColorGet(color), ErrorCode::Ok);
    EXPECT_EQ(color.r, 0x66);
    EXPECT_EQ(color.g, 0x55);
    EXPECT_EQ(color.b, 0x44);
    EXPECT_EQ(sent(), (Requests{{8, 35, 0x11, 0x22, 0x33}, {8, 36}}));
}

TEST_F(ManagerLcdTest, ColourBacklightIsSwitchedWithOneAndReadOnWhenLit)
{
    openBoard(true);
    EXPECT_EQ(manager->lcdBacklightEnabledSet(true), ErrorCode::Ok);
    EXPECT_EQ(manager->lcdBacklightEnabledSet(false), ErrorCode::Ok);
    EXPECT_EQ(sent(), (Requests{{8, 35, 1, 0, 0}, {8, 35, 0, 0, 0}}));
    bool on = true;
    EXPECT_EQ(manager->lcdBacklightEnabledGet(on), ErrorCode::Ok);
    EXPECT_FALSE(on);
    setBacklight(0x010000);
    EXPECT_EQ(manager->lcdBacklightEnabledGet(on), ErrorCode::Ok);
    EXPECT_TRUE(on);
}

TEST_F(ManagerLcdTest, SingleColourBoardRefusesColoursBeforeSending)
{
    openBoard(false);
    Color color(9, 9, 9);
    EXPECT_EQ(manager->lcdBacklightColorSet(Color(1, 2, 3)), ErrorCode::NotSupported);
    EXPECT_EQ(manager->lcdBacklightColorGet(color), ErrorCode::NotSupported);
    EXPECT_EQ(color.r, 9);
    EXPECT_EQ(sent(), Requests{});
    EXPECT_TRUE(capture.contains("[Manager] lcdBacklightColorSet"));
    EXPECT_TRUE(capture.contains("[Manager] lcdBacklightColorGet"));
}

// Set and read agree: on is 255, read back as on through the low 8 bits.
TEST_F(ManagerLcdTest, SingleColourBacklightIsSwitchedWith255)
{
    openBoard(false);
    bool on = false;
    EXPECT_EQ(manager->lcdBacklightEnabledSet(true), ErrorCode::Ok);
    EXPECT_EQ(manager->lcdBacklightEnabledGet(on), ErrorCode::Ok);
    EXPECT_TRUE(on);
    EXPECT_EQ(manager->lcdBacklightEnabledSet(false), ErrorCode::Ok);
    EXPECT_EQ(manager->lcdBacklightEnabledGet(on), ErrorCode::Ok);
    EXPECT_FALSE(on);
    EXPECT_EQ(sent(), (Requests{{8, 35, 255, 0, 0}, {8, 36}, {8, 35, 0, 0, 0}, {8, 36}}));

    setBacklight(0x0012FF);
    EXPECT_EQ(manager->lcdBacklightEnabledGet(on), ErrorCode::Ok);
    EXPECT_TRUE(on);
    setBacklight(0x0000FE);
    EXPECT_EQ(manager->lcdBacklightEnabledGet(on), ErrorCode::Ok);
    EXPECT_FALSE(on);
}
