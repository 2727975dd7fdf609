#include "board/Fonts.h"

namespace tavo::Board {

const std::map<unsigned long, std::string> mFonts = {
    {0, "Default(Normally points to TAVO_5x7)."},
    {1, "Tavo (5x7, Latin, Greek, variable-width)"},
    {2, "Arial (10x14, Latin, variable-width)"},
    {3, "Arial Bold (10x14, Latin, variable-width)"},
    {4, "Calibri Black (28x36, Latin, variable-width)"},
    {5, "Calibri (10x10, Latin, variable-width)"},
    {6, "Calibri Bold (10x11, Latin, variable-width)"},
    {7, "Calibri (10x11, Latin, variable-width)"},
    {8, "Calibri Italic (10x11, Latin, variable-width)"},
    {9, "Calibri (10x14, Latin, variable-width)"},
    {10, "Calibri Bold (10x15, Latin, variable-width)"},
    {11, "Calibri (10x15, Latin, variable-width)"},
    {12, "Calibri Bold (10x23, Latin, variable-width)"},
    {13, "Calibri Bold (28x33, Latin, variable-width)"},
    {14, "Calibri Lite (10x25, Latin, variable-width)"},
    {15, "Cooper (10x19, Latin, variable-width)"},
    {16, "Cooper (10x21, Latin, variable-width)"},
    {17, "Cooper (10x26, Latin, variable-width)"},
    {18, "Corsiva (10x11, Latin, variable-width)"},
    {19, "CP437 (8x8, Latin, variable-width)"},
    {20, "Fixed Bold (10x15, Latin, fixed-width)"},
    {21, "Fixed (15x31, Digits, fixed-width)"},
    {22, "Fixed (7x15, Digits, fixed-width)"},
    {23, "Fixed (8x15, Digits, fixed-width)"},
    {24, "Font (8x8, Latin, variable-width)"},
    {25, "Opal (5x7, Latin, variable-width)"},
    {26, "LCD (11x15, Digits, variable-width)"},
    {27, "LCD (13x23, Digits, variable-width)"},
    {28, "New Basic (3x5, Latin, variable-width)"},
    {29, "Roosewood (10x22, Latin, variable-width)"},
    {30, "Roosewood (10x26, Latin, variable-width)"},
    {31, "System (5x7, Latin, variable-width)"},
    {32, "Times New Roman (10x13, Latin, variable-width)"},
    {33, "Times New Roman Italic (10x13, Latin, variable-width)"},
    {34, "Times New Roman Bold (10x16, Latin, variable-width)"},
};

} // namespace tavo::Board
