// tavo::Board::ConfigAdaptor: the configuration file's observer for the
// "device" section. It hands that section to the board manager and reports
// the manager's board configuration back under the same key. It keeps the
// configuration it was made for only so that both live as long as it does.
//
// Threading: both operations run on the thread that called the
// configuration file, under the file's lock; the adaptor takes no lock of
// its own.
#pragma once

#include <memory>

#include <nlohmann/json.hpp>

#include "app/Config.h"
#include "app/ConfigObserver.h"
#include "board/Manager.h"
#include "board/Observer.h"
#include "foundation/Log.h"

namespace tavo::Board {

class ConfigAdaptor : public tavo::Config::Observer, public tavo::Board::Observer, public Logger {
public:
    ConfigAdaptor(std::shared_ptr<tavo::Config::Config> configuration, std::shared_ptr<Manager> manager);

    // Passes the "device" member of an object to Manager::setConfig; any
    // other document changes nothing. The manager's errors pass on, a
    // SettingError with "device/" before its key path.
    void onConfigSet(const nlohmann::json& config) override;
    // {"device": the manager's board configuration}.
    nlohmann::json onConfigGet() const override;
    nlohmann::json onConfigPreview(const nlohmann::json& config) const override;
    nlohmann::json onConfigPreviewNow(const nlohmann::json& config) const override;

    using tavo::Board::Observer::onConfigSet;

private:
    std::shared_ptr<tavo::Config::Config> mConfiguration;
    std::shared_ptr<Manager> mManager;
};

} // namespace tavo::Board
