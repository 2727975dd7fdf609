#include "app/TCPConfigAdaptor.h"

#include <utility>

namespace tavo::Board::TCP {

ConfigAdaptor::ConfigAdaptor(std::shared_ptr<tavo::Config::Config> configuration, std::shared_ptr<Service> service)
    : Logger("TCP::ConfigAdaptor"), mConfiguration(std::move(configuration)), mService(std::move(service))
{
}

void ConfigAdaptor::onConfigSet(const nlohmann::json& config)
{
    log(Log::Debug, "Setting config to %s...", tavo::Config::dumpForLog(config).c_str());
    if (!config.is_object() || !config.contains("tcp")) {
        return;
    }
    const nlohmann::json& tcp = config["tcp"];
    // Merged as it stands, a number or a text would become a setting without
    // a name, and an array settings named by index.
    if (!tcp.is_object()) {
        log(Log::Warning, "Ignoring the tcp section: not an object: %s", tavo::Config::dumpForLog(tcp).c_str());
        return;
    }
    mService->configSet(tcp);
}

nlohmann::json ConfigAdaptor::onConfigGet() const
{
    log(Log::Debug, "Getting config...");
    return nlohmann::json{{"tcp", mService->configGet()}};
}

} // namespace tavo::Board::TCP
