// The system, display, audio and LCD commands that take arguments.

#include "app/TCPService.h"
#include "foundation/String.h"

namespace tavo::Board::TCP {

namespace {

const std::string kMalformed = Service::renderErrorCode(ErrorCode::MalformedRequest);

// The longest text screenText draws.
constexpr size_t MAX_SCREEN_TEXT = 150;
// screenFont takes fonts 0 to this.
constexpr long long MAX_FONT = 33;

bool isHexNumber(const std::string& text)
{
    return !text.empty() && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

} // namespace

std::string Service::buzzerPlay(const Tokens& tokens)
{
    long long on = 0;
    long long off = 0;
    long long repeat = 0;
    if (!numberAt(tokens, 1, on) || !numberAt(tokens, 2, off))
        return kMalformed;
    if (tokens.size() == 4 && !numberAt(tokens, 3, repeat))
        return kMalformed;
    return renderErrorCode(manager->buzzerPlay(static_cast<uint16_t>(on), static_cast<uint16_t>(off),
                                               static_cast<uint8_t>(repeat)));
}

std::string Service::firmwareUpdate(const Tokens& tokens)
{
    if (tokens.size() < 2)
        return kMalformed;
    return renderErrorCode(manager->firmwareUpdate(tokens[1]));
}

std::string Service::debugEnabledSet(const Tokens& tokens)
{
    if (tokens.size() < 2)
        return kMalformed;
    return renderErrorCode(manager->debugEnabledSet(tokens[1] == "on" || tokens[1] == "1"));
}

std::string Service::displayBrightnessSet(const Tokens& tokens)
{
    return exactlyOneNumber(tokens,
                            [this](long long level) { return manager->displayBrightnessSet(uint8_t(level)); });
}

std::string Service::displayBrightnessModeSet(const Tokens& tokens)
{
    return exactlyOneNumber(tokens, [this](long long mode) { return manager->displayBrightnessModeSet(mode != 0); });
}

std::string Service::audioChannelSelectedSet(const Tokens& tokens)
{
    return exactlyOneNumber(tokens,
                            [this](long long channel) { return manager->audioChannelSelectedSet(int(channel)); });
}

std::string Service::audioMutedSet(const Tokens& tokens)
{
    return exactlyOneNumber(tokens, [this](long long muted) { return manager->audioMutedSet(muted != 0); });
}

std::string Service::lcdFontSet(const Tokens& tokens)
{
    long long font = 0;
    long long spacing = 0;
    if (!numberAt(tokens, 1, font))
        return kMalformed;
    if (font < 0 || font > MAX_FONT)
        return renderErrorCode(ErrorCode::InvalidArgument);
    ErrorCode result = manager->lcdTextFontSet(static_cast<unsigned long>(font));
    // A spacing that is no number is ignored.
    if (result == ErrorCode::Ok && numberAt(tokens, 2, spacing))
        result = manager->lcdTextSpacingSet(int(spacing));
    return renderErrorCode(result);
}

std::string Service::lcdDrawText(const Tokens& tokens)
{
    long long x = 0;
    long long y = 0;
    long long width = 0;
    long long height = 0;
    if (tokens.size() < 4 || !numberAt(tokens, 1, x) || !numberAt(tokens, 2, y)
        || tokens[3].size() > MAX_SCREEN_TEXT)
        return kMalformed;
    if (tokens.size() == 6 && (!numberAt(tokens, 4, width) || !numberAt(tokens, 5, height)))
        return kMalformed;
    unsigned id = 0;
    return renderErrorCode(manager->lcdDrawText(id, tokens[3], int(x), int(y), int(width), int(height)));
}

std::string Service::lcdTextAlignSet(const Tokens& tokens)
{
    long long align = 0;
    if (!numberAt(tokens, 1, align))
        return kMalformed;
    // Bits 0 and 4 centre, bit 5 middle: right and bottom are not reachable.
    const auto horizontal = (align & 0x11) ? Screen::Align::Horizontal::centre : Screen::Align::Horizontal::left;
    const auto vertical = (align & 0x20) ? Screen::Align::Vertical::middle : Screen::Align::Vertical::top;
    return renderErrorCode(manager->lcdTextAlignSet(horizontal, vertical));
}

std::string Service::lcdDrawBitmap(const Tokens& tokens)
{
    long long bank = 0;
    long long x = 0;
    long long y = 0;
    long long width = 0;
    if (tokens.size() < 6 || !numberAt(tokens, 1, bank) || !numberAt(tokens, 2, x) || !numberAt(tokens, 3, y)
        || !numberAt(tokens, 4, width))
        return kMalformed;
    const long long height = String::toInteger(tokens[5], 0);
    unsigned id = 0;
    const ErrorCode result = manager->lcdDrawBitmap(id, int(bank), int(x), int(y), int(width), int(height));
    return result == ErrorCode::Ok ? String::format("ok,%x", id) : renderErrorCode(result);
}

std::string Service::lcdBacklightSet(const Tokens& tokens)
{
    long long red = 0;
    long long green = 0;
    long long blue = 0;
    if (!numberAt(tokens, 1, red) || !numberAt(tokens, 2, green) || !numberAt(tokens, 3, blue))
        return kMalformed;
    return renderErrorCode(manager->lcdBacklightColorSet(Color(uint8_t(red), uint8_t(green), uint8_t(blue))));
}

std::string Service::lcdRemoveObject(const Tokens& tokens)
{
    if (tokens.size() < 2 || !isHexNumber(tokens[1]))
        return kMalformed;
    return renderErrorCode(manager->lcdRemoveObject(static_cast<unsigned>(String::toInteger(tokens[1], 16))));
}

} // namespace tavo::Board::TCP
