#include "app/TCPConfig.h"

#include <cstdint>

#include "app/version/Version.h"

namespace tavo::Board::TCP {

Config::Config() : Logger("TCP::Config")
{
    defaults();
}

void Config::defaults()
{
    Logger::log(Log::Info, "Loading default configuration.");
    set("port", Variant(int(getDefaultPort())));
    set("address", Variant("127.0.0.1"));
}

Config& Config::fromJson(const nlohmann::json& j)
{
    fromJsonWithNumber(j, "port", "a port number", UINT16_MAX);
    return *this;
}

unsigned long Config::portGet() const
{
    return get("port").toUInt();
}

std::string Config::addressGet() const
{
    return get("address").toString();
}

void Config::portSet(unsigned long port)
{
    set("port", Variant(port));
}

void Config::addressSet(const std::string& address)
{
    set("address", Variant(address));
}

} // namespace tavo::Board::TCP
