#include "app/TCPConfigAdaptor.h"

#include <utility>

#include "foundation/JsonSetting.h"

namespace tavo::Board::TCP {

namespace {

// The "tcp" member that onConfigSet merges; null when there is none. Merged
// as it stands, a number or a text would become a setting without a name,
// and an array settings named by index.
const nlohmann::json* mergedSection(const nlohmann::json& config)
{
    const auto tcp = config.find("tcp");
    return tcp != config.end() && tcp->is_object() ? &*tcp : nullptr;
}

} // namespace

ConfigAdaptor::ConfigAdaptor(std::shared_ptr<tavo::Config::Config> configuration, std::shared_ptr<Service> service)
    : Logger("TCP::ConfigAdaptor"), mConfiguration(std::move(configuration)), mService(std::move(service))
{
}

void ConfigAdaptor::onConfigSet(const nlohmann::json& config)
{
    if (Log::enabled(Log::Debug)) {
        log(Log::Debug, "Setting config to %s...", tavo::Config::dumpForLog(config).c_str());
    }
    if (const nlohmann::json* tcp = mergedSection(config)) {
        try {
            mService->configSet(*tcp);
        } catch (const SettingError& error) {
            throw error.inSection("tcp");
        }
    } else if (config.contains("tcp")) {
        log(Log::Warning, "Ignoring the tcp section: not an object: %s",
            tavo::Config::dumpForLog(config["tcp"]).c_str());
    }
}

nlohmann::json ConfigAdaptor::onConfigGet() const
{
    log(Log::Debug, "Getting config...");
    return nlohmann::json{{"tcp", mService->configGet()}};
}

nlohmann::json ConfigAdaptor::onConfigPreview(const nlohmann::json& config) const
{
    const nlohmann::json* tcp = mergedSection(config);
    return nlohmann::json{{"tcp", mService->configPreview(tcp ? *tcp : nlohmann::json())}};
}

} // namespace tavo::Board::TCP
