// What the board manager tells its users. Every operation does nothing
// unless overridden, so an observer overrides only what it needs.
#pragma once

#include "lpc/LPCEvent.h"

namespace tavo::Board {

class Observer {
public:
    virtual ~Observer() = default;

    // After the manager applied a configuration; on the thread that set it.
    virtual void onConfigSet() {}
    // When the microcontroller starts or stops answering; on the status
    // timer's thread.
    virtual void onStatusChanged() {}
    // For every event of the microcontroller, on the driver's reader thread
    // (download progress: on the downloading thread). Must not make device
    // requests: the reader thread alone delivers their replies.
    virtual void onEvent(const LPCEvent&) {}
};

} // namespace tavo::Board
