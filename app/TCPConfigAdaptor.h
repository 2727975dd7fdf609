// tavo::Board::TCP::ConfigAdaptor: the configuration file's observer for the
// "tcp" section. It hands that section to the TCP service, which restarts
// when it runs, and reports the service's settings back under the same key.
// It keeps the configuration it was made for only so that both live as long
// as it does.
//
// Threading: both operations run on the thread that called the
// configuration file, under the file's lock; the adaptor takes no lock of
// its own. A restart of the service joins its loop thread from there.
#pragma once

#include <memory>

#include <nlohmann/json.hpp>

#include "app/Config.h"
#include "app/ConfigObserver.h"
#include "app/TCPService.h"
#include "foundation/Log.h"

namespace tavo::Board::TCP {

class ConfigAdaptor : public tavo::Config::Observer, public Logger {
public:
    ConfigAdaptor(std::shared_ptr<tavo::Config::Config> configuration, std::shared_ptr<Service> service);

    // Passes the "tcp" object of an object to Service::configSet; a "tcp"
    // member that is no object is ignored with a warning. The service's
    // failure to listen again passes on, and its SettingError with "tcp/"
    // before the key path.
    void onConfigSet(const nlohmann::json& config) override;
    // {"tcp": the service's settings}.
    nlohmann::json onConfigGet() const override;
    nlohmann::json onConfigPreview(const nlohmann::json& config) const override;

private:
    std::shared_ptr<tavo::Config::Config> mConfiguration;
    std::shared_ptr<Service> mService;
};

} // namespace tavo::Board::TCP
