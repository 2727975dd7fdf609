#pragma once
// tavo::Board::TCP::Config: the TCP command service's settings, "port" and
// "address", with their defaults. Other keys merged in are kept and reported.
// The class takes no lock: the service guards its copy.

#include <string>

#include "foundation/Log.h"
#include "foundation/Settings.h"

namespace tavo::Board::TCP {

class Config : public SettingStore, public Logger {
public:
    // The defaults, logged.
    Config();

    // Sets "port" (1414, signed) and "address" ("127.0.0.1"); other keys stay.
    void defaults();

    // SettingStore::fromJson, once "port" holds a port number: a number or
    // a text holding one (JsonSetting::unsignedNumberOrText) up to 65535.
    // Otherwise throws SettingError("port", "<value> is not a port number")
    // and merges nothing.
    Config& fromJson(const nlohmann::json& j);

    // "port" read as an unsigned number (base from the prefix).
    unsigned long portGet() const;
    std::string addressGet() const;
    // port is at most 65535.
    void portSet(unsigned long port);
    void addressSet(const std::string& address);
};

} // namespace tavo::Board::TCP
