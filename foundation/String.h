#pragma once
// Static text helpers used throughout the program. All functions are
// reentrant: they keep no state and may be called from any thread.
// Character classes are those of the C library's default locale; numbers go
// through string streams in the classic locale.

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

class String
{
public:
    String() = delete;

    // Splits at every character of delims; empty pieces are dropped.
    static std::list<std::string> tokenize(const std::string& text, const std::string& delims);
    static std::vector<std::string> tokenizeV(const std::string& text, const std::string& delims);

    // In place; return the changed text.
    static std::string& toUpper(std::string& text);
    static std::string& toLower(std::string& text);
    // Returns a lower-case copy.
    static std::string toLower(const std::string& text);

    // True exactly for "on", "true", "high" or "1", in any case.
    static bool toBool(const std::string& text);
    static std::string fromBool(bool value);

    // True for a whole decimal integer with an optional sign (range not checked).
    static bool isNumeric(const std::string& text);
    // Base 0 picks by prefix ("0x" hex, leading '0' octal, else decimal);
    // 8 and 16 read octal and hex, anything else decimal. Returns 0 when no
    // number can be read, and saturates on overflow.
    static long long toInteger(const std::string& text, int base);
    // Base 16 gives lower-case hex (negatives as 64-bit two's complement),
    // any other base decimal; padded on the left to width with fill.
    static std::string fromInteger(long long value, int base, int width, char fill);
    // Returns 0 when no number can be read.
    static double toDouble(const std::string& text);
    // Six significant digits, the stream's default notation.
    static std::string fromDouble(double value);

    // printf-style; returns the empty string when formatting fails.
    static std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

    // Throws std::invalid_argument "Odd length!" or "Not a hex digit!".
    static std::vector<uint8_t> fromHex(const std::string& text);
    // Two upper-case hex digits per byte, no separators.
    static std::string toHex(const std::vector<uint8_t>& data);
    static std::string toHex(const uint8_t* data, size_t size);

    // Strip white space and NUL characters in place; return the text.
    static std::string& ltrim(std::string& text);
    static std::string& rtrim(std::string& text);
    static std::string& trim(std::string& text);
    // Removes the last '\n' and then the last '\r', wherever they stand.
    static std::string& removeTrailingNewLineChar(std::string& text);
    // Cuts the text at the first character that is one of markers.
    static std::string& removeComments(std::string& text, const std::string& markers);
    // The text after the first character of start found from pos on (skipping
    // start's length), up to the next character of end or the end of text.
    // Empty when no start character is found; throws std::out_of_range when
    // the computed beginning lies past the end of the text.
    static std::string extract(const std::string& text, const std::string& start, const std::string& end,
                               size_t pos);
};
