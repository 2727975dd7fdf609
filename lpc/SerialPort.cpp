// Raw terminal access for the microcontroller link. One octet per system
// call in the link's use; nothing is buffered in user space except the one
// octet that getline() looks at beyond a line end and must not lose.
#include "lpc/SerialPort.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr size_t kReadChunk = 250;
constexpr int kApiReadTimeoutMs = 1000;

struct Speed
{
    unsigned int rate;
    speed_t code;
};

constexpr Speed kSpeeds[] = {
    {19200, B19200},     {38400, B38400},     {57600, B57600},     {115200, B115200},   {230400, B230400},
    {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

speed_t speedCode(unsigned int rate)
{
    for (const Speed& s : kSpeeds) {
        if (s.rate == rate) {
            return s.code;
        }
    }
    return B9600;
}

unsigned int speedRate(speed_t code)
{
    for (const Speed& s : kSpeeds) {
        if (s.code == code) {
            return s.rate;
        }
    }
    return 9600;
}

void applyTimeout(termios& t, int timeoutMs)
{
    if (timeoutMs == -1) {
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
    } else if (timeoutMs == 0) {
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
    } else {
        int tenths = timeoutMs / 100;
        if (tenths < 1) {
            tenths = 1;
        } else if (tenths > 255) {
            tenths = 255;
        }
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = static_cast<cc_t>(tenths);
    }
}

// Static text, so it outlives the call (unlike a strerror buffer).
const char* errorText(int err)
{
    const char* text = strerrordesc_np(err);
    return text ? text : "Unknown error";
}

} // namespace

class SerialPort::impl
{
public:
    ~impl() { close(); }

    bool open(const std::string& device, int baud, int timeoutMs, int dataBits, int stopBits, int parity)
    {
        close();
        // Non-blocking until configure has set CLOCAL: a UART whose carrier
        // is down would otherwise hold the open for ever. Child processes
        // (host commands) must not inherit the link.
        descriptor = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (descriptor < 0) {
            return fail();
        }
        const bool configured =
            tcgetattr(descriptor, &saved) == 0 ? configure(baud, timeoutMs, dataBits, stopBits, parity) : fail();
        const int flags = fcntl(descriptor, F_GETFL);
        if (flags < 0 || fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            return fail();
        }
        return configured;
    }

    bool close()
    {
        if (descriptor < 0) {
            return true;
        }
        tcsetattr(descriptor, TCSANOW, &saved);
        pushback = -1;
        const int result = ::close(descriptor);
        descriptor = -1;
        return result == 0 || fail();
    }

    bool configure(int baud, int timeoutMs, int dataBits, int stopBits, int parity)
    {
        termios t;
        std::memset(&t, 0, sizeof t);
        switch (dataBits) {
        case 5: t.c_cflag |= CS5; break;
        case 6: t.c_cflag |= CS6; break;
        case 7: t.c_cflag |= CS7; break;
        default: t.c_cflag |= CS8; break;
        }
        if (stopBits == 2) {
            t.c_cflag |= CSTOPB;
        }
        if (parity == 1) {
            t.c_cflag |= PARENB;
        } else if (parity == 2) {
            t.c_cflag |= PARENB | PARODD;
        }
        t.c_cflag |= CREAD | CLOCAL;
        const speed_t code = speedCode(static_cast<unsigned int>(baud));
        cfsetispeed(&t, code);
        cfsetospeed(&t, code);
        t.c_iflag = IGNPAR;
        applyTimeout(t, timeoutMs);

        pushback = -1;
        if (tcflush(descriptor, TCIFLUSH) != 0 || tcsetattr(descriptor, TCSANOW, &t) != 0) {
            return fail();
        }
        return true;
    }

    bool write(uint8_t octet)
    {
        const ssize_t n = ::write(descriptor, &octet, 1);
        return n == 1 || (n < 0 && fail());
    }

    int writeBytes(const void* data, size_t size)
    {
        const ssize_t n = ::write(descriptor, data, size);
        if (n < 0) {
            fail();
            return 0;
        }
        return static_cast<int>(n);
    }

    int read()
    {
        if (pushback >= 0) {
            return takePushback();
        }
        uint8_t octet;
        return ::read(descriptor, &octet, 1) == 1 ? octet : -1;
    }

    template <typename Buffer> int readChunk(Buffer& buffer)
    {
        buffer.assign(kReadChunk, 0);
        if (pushback >= 0) {
            buffer[0] = static_cast<typename Buffer::value_type>(takePushback());
            buffer.resize(1);
            return 1;
        }
        const ssize_t n = ::read(descriptor, &buffer[0], kReadChunk);
        if (n < 0) {
            fail();
            return 0;
        }
        buffer.resize(static_cast<size_t>(n));
        return static_cast<int>(n);
    }

    std::vector<uint8_t> readBytes(size_t n)
    {
        std::vector<uint8_t> out;
        if (n > 0 && pushback >= 0) {
            out.push_back(static_cast<uint8_t>(takePushback()));
        }
        while (out.size() < n) {
            const size_t have = out.size();
            out.resize(n);
            const ssize_t got = ::read(descriptor, out.data() + have, n - have);
            if (got < 0) {
                fail();
                return {};
            }
            out.resize(have + static_cast<size_t>(got));
            if (got == 0) {
                break;
            }
        }
        return out;
    }

    bool getline(std::string& line, char delim)
    {
        for (;;) {
            const int c = read();
            if (c < 0) {
                return false;
            }
            if (c == static_cast<uint8_t>(delim)) {
                return true;
            }
            if (c != '\r' && c != '\n') {
                line.push_back(static_cast<char>(c));
            }
        }
    }

    std::string getline()
    {
        std::string line;
        int c;
        while ((c = read()) >= 0) {
            if (c == '\r' || c == '\n') {
                swallowPairHalf(c);
                break;
            }
            line.push_back(static_cast<char>(c));
        }
        return line;
    }

    int available()
    {
        int waiting = 0;
        if (ioctl(descriptor, FIONREAD, &waiting) != 0) {
            fail();
            waiting = 0;
        }
        return waiting + (pushback >= 0 ? 1 : 0);
    }

    bool getReadTimeout(int* timeoutMs)
    {
        termios t;
        if (tcgetattr(descriptor, &t) != 0) {
            return fail();
        }
        if (t.c_cc[VMIN] == 1 && t.c_cc[VTIME] == 0) {
            *timeoutMs = -1;
        } else if (t.c_cc[VMIN] == 0) {
            *timeoutMs = t.c_cc[VTIME] * 100;
        }
        return true;
    }

    bool setReadTimeout(int timeoutMs)
    {
        termios t;
        if (tcgetattr(descriptor, &t) != 0) {
            return fail();
        }
        applyTimeout(t, timeoutMs);
        return tcsetattr(descriptor, TCSANOW, &t) == 0 || fail();
    }

    bool getLowLatency(bool& on)
    {
        serial_struct info;
        if (ioctl(descriptor, TIOCGSERIAL, &info) != 0) {
            return fail();
        }
        on = (info.flags & ASYNC_LOW_LATENCY) != 0;
        return true;
    }

    bool setLowLatency(bool on)
    {
        serial_struct info;
        if (ioctl(descriptor, TIOCGSERIAL, &info) != 0) {
            return fail();
        }
        if (on) {
            info.flags |= ASYNC_LOW_LATENCY;
        } else {
            info.flags &= ~ASYNC_LOW_LATENCY;
        }
        return ioctl(descriptor, TIOCSSERIAL, &info) == 0 || fail();
    }

    bool getBaudrate(unsigned int& baud)
    {
        termios t;
        if (tcgetattr(descriptor, &t) != 0) {
            return fail();
        }
        baud = speedRate(cfgetospeed(&t));
        return true;
    }

    bool setBaudrate(unsigned int baud)
    {
        termios t;
        if (tcgetattr(descriptor, &t) != 0) {
            return fail();
        }
        const speed_t code = speedCode(baud);
        cfsetispeed(&t, code);
        cfsetospeed(&t, code);
        return tcsetattr(descriptor, TCSANOW, &t) == 0 || fail();
    }

    bool flush()
    {
        pushback = -1;
        return tcflush(descriptor, TCIOFLUSH) == 0 || fail();
    }

    bool drain() { return tcdrain(descriptor) == 0 || fail(); }

    void setError(int err) { error = err; }

    int descriptor = -1;
    termios saved{};
    int error = 0;
    // An octet read ahead by getline(), handed out before the device's own.
    int pushback = -1;

private:
    bool fail()
    {
        setError(errno);
        return false;
    }

    int takePushback()
    {
        const int octet = pushback;
        pushback = -1;
        return octet;
    }

    // After a line end, consumes the other half of a CR LF or LF CR pair if
    // it is already waiting; any other waiting octet is kept for later.
    void swallowPairHalf(int lineEnd)
    {
        int waiting = 0;
        if (ioctl(descriptor, FIONREAD, &waiting) != 0) {
            fail();
            return;
        }
        if (waiting <= 0) {
            return;
        }
        const int next = read();
        const int otherHalf = lineEnd == '\r' ? '\n' : '\r';
        if (next >= 0 && next != otherHalf) {
            pushback = next;
        }
    }
};

SerialPort::SerialPort() : mImpl(std::make_unique<impl>()) {}
SerialPort::~SerialPort() = default;

bool SerialPort::open(const std::string& device, int baud, int timeoutMs, int dataBits, int stopBits, int parity)
{
    return mImpl->open(device, baud, timeoutMs, dataBits, stopBits, parity);
}
bool SerialPort::close() { return mImpl->close(); }
bool SerialPort::configure(int baud, int timeoutMs, int dataBits, int stopBits, int parity)
{
    return mImpl->configure(baud, timeoutMs, dataBits, stopBits, parity);
}
bool SerialPort::write(uint8_t octet) { return mImpl->write(octet); }
int SerialPort::writeBytes(const std::string& data) { return mImpl->writeBytes(data.data(), data.size()); }
int SerialPort::writeBytes(const std::vector<uint8_t>& data) { return mImpl->writeBytes(data.data(), data.size()); }
int SerialPort::read() { return mImpl->read(); }
int SerialPort::readBytes(std::string& buffer) { return mImpl->readChunk(buffer); }
int SerialPort::readBytes(std::vector<uint8_t>& buffer) { return mImpl->readChunk(buffer); }
std::vector<uint8_t> SerialPort::readBytes(size_t n) { return mImpl->readBytes(n); }
bool SerialPort::getline(std::string& line, char delim) { return mImpl->getline(line, delim); }
std::string SerialPort::getline() { return mImpl->getline(); }
int SerialPort::available() { return mImpl->available(); }
bool SerialPort::getReadTimeout(int* timeoutMs) { return mImpl->getReadTimeout(timeoutMs); }
bool SerialPort::setReadTimeout(int timeoutMs) { return mImpl->setReadTimeout(timeoutMs); }
bool SerialPort::getLowLatency(bool& on) { return mImpl->getLowLatency(on); }
bool SerialPort::setLowLatency(bool on) { return mImpl->setLowLatency(on); }
bool SerialPort::getBaudrate(unsigned int& baud) { return mImpl->getBaudrate(baud); }
bool SerialPort::setBaudrate(unsigned int baud) { return mImpl->setBaudrate(baud); }
bool SerialPort::flush() { return mImpl->flush(); }
bool SerialPort::drain() { return mImpl->drain(); }
int SerialPort::error() const { return mImpl->error; }
std::string SerialPort::errorStr() const { return errorText(mImpl->error); }
int SerialPort::getUnderlying() const { return mImpl->descriptor; }

bool API_serial_open(void* port, const char* device, uint32_t baud, uint8_t dataBits, uint8_t stopBits,
                     uint8_t parity)
{
    return static_cast<SerialPort*>(port)->open(device, static_cast<int>(baud), kApiReadTimeoutMs, dataBits,
                                                stopBits, parity);
}

bool API_serial_close(void* port) { return static_cast<SerialPort*>(port)->close(); }

bool API_serial_write(void* port, uint8_t octet) { return static_cast<SerialPort*>(port)->write(octet); }

int API_serial_read(void* port) { return static_cast<SerialPort*>(port)->read(); }

bool API_serial_flush(void* port) { return static_cast<SerialPort*>(port)->flush(); }

const char* API_serial_errorStr(void* port) { return errorText(static_cast<SerialPort*>(port)->error()); }
