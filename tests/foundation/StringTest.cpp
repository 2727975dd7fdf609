#include "foundation/String.h"

#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>

using Pieces = std::vector<std::string>;

TEST(StringTokenize, DropsEmptyPiecesAndSplitsOnEachDelimiter)
{
    EXPECT_EQ(String::tokenizeV("/a//b/", "/"), (Pieces{"a", "b"}));
    EXPECT_EQ(String::tokenizeV("x, y", " ,"), (Pieces{"x", "y"}));
    EXPECT_EQ(String::tokenizeV("abc", "/"), (Pieces{"abc"}));
    EXPECT_TRUE(String::tokenizeV("", "/").empty());
    EXPECT_TRUE(String::tokenizeV("///", "/").empty());
    EXPECT_EQ(String::tokenize("tavo/lumacore/gpio", "/"), (std::list<std::string>{"tavo", "lumacore", "gpio"}));
}

TEST(StringCase, InPlaceAndCopy)
{
    std::string text = "MiXeD 1";
    EXPECT_EQ(&String::toUpper(text), &text);
    EXPECT_EQ(text, "MIXED 1");
    const std::string constant = "AbC";
    EXPECT_EQ(String::toLower(constant), "abc");
    EXPECT_EQ(constant, "AbC");
}

TEST(StringBool, OnlyTheFourTrueWords)
{
    for (const char* yes : {"on", "TRUE", "High", "1", "oN"}) {
        EXPECT_TRUE(String::toBool(yes)) << yes;
    }
    for (const char* no : {"yes", "enabled", " 1", "", "0", "off", "true "}) {
        EXPECT_FALSE(String::toBool(no)) << '"' << no << '"';
    }
    EXPECT_EQ(String::fromBool(true), "true");
    EXPECT_EQ(String::fromBool(false), "false");
}

TEST(StringNumbers, IsNumeric)
{
    for (const char* yes : {"12", "-7", "+0", "99999999999999999999999"}) {
        EXPECT_TRUE(String::isNumeric(yes)) << yes;
    }
    for (const char* no : {"", "+", "-", " 12", "12 ", "1.5", "0x10", "abc"}) {
        EXPECT_FALSE(String::isNumeric(no)) << '"' << no << '"';
    }
    EXPECT_FALSE(String::isNumeric(std::string("12\0" "3", 4)));
}

TEST(StringNumbers, ToIntegerWithAutomaticBase)
{
    EXPECT_EQ(String::toInteger("0x1F", 0), 31);
    EXPECT_EQ(String::toInteger("010", 0), 8);
    EXPECT_EQ(String::toInteger("0X1F", 0), 0);
    EXPECT_EQ(String::toInteger("0", 0), 0);
    EXPECT_EQ(String::toInteger("-12", 0), -12);
    EXPECT_EQ(String::toInteger("12abc", 0), 12);
    EXPECT_EQ(String::toInteger("", 0), 0);
    EXPECT_EQ(String::toInteger("  42", 0), 42);
}

TEST(StringNumbers, ToIntegerWithFixedBase)
{
    EXPECT_EQ(String::toInteger("ff", 16), 255);
    EXPECT_EQ(String::toInteger("0xff", 16), 255);
    EXPECT_EQ(String::toInteger("ff", 10), 0);
    EXPECT_EQ(String::toInteger("17", 8), 15);
    EXPECT_EQ(String::toInteger("17", 3), 17);
    EXPECT_EQ(String::toInteger("99999999999999999999", 10), LLONG_MAX);
    EXPECT_EQ(String::toInteger("-99999999999999999999", 10), LLONG_MIN);
}

TEST(StringNumbers, FromInteger)
{
    EXPECT_EQ(String::fromInteger(255, 16, 4, '0'), "00ff");
    EXPECT_EQ(String::fromInteger(7, 10, 3, ' '), "  7");
    EXPECT_EQ(String::fromInteger(10, 8, 0, '0'), "10");
    EXPECT_EQ(String::fromInteger(-1, 16, 0, '0'), "ffffffffffffffff");
    EXPECT_EQ(String::fromInteger(-42, 10, 1, '0'), "-42");
    EXPECT_EQ(String::fromInteger(12345, 10, 2, '0'), "12345");
}

TEST(StringNumbers, Doubles)
{
    EXPECT_DOUBLE_EQ(String::toDouble("2.5"), 2.5);
    EXPECT_DOUBLE_EQ(String::toDouble("-1e3x"), -1000.0);
    EXPECT_DOUBLE_EQ(String::toDouble("abc"), 0.0);
    EXPECT_EQ(String::fromDouble(0.1), "0.1");
    EXPECT_EQ(String::fromDouble(100), "100");
    EXPECT_EQ(String::fromDouble(3.14159265), "3.14159");
    EXPECT_EQ(String::fromDouble(1e10), "1e+10");
}

TEST(StringFormat, ShortLongAndEmpty)
{
    EXPECT_EQ(String::format("x=%d %s", 5, "y"), "x=5 y");
    EXPECT_EQ(String::format("%s", ""), "");
    // Either side of the stack buffer's size.
    for (size_t length : {511u, 512u, 513u, 5000u}) {
        const std::string text(length, 'q');
        EXPECT_EQ(String::format("%s", text.c_str()), text) << length;
    }
    const std::string tail(600, 'z');
    EXPECT_EQ(String::format("%d:%s:%d", 1, tail.c_str(), 2), "1:" + tail + ":2");
}

TEST(StringHex, RoundTripAndErrors)
{
    EXPECT_EQ(String::fromHex("0a1B"), (std::vector<uint8_t>{0x0A, 0x1B}));
    EXPECT_TRUE(String::fromHex("").empty());
    try {
        String::fromHex("abc");
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Odd length!");
    }
    for (const char* bad : {"zz", "0g", " 1"}) {
        try {
            String::fromHex(bad);
            FAIL() << "no exception for " << bad;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "Not a hex digit!");
        }
    }
    const std::vector<uint8_t> bytes{0x00, 0x7F, 0xA5, 0xFF};
    EXPECT_EQ(String::toHex(bytes), "007FA5FF");
    EXPECT_EQ(String::fromHex(String::toHex(bytes)), bytes);
    EXPECT_EQ(String::toHex(nullptr, 0), "");
}

TEST(StringClean, Trim)
{
    std::string blanks = " \t \n ";
    EXPECT_EQ(String::trim(blanks), "");
    std::string padded(" \0a b\t\0", 7);
    EXPECT_EQ(String::trim(padded), "a b");
    std::string left = "  x  ";
    EXPECT_EQ(String::ltrim(left), "x  ");
    std::string right = "  x  ";
    EXPECT_EQ(String::rtrim(right), "  x");
}

TEST(StringClean, RemoveTrailingNewLineAndComments)
{
    std::string crlf = "line\r\n";
    EXPECT_EQ(String::removeTrailingNewLineChar(crlf), "line");
    std::string middle = "a\nb";
    EXPECT_EQ(String::removeTrailingNewLineChar(middle), "ab");
    std::string twoLines = "a\nb\n";
    EXPECT_EQ(String::removeTrailingNewLineChar(twoLines), "a\nb");
    std::string comment = "value = 3 # note ; more";
    EXPECT_EQ(String::removeComments(comment, "#;"), "value = 3 ");
    std::string plain = "nothing";
    EXPECT_EQ(String::removeComments(plain, "#"), "nothing");
}

TEST(StringExtract, FindsStartAndEnd)
{
    EXPECT_EQ(String::extract("key=[value] rest", "[", "]", 0), "value");
    EXPECT_EQ(String::extract("a(b)c(d)", "(", ")", 3), "d");
    EXPECT_EQ(String::extract("name:rest", ":", ";", 0), "rest");
    EXPECT_EQ(String::extract("no marker", "[", "]", 0), "");
    EXPECT_EQ(String::extract("x[", "[", "]", 0), "");
    // A start text longer than one character is skipped by its full length.
    EXPECT_THROW(String::extract("x[", "[(", "]", 0), std::out_of_range);
}
