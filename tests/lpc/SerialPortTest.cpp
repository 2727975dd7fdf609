#include "lpc/SerialPort.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <termios.h>

#include "OpenRecorder.h"
#include "lpc/PtyPair.h"

namespace {

termios settingsOf(const SerialPort& port)
{
    termios t;
    std::memset(&t, 0xA5, sizeof t);
    EXPECT_EQ(tcgetattr(port.getUnderlying(), &t), 0);
    return t;
}

speed_t outSpeed(const SerialPort& port)
{
    const termios t = settingsOf(port);
    return cfgetospeed(&t);
}

class SerialPortTest : public ::testing::Test
{
protected:
    bool openPort(int timeoutMs = 100, int baud = 115200, int dataBits = 8, int stopBits = 1, int parity = 0)
    {
        return port.open(pty.slaveName(), baud, timeoutMs, dataBits, stopBits, parity);
    }

    PtyPair pty;
    SerialPort port;
};

// The device opens without waiting for a carrier and stays out of child
// processes; once set up, reads wait as the timeout says, as before.
TEST_F(SerialPortTest, OpensWithoutWaitingForCarrierAndClosesOnExec)
{
    OpenRecorder recorder(pty.slaveName());
    ASSERT_TRUE(openPort());
    ASSERT_EQ(recorder.flags().size(), 1u);
    EXPECT_NE(recorder.flags()[0] & O_NONBLOCK, 0);
    EXPECT_EQ(fcntl(port.getUnderlying(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(port.getUnderlying(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(SerialPortTest, ReadTimeoutMapsToVminVtime)
{
    struct Row
    {
        int timeoutMs;
        int vmin;
        int vtime;
    };
    const Row rows[] = {{1000, 0, 10}, {99, 0, 1},  {250, 0, 2}, {30000, 0, 255},
                        {-5, 0, 1},    {0, 0, 0},   {-1, 1, 0},  {100, 0, 1}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.timeoutMs);
        ASSERT_TRUE(openPort(row.timeoutMs));
        const termios t = settingsOf(port);
        EXPECT_EQ(t.c_cc[VMIN], row.vmin);
        EXPECT_EQ(t.c_cc[VTIME], row.vtime);
    }
}

TEST_F(SerialPortTest, ReadTimeoutReadsBackInTenths)
{
    ASSERT_TRUE(openPort(250));
    int timeout = 12345;
    ASSERT_TRUE(port.getReadTimeout(&timeout));
    EXPECT_EQ(timeout, 200);

    ASSERT_TRUE(port.setReadTimeout(-1));
    ASSERT_TRUE(port.getReadTimeout(&timeout));
    EXPECT_EQ(timeout, -1);

    ASSERT_TRUE(port.setReadTimeout(0));
    ASSERT_TRUE(port.getReadTimeout(&timeout));
    EXPECT_EQ(timeout, 0);

    // VMIN 2 stands for no timeout of this port: the output stays as it was.
    termios t = settingsOf(port);
    t.c_cc[VMIN] = 2;
    ASSERT_EQ(tcsetattr(port.getUnderlying(), TCSANOW, &t), 0);
    timeout = 777;
    EXPECT_TRUE(port.getReadTimeout(&timeout));
    EXPECT_EQ(timeout, 777);
}

TEST_F(SerialPortTest, CharacterFormatIsRawWithRequestedFraming)
{
    ASSERT_TRUE(openPort(100, 115200, 8, 1, 0));
    termios t = settingsOf(port);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (CSTOPB | PARENB | PARODD | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNPAR));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);

    // A pseudo-terminal forces CS8 and clears PARENB whatever is asked, so
    // only the stop bits and the odd-parity flag show here.
    ASSERT_TRUE(openPort(100, 115200, 7, 2, 2));
    t = settingsOf(port);
    EXPECT_EQ(t.c_cflag & (CSTOPB | PARODD), static_cast<tcflag_t>(CSTOPB | PARODD));

    ASSERT_TRUE(openPort(100, 115200, 5, 1, 1));
    t = settingsOf(port);
    EXPECT_EQ(t.c_cflag & (CSTOPB | PARODD), 0u);

    ASSERT_TRUE(openPort(100, 115200, 9, 0, 3));
    t = settingsOf(port);
    EXPECT_EQ(t.c_cflag & (CSTOPB | PARODD), 0u);
}

TEST_F(SerialPortTest, BaudRatesOutsideTheTableSelect9600)
{
    for (int baud : {9600, 12345, 4800}) {
        SCOPED_TRACE(baud);
        ASSERT_TRUE(openPort(100, baud));
        EXPECT_EQ(outSpeed(port), static_cast<speed_t>(B9600));
    }
    ASSERT_TRUE(openPort(100, 57600));
    EXPECT_EQ(outSpeed(port), static_cast<speed_t>(B57600));
    const termios t57600 = settingsOf(port);
    EXPECT_EQ(cfgetispeed(&t57600), static_cast<speed_t>(B57600));

    unsigned int baud = 0;
    ASSERT_TRUE(port.setBaudrate(4000000));
    ASSERT_TRUE(port.getBaudrate(baud));
    EXPECT_EQ(baud, 4000000u);

    // A speed the table does not know reads back as 9600.
    termios t = settingsOf(port);
    cfsetospeed(&t, B4800);
    cfsetispeed(&t, B4800);
    ASSERT_EQ(tcsetattr(port.getUnderlying(), TCSANOW, &t), 0);
    ASSERT_TRUE(port.getBaudrate(baud));
    EXPECT_EQ(baud, 9600u);
}

TEST_F(SerialPortTest, CloseRestoresTheSettingsFoundAtOpen)
{
    termios before;
    ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
    before.c_lflag |= ICANON | ECHO;
    before.c_cc[VMIN] = 4;
    cfsetospeed(&before, B38400);
    ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &before), 0);

    {
        SerialPort scoped;
        ASSERT_TRUE(scoped.open(pty.slaveName(), 115200, 1000, 8, 1, 0));
        termios during;
        ASSERT_EQ(tcgetattr(pty.slave(), &during), 0);
        EXPECT_EQ(during.c_lflag & ICANON, 0u);
    }
    termios after;
    ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO), before.c_lflag & (ICANON | ECHO));
    EXPECT_EQ(after.c_cc[VMIN], 4);
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B38400));

    ASSERT_TRUE(openPort());
    ASSERT_TRUE(port.close());
    EXPECT_EQ(port.getUnderlying(), -1);
    EXPECT_TRUE(port.close());
}

TEST_F(SerialPortTest, FailuresRecordTheSystemError)
{
    EXPECT_FALSE(port.open("/nonexistent/lpc", 115200, 100, 8, 1, 0));
    EXPECT_EQ(port.getUnderlying(), -1);
    EXPECT_EQ(port.error(), ENOENT);
    EXPECT_EQ(port.errorStr(), std::strerror(ENOENT));

    EXPECT_FALSE(port.write(0x41));
    EXPECT_EQ(port.error(), EBADF);
    EXPECT_EQ(port.read(), -1);
    EXPECT_EQ(port.available(), 0);
    EXPECT_FALSE(port.flush());
    EXPECT_FALSE(port.drain());
    std::string buffer;
    EXPECT_EQ(port.readBytes(buffer), 0);
    EXPECT_EQ(buffer, std::string(250, '\0'));
    EXPECT_TRUE(port.readBytes(5).empty());
    EXPECT_EQ(port.error(), EBADF);

    // A later success leaves the recorded error in place.
    ASSERT_TRUE(openPort());
    EXPECT_EQ(port.error(), EBADF);
}

TEST_F(SerialPortTest, LowLatencyFlagFailsOnAPseudoTerminal)
{
    ASSERT_TRUE(openPort());
    bool on = true;
    EXPECT_FALSE(port.getLowLatency(on));
    EXPECT_EQ(port.error(), ENOTTY);
    EXPECT_TRUE(on);
    EXPECT_FALSE(port.setLowLatency(true));
    EXPECT_EQ(port.error(), ENOTTY);
}

TEST_F(SerialPortTest, MovesOctetsBothWays)
{
    ASSERT_TRUE(openPort(100));
    EXPECT_TRUE(port.write(0x7E));
    EXPECT_EQ(port.writeBytes(std::string("ab")), 2);
    EXPECT_EQ(port.writeBytes(std::vector<uint8_t>{0x00, 0xFF}), 2);
    EXPECT_TRUE(port.drain());
    EXPECT_EQ(pty.receive(5), (std::vector<uint8_t>{0x7E, 'a', 'b', 0x00, 0xFF}));

    pty.send({0xFF, 0x00, 0x10});
    ASSERT_TRUE(pty.waitPending(3));
    EXPECT_EQ(port.available(), 3);
    EXPECT_EQ(port.read(), 0xFF);
    EXPECT_EQ(port.read(), 0x00);
    std::vector<uint8_t> buffer;
    EXPECT_EQ(port.readBytes(buffer), 1);
    EXPECT_EQ(buffer, std::vector<uint8_t>{0x10});

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.read(), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(80));
    EXPECT_EQ(port.error(), 0);
}

TEST_F(SerialPortTest, ReadBytesStopsAtCountOrSilence)
{
    ASSERT_TRUE(openPort(100));
    std::string text = "sentinel";
    EXPECT_EQ(port.readBytes(text), 0);
    EXPECT_TRUE(text.empty());
    EXPECT_TRUE(port.readBytes(0).empty());

    pty.send({1, 2, 3});
    ASSERT_TRUE(pty.waitPending(3));
    EXPECT_EQ(port.readBytes(2), (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(port.readBytes(5), (std::vector<uint8_t>{3}));

    std::thread late([this] {
        pty.send({4, 5});
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pty.send({6, 7});
    });
    EXPECT_EQ(port.readBytes(4), (std::vector<uint8_t>{4, 5, 6, 7}));
    late.join();

    std::vector<uint8_t> big(600, 0x42);
    pty.send(big);
    ASSERT_TRUE(pty.waitPending(600));
    std::vector<uint8_t> chunk;
    EXPECT_EQ(port.readBytes(chunk), 250);
    EXPECT_EQ(chunk.size(), 250u);
    port.flush();
}

TEST_F(SerialPortTest, GetlineWithDelimiterDropsLineEnds)
{
    ASSERT_TRUE(openPort(100));
    pty.send({'a', '\r', 'b', ';', 'c'});
    ASSERT_TRUE(pty.waitPending(5));
    std::string line = "x";
    EXPECT_TRUE(port.getline(line, ';'));
    EXPECT_EQ(line, "xab");
    line.clear();
    EXPECT_FALSE(port.getline(line, ';'));
    EXPECT_EQ(line, "c");

    pty.send({'d', '\r', 'e', '\n'});
    ASSERT_TRUE(pty.waitPending(4));
    line.clear();
    EXPECT_TRUE(port.getline(line, '\n'));
    EXPECT_EQ(line, "de");
}

TEST_F(SerialPortTest, GetlineConsumesTheOtherHalfOfALineEndPair)
{
    ASSERT_TRUE(openPort(100));
    pty.send({'a', '\r', '\n', 'b'});
    ASSERT_TRUE(pty.waitPending(4));
    EXPECT_EQ(port.getline(), "a");
    EXPECT_EQ(port.read(), 'b');

    pty.send({'a', '\n', '\r', 'c', '\r'});
    ASSERT_TRUE(pty.waitPending(5));
    EXPECT_EQ(port.getline(), "a");
    EXPECT_EQ(port.getline(), "c");

    pty.send({'t', 'a', 'i', 'l'});
    ASSERT_TRUE(pty.waitPending(4));
    EXPECT_EQ(port.getline(), "tail");
}

TEST_F(SerialPortTest, GetlineKeepsTheOctetItLookedAt)
{
    ASSERT_TRUE(openPort(100));
    // Each form of reading must see the octet after the line end.
    pty.send({'a', '\r', 'b', 'x', '\n', 'c', 'y', '\n', 'd', 'z', '\n', 'e'});
    ASSERT_TRUE(pty.waitPending(12));

    EXPECT_EQ(port.getline(), "a");
    EXPECT_EQ(port.available(), 10);
    EXPECT_EQ(port.read(), 'b');
    EXPECT_EQ(port.getline(), "x");

    std::vector<uint8_t> chunk;
    EXPECT_EQ(port.readBytes(chunk), 1);
    EXPECT_EQ(chunk, std::vector<uint8_t>{'c'});
    EXPECT_EQ(port.getline(), "y");

    EXPECT_EQ(port.readBytes(2), (std::vector<uint8_t>{'d', 'z'}));
    EXPECT_EQ(port.read(), '\n');

    std::string line;
    EXPECT_FALSE(port.getline(line, ';'));
    EXPECT_EQ(line, "e");
}

TEST_F(SerialPortTest, FlushDiscardsWaitingInput)
{
    ASSERT_TRUE(openPort(100));
    pty.send({'a', '\n', 'b', 'c'});
    ASSERT_TRUE(pty.waitPending(4));
    EXPECT_EQ(port.getline(), "a");
    ASSERT_TRUE(port.flush());
    EXPECT_EQ(port.available(), 0);
    EXPECT_EQ(port.read(), -1);
}

TEST_F(SerialPortTest, ReopeningAnOpenPortAppliesTheNewSettings)
{
    ASSERT_TRUE(openPort(250));
    ASSERT_TRUE(openPort(-1, 57600));
    const termios t = settingsOf(port);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
    EXPECT_TRUE(port.write(0x33));
    EXPECT_EQ(pty.receive(1), std::vector<uint8_t>{0x33});
}

TEST(SerialPortFreeFunctions, OpenTheLinkAt8N1WithOneSecondTimeout)
{
    PtyPair pty;
    SerialPort port;
    ASSERT_TRUE(API_serial_open(&port, pty.slaveName().c_str(), 57600, 8, 1, 0));
    termios t;
    ASSERT_EQ(tcgetattr(port.getUnderlying(), &t), 0);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 10);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
    EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | PARENB), static_cast<tcflag_t>(CS8));

    EXPECT_TRUE(API_serial_write(&port, 0x5A));
    EXPECT_EQ(pty.receive(1), std::vector<uint8_t>{0x5A});
    pty.send({0xA5});
    EXPECT_EQ(API_serial_read(&port), 0xA5);
    EXPECT_TRUE(API_serial_flush(&port));
    EXPECT_TRUE(API_serial_close(&port));
    EXPECT_EQ(port.getUnderlying(), -1);

    EXPECT_FALSE(API_serial_open(&port, "/nonexistent/lpc", 115200, 8, 1, 0));
    const char* text = API_serial_errorStr(&port);
    EXPECT_FALSE(API_serial_write(&port, 0));
    EXPECT_STREQ(text, std::strerror(ENOENT));
    EXPECT_STREQ(API_serial_errorStr(&port), std::strerror(EBADF));
}

} // namespace
