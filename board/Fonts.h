// The microcontroller's LCD fonts: index (as sent with the font request) to a
// description of typeface, cell size, character set and width. Nothing checks
// an index against this table; it documents what the device holds.
#pragma once

#include <map>
#include <string>

namespace tavo::Board {

// Built once at program start, read-only afterwards.
extern const std::map<unsigned long, std::string> mFonts;

} // namespace tavo::Board
