// The LCD bitmap storage commands: a file on this host, or the image's
// octets uploaded over the connection after a ">" prompt.

#include <climits>

#include "app/TCPService.h"
#include "foundation/String.h"
#include "image/ImageLimits.h"

namespace tavo::Board::TCP {

namespace {

// Values beyond int stay beyond the manager's ranges instead of wrapping
// into them.
int saturated(long long value)
{
    return value < INT_MIN ? INT_MIN : value > INT_MAX ? INT_MAX : int(value);
}

} // namespace

std::string Service::lcdBitmapStoreFile(const Tokens& tokens)
{
    long long bank = 0;
    long long width = 0;
    long long height = 0;
    if (tokens.size() < 5 || !numberAt(tokens, 1, bank) || !numberAt(tokens, 2, width)
        || !numberAt(tokens, 3, height))
        return renderErrorCode(ErrorCode::MalformedRequest);
    const bool compressed = tokens.size() == 6 && String::toBool(tokens[5]);
    return renderErrorCode(
        manager->lcdStoreBitmapFile(saturated(bank), saturated(width), saturated(height), compressed, tokens[4]));
}

std::string Service::lcdBitmapStoreBuffeer(const Tokens& tokens)
{
    long long bank = 0;
    long long width = 0;
    long long height = 0;
    long long size = 0;
    if (tokens.size() < 5 || !numberAt(tokens, 1, bank) || !numberAt(tokens, 2, width)
        || !numberAt(tokens, 3, height) || !numberAt(tokens, 4, size))
        return renderErrorCode(ErrorCode::MalformedRequest);
    // The size is the client's word: refused before anything is allocated.
    if (size < 0 || static_cast<unsigned long long>(size) > IMAGE_MAX_BUFFER)
        return renderErrorCode(ErrorCode::InvalidArgument);
    const bool compressed = tokens.size() == 6 && String::toBool(tokens[5]);
    std::vector<unsigned char> octets;
    // An abandoned upload's reply is not sent; nothing is stored.
    if (receiveUpload(octets, static_cast<size_t>(size)) != Wait::Octets)
        return renderErrorCode(ErrorCode::MalformedRequest);
    return renderErrorCode(
        manager->lcdStoreBitmapBuffer(saturated(bank), saturated(width), saturated(height), compressed, octets));
}

} // namespace tavo::Board::TCP
