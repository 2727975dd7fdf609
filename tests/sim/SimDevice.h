#pragma once
// SimDevice: the simulated microcontroller's own model of the board and the
// table of requests it answers. It declares its own view of each request
// (argument count, reply layout) instead of borrowing the driver's, so a
// disagreement between the two shows up as a failing test.
//
// Error policy (Error field of the reply):
//   a message that is not a request 4, unknown identifier 3, known
//   identifier with unknown sub-identifier 5, wrong request size 7, argument
//   out of range 6.
//
// Threading: handle() runs on the simulator's line thread; tests read and
// change the state through access() from their own thread. mMutex guards the
// state; handlers run with it held and must not call access().

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// What the simulated board knows about itself.
struct SimDeviceState {
    uint32_t uptimeSeconds = 0;
    std::string firmwareVersion = "SIM-1.0.0";
    std::array<uint8_t, 15> peripheralPower{}; // by microcontroller peripheral number
};

// The answer to one request: the Error field and the values that follow the
// sub-identifier in Data.
struct SimReply {
    int error = 0;
    std::vector<uint8_t> values;
};

class SimDevice {
public:
    // A request's arguments are the octets after the sub-identifier.
    using Handler = std::function<SimReply(SimDeviceState& state, const std::vector<uint8_t>& args)>;
    static constexpr int kVariableSize = -1;

    SimDevice();

    // Answers one request message (Data[0] is its sub-identifier) under the
    // error policy above; the result's values exclude the sub-identifier.
    SimReply handle(uint8_t id, int type, const uint8_t* data, uint16_t size);

    // Runs f on the state under the device's lock and returns its result.
    template <typename F>
    auto access(F&& f)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return f(mState);
    }

private:
    struct Entry {
        int argCount; // octets after the sub-identifier, or kVariableSize
        Handler handler;
    };

    void add(uint8_t id, uint8_t subId, int argCount, Handler handler);
    void addSystem();
    void addPower();

    std::mutex mMutex;
    SimDeviceState mState;
    std::map<std::pair<uint8_t, uint8_t>, Entry> mTable;
};
