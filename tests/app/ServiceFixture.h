#pragma once
// The TCP command service in this process, serving a manager on the
// simulated board, and a client connected to it over loopback.
//
// The manager holds its observers shared and the service holds the manager,
// so the service is attached through a forwarder that holds it weakly;
// otherwise neither would ever be destroyed.

#include <memory>
#include <string>
#include <vector>

#include "app/TCPService.h"
#include "board/ManagerFixture.h"
#include "messaging/TCPClient.h"
#include "messaging/TCPServer.h"

// One request of a table, the board prepared before it (null: as it is),
// the reply expected and what the board must show afterwards (null: nothing
// to check).
struct CommandCase {
    std::string request;
    std::function<void(SimDeviceState&)> prepare;
    std::string reply;
    std::function<bool(const SimDeviceState&)> after;
};

class ServiceTest : public ManagerTest {
protected:
    // The start makes some fifty board requests one after another: on a
    // starved host replies come later than the driver's 150 ms, and each
    // would be sent twice, or lost (a GPIO probe then counts fewer pins, and
    // twelve lost heartbeats fail the open).
    ServiceTest() { openReceiveTimeoutMs = 2000; }
    ~ServiceTest() override
    {
        client.close();
        if (service)
            service->stop();
    }

    // A loopback port nobody listens on now.
    static unsigned short freePort()
    {
        TCPServer probe;
        probe.listen(0, "127.0.0.1");
        const unsigned short port = probe.port();
        probe.close();
        return port;
    }

    // Opens the board, starts a service on a free port and connects `client`,
    // checking the greeting.
    void startService(const BoardProfile& profile = BoardProfile{},
                      const std::function<void(SimDeviceState&)>& prepare = nullptr)
    {
        open(profile, prepare);
        port = freePort();
        makeService(port);
        service->start();
        connect(client);
        settle(200);
    }

    void makeService(unsigned long commandLinePort, bool global = false)
    {
        service = std::make_shared<tavo::Board::TCP::Service>(manager, commandLinePort, global);
        auto forwarder = std::make_shared<Forwarder>();
        forwarder->target = service;
        manager->observerAttach(forwarder);
    }

    // Connects to the service and reads the greeting.
    void connect(TCPClient& to, unsigned short at = 0)
    {
        to.setReadTimeout(5000);
        to.connect("127.0.0.1", at ? at : port);
        EXPECT_EQ(line(to), "Lumacore 1.0.28");
    }

    // The next line from the service; "(none)" when none came.
    static std::string line(TCPClient& from)
    {
        std::string text;
        return from.getline(text) ? text : "(none)";
    }

    std::string request(const std::string& text)
    {
        client.println(text);
        return line(client);
    }

    // Runs the cases in order over `client`.
    void runCases(const std::vector<CommandCase>& cases)
    {
        for (const CommandCase& c : cases) {
            if (c.prepare)
                boardState([&c](SimDeviceState& s) {
                    c.prepare(s);
                    return 0;
                });
            EXPECT_EQ(request(c.request), c.reply) << c.request;
            if (c.after) {
                // Some requests (resetSystem) are answered before the board has them.
                EXPECT_TRUE(waitUntil([&] { return boardState([&c](SimDeviceState& s) { return c.after(s); }); },
                                      2000))
                    << c.request;
            }
        }
    }

    struct Forwarder : tavo::Board::Observer {
        void onEvent(const LPCEvent& event) override
        {
            if (auto service = target.lock())
                service->onEvent(event);
        }
        std::weak_ptr<tavo::Board::TCP::Service> target;
    };

    unsigned short port = 0;
    std::shared_ptr<tavo::Board::TCP::Service> service;
    TCPClient client;
};
