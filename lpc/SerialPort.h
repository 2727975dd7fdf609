// SerialPort: synchronous access to a POSIX terminal device in raw mode.
//
// Every failing system call records errno (read() excepted); error() and
// errorStr() report the last one until another failure overwrites it. A
// timeout is not an error. The port takes no locks: one thread may read
// while another writes, but open, configure and close must not overlap any
// other use of the port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class SerialPort
{
public:
    SerialPort();
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens the device read-write, raw, close-on-exec, and configures it,
    // without waiting for a carrier; reads then block as the timeout says.
    // An open port is closed first. False when the device cannot be opened (the port stays
    // closed) or cannot be configured (the port stays open until close()).
    bool open(const std::string& device, int baud, int timeoutMs, int dataBits, int stopBits, int parity);
    // Restores the settings found at open and closes; true when already closed.
    bool close();
    // Applies fresh raw settings built from scratch; discards unread input.
    // timeoutMs: -1 blocks for an octet, 0 never waits, otherwise tenths of a
    // second (1 to 255) to wait for the first octet.
    bool configure(int baud, int timeoutMs, int dataBits, int stopBits, int parity);

    // True when the one octet was written.
    bool write(uint8_t octet);
    // One system write of the whole buffer; the count written, 0 on failure.
    int writeBytes(const std::string& data);
    int writeBytes(const std::vector<uint8_t>& data);

    // The next octet (0..255), or -1 on timeout, end of file or error.
    int read();
    // One read of up to 250 octets into buffer; the count, 0 on failure or
    // timeout.
    int readBytes(std::string& buffer);
    int readBytes(std::vector<uint8_t>& buffer);
    // Reads until n octets arrived or a read returns nothing; empty when a
    // read fails.
    std::vector<uint8_t> readBytes(size_t n);

    // Appends octets to line up to delim (not appended); CR and LF are dropped
    // unless one is delim. False when a read ends before delim.
    bool getline(std::string& line, char delim);
    // A line ended by CR, LF, CR LF or LF CR, or the text read before a
    // timeout; an octet looked at after the line end stays for the next read.
    std::string getline();
    // Octets waiting to be read; 0 on failure.
    int available();

    // Reports the timeout in ms that the device's VMIN/VTIME stand for;
    // leaves timeoutMs untouched for a combination that maps to none.
    bool getReadTimeout(int* timeoutMs);
    // Changes only the device's read timeout, at once.
    bool setReadTimeout(int timeoutMs);
    // The driver's low-latency flag; fails on devices without serial driver
    // info (a pseudo-terminal gives ENOTTY).
    bool getLowLatency(bool& on);
    bool setLowLatency(bool on);
    // The line speed in bits per second; unsupported speeds read as 9600.
    bool getBaudrate(unsigned int& baud);
    // Changes only the line speed; unsupported rates select 9600.
    bool setBaudrate(unsigned int baud);
    // Discards unread input and unsent output.
    bool flush();
    // Waits until all output has been sent.
    bool drain();

    int error() const;
    std::string errorStr() const;
    // The descriptor, -1 when closed.
    int getUnderlying() const;

private:
    class impl;
    std::unique_ptr<impl> mImpl;
};

// The message layer's access to a SerialPort passed as an untyped pointer.
// These functions alone fix the link's line settings.

// Opens 'device' (not null) with a 1000 ms read timeout; false on failure.
bool API_serial_open(void* port, const char* device, uint32_t baud, uint8_t dataBits, uint8_t stopBits,
                     uint8_t parity);
bool API_serial_close(void* port);
bool API_serial_write(void* port, uint8_t octet);
// An octet, or -1 after the read timeout or on failure.
int API_serial_read(void* port);
bool API_serial_flush(void* port);
// The system's text for the port's last error; stays valid after the call.
const char* API_serial_errorStr(void* port);
