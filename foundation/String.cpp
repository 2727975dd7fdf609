#include "foundation/String.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <locale>
#include <sstream>
#include <stdexcept>

namespace {

template <typename Container>
void splitInto(Container& out, const std::string& text, const std::string& delims)
{
    size_t pos = 0;
    while (pos < text.size()) {
        size_t next = text.find_first_of(delims, pos);
        if (next == std::string::npos) {
            next = text.size();
        }
        if (next > pos) {
            out.push_back(text.substr(pos, next - pos));
        }
        pos = next + 1;
    }
}

bool isBlankOrNul(char c)
{
    return c == '\0' || std::isspace(static_cast<unsigned char>(c));
}

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    throw std::invalid_argument("Not a hex digit!");
}

} // namespace

std::list<std::string> String::tokenize(const std::string& text, const std::string& delims)
{
    std::list<std::string> out;
    splitInto(out, text, delims);
    return out;
}

std::vector<std::string> String::tokenizeV(const std::string& text, const std::string& delims)
{
    std::vector<std::string> out;
    splitInto(out, text, delims);
    return out;
}

std::string& String::toUpper(std::string& text)
{
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string& String::toLower(std::string& text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string String::toLower(const std::string& text)
{
    std::string copy = text;
    return toLower(copy);
}

bool String::toBool(const std::string& text)
{
    const std::string lower = toLower(text);
    return lower == "on" || lower == "true" || lower == "high" || lower == "1";
}

std::string String::fromBool(bool value)
{
    return value ? "true" : "false";
}

bool String::isNumeric(const std::string& text)
{
    if (text.empty()) {
        return false;
    }
    const char first = text[0];
    if (first != '+' && first != '-' && !std::isdigit(static_cast<unsigned char>(first))) {
        return false;
    }
    const char* begin = text.c_str();
    char* end = nullptr;
    std::strtol(begin, &end, 10);
    // Compared with the size, not with '\0', so an embedded NUL is not a number's end.
    return end == begin + text.size();
}

long long String::toInteger(const std::string& text, int base)
{
    std::string body = text;
    if (base == 0) {
        if (text.compare(0, 2, "0x") == 0) {
            base = 16;
            body = text.substr(2);
        } else if (!text.empty() && text[0] == '0') {
            base = 8;
            body = text.substr(1);
        } else {
            base = 10;
        }
    }
    std::istringstream in(body);
    in.imbue(std::locale::classic());
    if (base == 16) {
        in >> std::hex;
    } else if (base == 8) {
        in >> std::oct;
    } else {
        in >> std::dec;
    }
    // On failure the stream stores 0, or the saturated value on overflow.
    long long value = 0;
    in >> value;
    return value;
}

std::string String::fromInteger(long long value, int base, int width, char fill)
{
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << std::setw(width) << std::setfill(fill);
    if (base == 16) {
        out << std::hex << static_cast<unsigned long long>(value);
    } else {
        out << std::dec << value;
    }
    return out.str();
}

double String::toDouble(const std::string& text)
{
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    double value = 0;
    in >> value;
    return value;
}

std::string String::fromDouble(double value)
{
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << value;
    return out.str();
}

std::string String::format(const char* fmt, ...)
{
    // Most texts (every log line) fit the stack buffer and are formatted once.
    char buffer[512];
    va_list args;
    va_start(args, fmt);
    va_list retry;
    va_copy(retry, args);
    const int n = std::vsnprintf(buffer, sizeof(buffer), fmt, args);
    va_end(args);

    std::string result;
    if (n >= static_cast<int>(sizeof(buffer))) {
        result.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(&result[0], result.size(), fmt, retry);
        result.resize(static_cast<size_t>(n));
    } else if (n >= 1) {
        result.assign(buffer, static_cast<size_t>(n));
    }
    va_end(retry);
    return result;
}

std::vector<uint8_t> String::fromHex(const std::string& text)
{
    if (text.size() % 2 != 0) {
        throw std::invalid_argument("Odd length!");
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(hexDigitValue(text[i]) << 4 | hexDigitValue(text[i + 1])));
    }
    return bytes;
}

std::string String::toHex(const std::vector<uint8_t>& data)
{
    return toHex(data.data(), data.size());
}

std::string String::toHex(const uint8_t* data, size_t size)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        text.push_back(digits[data[i] >> 4]);
        text.push_back(digits[data[i] & 0x0F]);
    }
    return text;
}

std::string& String::ltrim(std::string& text)
{
    size_t first = 0;
    while (first < text.size() && isBlankOrNul(text[first])) {
        ++first;
    }
    text.erase(0, first);
    return text;
}

std::string& String::rtrim(std::string& text)
{
    size_t end = text.size();
    while (end > 0 && isBlankOrNul(text[end - 1])) {
        --end;
    }
    text.erase(end);
    return text;
}

std::string& String::trim(std::string& text)
{
    return rtrim(ltrim(text));
}

std::string& String::removeTrailingNewLineChar(std::string& text)
{
    const size_t lf = text.rfind('\n');
    if (lf != std::string::npos) {
        text.erase(lf, 1);
    }
    const size_t cr = text.rfind('\r');
    if (cr != std::string::npos) {
        text.erase(cr, 1);
    }
    return text;
}

std::string& String::removeComments(std::string& text, const std::string& markers)
{
    const size_t cut = text.find_first_of(markers);
    if (cut != std::string::npos) {
        text.erase(cut);
    }
    return text;
}

std::string String::extract(const std::string& text, const std::string& start, const std::string& end, size_t pos)
{
    const size_t found = text.find_first_of(start, pos);
    if (found == std::string::npos) {
        return std::string();
    }
    const size_t begin = found + start.size();
    if (begin > text.size()) {
        throw std::out_of_range("String::extract: start past the end of the text");
    }
    const size_t stop = text.find_first_of(end, begin);
    return text.substr(begin, stop == std::string::npos ? std::string::npos : stop - begin);
}
