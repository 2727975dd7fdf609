// The manager's hardware operations other than GPIO and LCD: each is one
// device request with the manager's own checks and conversions, or an answer
// from what was cached when the device was opened.

#include "board/Manager.h"

namespace tavo::Board {

unsigned long Manager::serialPortCountGet() const
{
    return serialPortCount;
}

ErrorCode Manager::heartbeatSend()
{
    return translate(driver.heartbeat());
}

// Identity.

ErrorCode Manager::firmwareVersionGet(std::string& version)
{
    version = firmwareVersion;
    return ErrorCode::Ok;
}

ErrorCode Manager::hardwareIDGet(std::string& id)
{
    id = hardwareId;
    return ErrorCode::Ok;
}

ErrorCode Manager::hardwareVersionGet(std::string& version)
{
    version = boardName + "-R" + boardRevision;
    return ErrorCode::Ok;
}

} // namespace tavo::Board
