#pragma once
// A client that drips: its own thread sends one octet ("x") every period,
// never a line end, until the Dripper is destroyed or the connection fails.
// Meanwhile the test leaves the client alone.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "messaging/TCPClient.h"

class Dripper {
public:
    Dripper(TCPClient& to, std::chrono::milliseconds period)
        : thread([this, &to, period] {
              std::unique_lock<std::mutex> lock(mutex);
              while (!stopping.wait_for(lock, period, [this] { return stop; }) && to.print("x") == 1) {
              }
          })
    {
    }
    ~Dripper()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        stopping.notify_all();
        thread.join();
    }

private:
    std::mutex mutex;
    std::condition_variable stopping;
    bool stop = false;
    std::thread thread;
};
