#include "app/BoardConfigAdaptor.h"

#include <utility>

#include "foundation/JsonSetting.h"

namespace tavo::Board {

ConfigAdaptor::ConfigAdaptor(std::shared_ptr<tavo::Config::Config> configuration, std::shared_ptr<Manager> manager)
    : Logger("ManagerConfigAdaptor"), mConfiguration(std::move(configuration)), mManager(std::move(manager))
{
}

void ConfigAdaptor::onConfigSet(const nlohmann::json& config)
{
    if (Log::enabled(Log::Debug)) {
        log(Log::Debug, "Setting config... %s", tavo::Config::dumpForLog(config).c_str());
    }
    if (config.is_object() && config.contains("device")) {
        try {
            mManager->setConfig(config["device"]);
        } catch (const SettingError& error) {
            throw error.inSection("device");
        }
    }
}

nlohmann::json ConfigAdaptor::onConfigGet() const
{
    log(Log::Debug, "Getting config...");
    return nlohmann::json{{"device", mManager->getConfig()}};
}

nlohmann::json ConfigAdaptor::onConfigPreview(const nlohmann::json& config) const
{
    const bool named = config.is_object() && config.contains("device");
    return nlohmann::json{{"device", mManager->configPreview(named ? config["device"] : nlohmann::json())}};
}

nlohmann::json ConfigAdaptor::onConfigPreviewNow(const nlohmann::json& config) const
{
    const bool named = config.is_object() && config.contains("device");
    return nlohmann::json{{"device", mManager->configPreviewNow(named ? config["device"] : nlohmann::json())}};
}

} // namespace tavo::Board
