#pragma once
// A real mosquitto broker of the test's own, listening on a free port of
// 127.0.0.1, with a generated configuration in a temporary directory and its
// log (every log type) written to a file there. Never the system's service:
// the broker is started as a child process and stopped by its pid.
//
//   MosquittoBroker broker;                 // started and accepting
//   client.setUrl(broker.url());            // "127.0.0.1:<port>"
//   EXPECT_TRUE(broker.waitForLog("as my_client_id", 5000));
//
// Every MQTT client of a test needs a client id of its own: two clients with
// one id make the broker drop each in turn.
//
// Threading: one test thread drives the broker; log() and waitForLog() may
// be called from any thread.

#include <string>
#include <sys/types.h>

#include "tests/support/TempDir.h"

class MosquittoBroker
{
public:
    enum class Access { Anonymous, Refused };

    // Starts the broker and waits until it accepts connections; throws
    // std::runtime_error when it cannot. Refused access turns every client
    // away with "not authorised".
    explicit MosquittoBroker(Access access = Access::Anonymous);
    // Stops the broker.
    ~MosquittoBroker();
    MosquittoBroker(const MosquittoBroker&) = delete;
    MosquittoBroker& operator=(const MosquittoBroker&) = delete;

    int port() const { return mPort; }
    // The address in the MQTT library's form: "127.0.0.1:<port>".
    std::string url() const;
    bool isRunning() const { return mPid > 0; }

    // Ends the broker (SIGTERM, then SIGKILL after 5 s) and reaps it; clients
    // see the connection lost. Nothing when it is not running.
    void stop();
    // Starts it again on the same port and waits until it accepts; throws
    // std::runtime_error when it cannot. Nothing when it is running.
    void start();

    // The broker's log so far.
    std::string log() const;
    // Waits up to timeoutMs for text to appear in the log.
    bool waitForLog(const std::string& text, int timeoutMs) const;

    // A port of 127.0.0.1 that nothing listens on at the moment of the call.
    static int freePort();

private:
    // Starts the broker on mPort; false when it exits before accepting (the
    // port was taken meanwhile).
    bool launch();
    bool waitAccepting(int timeoutMs) const;
    void writeConfig() const;

    Access mAccess;
    TempDir mDir;
    int mPort = 0;
    pid_t mPid = -1;
};
