#include "messaging/TopicText.h"

#include <algorithm>

#include "messaging/LambdaTree.h"

namespace MQTT {

const size_t kMaxBaseOctets = kMaxTopicOctets - 1 - LambdaTree::kMaxNodePath - (sizeof("/set/request/+/+") - 1);

namespace {

bool forbidden(unsigned long codePoint)
{
    return codePoint <= 0x1F || (codePoint >= 0x7F && codePoint <= 0x9F) ||
           (codePoint >= 0xFDD0 && codePoint <= 0xFDEF) || (codePoint & 0xFFFE) == 0xFFFE;
}

// The code point starting at text[at] and its octets; 0 octets when the
// sequence is not well-formed (overlong, a surrogate, beyond U+10FFFF or
// cut short).
size_t decode(const std::string& text, size_t at, unsigned long& codePoint)
{
    const auto octet = [&text](size_t index) { return static_cast<unsigned char>(text[index]); };
    const unsigned char lead = octet(at);
    size_t length = 0;
    unsigned long least = 0;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
        least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
        least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
        least = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - at < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((octet(at + i) & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (octet(at + i) & 0x3F);
    }
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    return codePoint < least || surrogate || codePoint > 0x10FFFF ? 0 : length;
}

// The levels base adds to the topics built on it: none for the empty base,
// and a final "/" adds none, as Utils::combinePath adds no other after it.
size_t baseLevels(const std::string& base)
{
    if (base.empty())
        return 0;
    const size_t separators = static_cast<size_t>(std::count(base.begin(), base.end(), '/'));
    return base.back() == '/' ? separators : separators + 1;
}

} // namespace

bool carriesCodePoints(const std::string& text)
{
    for (size_t at = 0; at < text.size();) {
        unsigned long codePoint = 0;
        const size_t length = decode(text, at, codePoint);
        if (length == 0 || forbidden(codePoint))
            return false;
        at += length;
    }
    return true;
}

bool isCarriableTopic(const std::string& topic, bool publication)
{
    if (topic.size() > kMaxTopicOctets)
        return false;
    if (publication && topic.find_first_of("#+") != std::string::npos)
        return false;
    return carriesCodePoints(topic);
}

bool isCarriableBase(const std::string& base)
{
    return base.size() <= kMaxBaseOctets && isCarriableTopic(base, true);
}

bool isSettableBase(const std::string& base)
{
    return isCarriableBase(base) && (base.empty() || base[0] != '$') && base.size() <= kMaxSetBaseOctets &&
           baseLevels(base) <= kMaxSetBaseLevels;
}

} // namespace MQTT
