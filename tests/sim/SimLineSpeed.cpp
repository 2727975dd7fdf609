// The line's ear for the host's rate. A pseudo-terminal carries octets at
// any rate, so the board reads the rate the host set (the master side shares
// the slave's terminal settings) and ignores a host that talks at another.

#include "sim/SimLine.h"

#include <algorithm>
#include <stdexcept>
#include <termios.h>

namespace {

unsigned speedCode(int baudRate)
{
    switch (baudRate) {
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    default:
        throw std::invalid_argument("SimLine: no terminal speed for this baud rate");
    }
}

} // namespace

void SimLine::hearOnlyAt(const std::vector<int>& baudRates)
{
    std::vector<unsigned> speeds;
    for (const int baudRate : baudRates)
        speeds.push_back(speedCode(baudRate));
    std::lock_guard<std::mutex> lock(mMutex);
    mHeardSpeeds = std::move(speeds);
}

bool SimLine::hearsHostRate()
{
    std::lock_guard<std::mutex> lock(mMutex);
    if (mHeardSpeeds.empty())
        return true;
    termios tio{};
    if (tcgetattr(mMaster, &tio) != 0)
        return false;
    const unsigned speed = cfgetospeed(&tio);
    return std::find(mHeardSpeeds.begin(), mHeardSpeeds.end(), speed) != mHeardSpeeds.end();
}
