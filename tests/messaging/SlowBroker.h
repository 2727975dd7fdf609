#pragma once
// A broker of raw MQTT 3.1.1 octets on 127.0.0.1 for what mosquitto will not
// do: it takes one client, reads its packets, answers its CONNECT only when
// told and never answers a SUBSCRIBE or an UNSUBSCRIBE.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

class SlowBroker
{
public:
    SlowBroker()
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(listener, 1) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("SlowBroker: no listening socket");
        port = ntohs(address.sin_port);
    }
    ~SlowBroker()
    {
        if (peer >= 0)
            close(peer);
        close(listener);
    }

    std::string url() const { return "127.0.0.1:" + std::to_string(port); }
    // Takes the client; false when none came within timeoutMs.
    bool accept(int timeoutMs)
    {
        pollfd ready{listener, POLLIN, 0};
        if (poll(&ready, 1, timeoutMs) != 1)
            return false;
        peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        return peer >= 0;
    }
    // The type octet of the client's next packet, its body skipped; -1 when
    // none came within timeoutMs or the client closed.
    int nextPacket(int timeoutMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        uint8_t type = 0;
        if (!read(&type, 1, deadline))
            return -1;
        size_t remaining = 0;
        uint8_t digit = 0x80;
        for (int shift = 0; (digit & 0x80) != 0 && shift < 28; shift += 7) {
            if (!read(&digit, 1, deadline))
                return -1;
            remaining |= static_cast<size_t>(digit & 0x7f) << shift;
        }
        std::vector<uint8_t> body(remaining);
        return read(body.data(), remaining, deadline) ? type : -1;
    }
    // Accepts the session: CONNACK with return code 0.
    bool acceptSession()
    {
        const uint8_t connack[] = {0x20, 0x02, 0x00, 0x00};
        return send(peer, connack, sizeof connack, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof connack);
    }
    // Takes the client and accepts its session at once.
    bool acceptConnected(int timeoutMs) { return accept(timeoutMs) && nextPacket(timeoutMs) == 0x10 && acceptSession(); }

private:
    bool read(uint8_t* into, size_t count, std::chrono::steady_clock::time_point deadline)
    {
        while (count > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd ready{peer, POLLIN, 0};
            if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) != 1)
                return false;
            const ssize_t got = recv(peer, into, count, 0);
            if (got <= 0)
                return false;
            into += got;
            count -= static_cast<size_t>(got);
        }
        return true;
    }

    int listener = -1;
    int peer = -1;
    int port = 0;
};
