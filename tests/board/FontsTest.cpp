#include "board/Fonts.h"

#include <gtest/gtest.h>

TEST(Fonts, ThirtyFiveRowsInIndexOrder)
{
    const auto& fonts = tavo::Board::mFonts;
    ASSERT_EQ(fonts.size(), 35u);
    unsigned long expected = 0;
    for (const auto& [index, description] : fonts) {
        EXPECT_EQ(index, expected++);
        EXPECT_FALSE(description.empty());
    }
    EXPECT_EQ(fonts.at(0), "Default(Normally points to TAVO_5x7).");
    EXPECT_EQ(fonts.at(1), "Tavo (5x7, Latin, Greek, variable-width)");
    EXPECT_EQ(fonts.at(21), "Fixed (15x31, Digits, fixed-width)");
    EXPECT_EQ(fonts.at(34), "Times New Roman Bold (10x16, Latin, variable-width)");
}
