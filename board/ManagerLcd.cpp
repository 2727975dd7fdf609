// The LCD through the manager. Each operation first writes a debug line with
// its own name, also when it then refuses.

#include "board/Manager.h"

namespace tavo::Board {

namespace {

// The backlight value that lights a single-colour backlight fully; set and
// read agree on it.
constexpr unsigned kSingleColourOn = 255;
constexpr unsigned kColourOn = 1;
constexpr unsigned kVerticalStep = 16;

} // namespace

ErrorCode Manager::lcdEnabledSet(bool on)
{
    log(Log::Debug, "lcdEnabledSet");
    return translate(on ? driver.screenOn() : driver.screenOff());
}

ErrorCode Manager::lcdEnabledGet(bool& on)
{
    log(Log::Debug, "lcdEnabledGet");
    LPCScreenStatus status = LPC_SCREEN_OFF;
    const LPCDriver::ErrorCode result = driver.screenStatus(status);
    if (result == LPCDriver::NoError) {
        on = status != LPC_SCREEN_OFF;
    }
    return translate(result);
}

ErrorCode Manager::lcdIdleGet(bool& idle)
{
    log(Log::Debug, "lcdIdleGet");
    LPCScreenStatus status = LPC_SCREEN_OFF;
    const LPCDriver::ErrorCode result = driver.screenStatus(status);
    if (result == LPCDriver::NoError) {
        idle = status == LPC_SCREEN_IDLE;
    }
    return translate(result);
}

ErrorCode Manager::lcdClear()
{
    log(Log::Debug, "lcdClear");
    return translate(driver.screenClear());
}

ErrorCode Manager::lcdGetWidth(int& width)
{
    log(Log::Debug, "lcdGetWidth");
    return translate(driver.screenGetWidth(width));
}

ErrorCode Manager::lcdGetHeight(int& height)
{
    log(Log::Debug, "lcdGetHeight");
    return translate(driver.screenGetHeight(height));
}

ErrorCode Manager::lcdDrawText(unsigned& objectId, const std::string& text, int x, int y, int width, int height)
{
    log(Log::Debug, "lcdDrawText");
    return translate(driver.screenText(objectId, x, y, text, width, height));
}

ErrorCode Manager::lcdDrawBitmap(unsigned& objectId, int bank, int x, int y, int width, int height)
{
    log(Log::Debug, "lcdDrawBitmap");
    return translate(driver.screenDrawBitmap(objectId, bank, x, y, width, height));
}

ErrorCode Manager::lcdDrawBlank(unsigned& objectId, int x, int y, int width, int height)
{
    log(Log::Debug, "lcdDrawBlank");
    return translate(driver.screenErase(x, y, width, height, objectId));
}

ErrorCode Manager::lcdRemoveObject(unsigned objectId)
{
    log(Log::Debug, "lcdRemoveObject");
    return translate(driver.screenRemoveObject(objectId));
}

// The device judges the index; only its low octet goes out.
ErrorCode Manager::lcdTextFontSet(unsigned long font)
{
    log(Log::Debug, "lcdTextFontSet");
    return translate(driver.screenSetFont(static_cast<LPCScreenFont>(font & 0xFF)));
}

ErrorCode Manager::lcdTextSpacingSet(int spacing)
{
    log(Log::Debug, "lcdTextSpacingSet");
    return translate(driver.screenSetFontSpacing(spacing));
}

// Horizontal plus 16 times vertical; values outside the enumerations fall
// back to centre and top.
ErrorCode Manager::lcdTextAlignSet(Screen::Align::Horizontal horizontal, Screen::Align::Vertical vertical)
{
    log(Log::Debug, "lcdTextAlignSet");
    unsigned code = 1;
    if (horizontal == Screen::Align::Horizontal::left) {
        code = 0;
    } else if (horizontal == Screen::Align::Horizontal::right) {
        code = 2;
    }
    if (vertical == Screen::Align::Vertical::middle) {
        code += kVerticalStep;
    } else if (vertical == Screen::Align::Vertical::bottom) {
        code += 2 * kVerticalStep;
    }
    return translate(driver.screenSetTextAlign(static_cast<LPCScreenAlignment>(code)));
}

ErrorCode Manager::lcdBacklightColorGet(Color& color)
{
    log(Log::Debug, "lcdBacklightColorGet");
    if (!colorBacklightSupported) {
        return ErrorCode::NotSupported;
    }
    unsigned packed = 0;
    const LPCDriver::ErrorCode result = driver.screenGetBacklight(packed);
    if (result == LPCDriver::NoError) {
        color = Color::unpack(packed);
    }
    return translate(result);
}

ErrorCode Manager::lcdBacklightColorSet(Color color)
{
    log(Log::Debug, "lcdBacklightColorSet");
    if (!colorBacklightSupported) {
        return ErrorCode::NotSupported;
    }
    return translate(driver.screenSetBacklight(color.pack()));
}

ErrorCode Manager::lcdBacklightEnabledGet(bool& on)
{
    log(Log::Debug, "lcdBacklightEnabledGet");
    unsigned value = 0;
    const LPCDriver::ErrorCode result = driver.screenGetBacklight(value);
    if (result == LPCDriver::NoError) {
        on = colorBacklightSupported ? value != 0 : (value & 0xFF) == kSingleColourOn;
    }
    return translate(result);
}

ErrorCode Manager::lcdBacklightEnabledSet(bool on)
{
    log(Log::Debug, "lcdBacklightEnabledSet");
    const unsigned lit = colorBacklightSupported ? kColourOn : kSingleColourOn;
    return translate(driver.screenSetBacklight(on ? lit : 0));
}

} // namespace tavo::Board
