// tavo::Config::MqttAdaptor: joins the configuration file and the MQTT
// client both ways. As the file's observer it owns the "mqtt" section: the
// section goes to the client and the client's settings come back as it. It
// serves the whole configuration as the node "config" at the root of the
// client's tree (read: the merge of every component; set: a new
// configuration through the file), and publishes that node retained after
// every connection and after every set that changes the configuration.
//
// Threading:
// - onConfigSet and onConfigGet run on the thread that called the
//   configuration file, under the file's lock: the main thread at start-up,
//   an MQTT library thread for a get or set of "config", and whichever
//   thread refreshes or publishes the client's tree.
// - The node's getter and setter run under the client's tree lock and then
//   take the file's lock (the order the file's lock documents); the setter's
//   refresh of "config" leaves the (un)subscriptions to the client's worker,
//   and its retained publication runs under the tree lock it holds (never
//   from onConfigSet, under the file's lock). A set that changes the "mqtt"
//   section restarts the client; the client's connector does that once the
//   set's handler returned, so its reply leaves under the old root.
// - onConnected runs on the client's subscriptions thread.
// - The adaptor takes no lock of its own. Its destructor removes the node
//   and its slot from the client, so the client never calls into it once
//   it is gone.
#pragma once

#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "app/Config.h"
#include "app/ConfigObserver.h"
#include "foundation/Log.h"
#include "messaging/Client.h"
#include "messaging/LambdaTree.h"

namespace tavo::Config {

class MqttAdaptor : public Observer, public Logger {
public:
    // Mounts the node "config" at the client's root, bounded as
    // Config::admitsRemoteSet says, and publishes it after every connection.
    MqttAdaptor(std::shared_ptr<Config> config, std::shared_ptr<MQTT::Client> client);
    ~MqttAdaptor() override;
    MqttAdaptor(const MqttAdaptor&) = delete;
    MqttAdaptor& operator=(const MqttAdaptor&) = delete;

    // Hands an "mqtt" section that differs from the client's settings (as
    // JSON values) to the client, merged over the defaults with an empty
    // base: keys it does not name take their defaults. A setting
    // MQTT::Config::fromJson refuses throws its SettingError with "mqtt/"
    // before the key path, and the client keeps its settings.
    void onConfigSet(const nlohmann::json& config) override;
    // Applied after every other observer, so that a set that fails leaves
    // the connection as it was.
    bool appliedLast() const override { return true; }
    // {"mqtt": the client's settings}.
    nlohmann::json onConfigGet() const override;
    nlohmann::json onConfigPreview(const nlohmann::json& config) const override;

    // The node's getter: the merged configuration.
    LambdaTree::Result lambdaTreeUpdate();
    // The node's setter: applies the value through the file (the stored
    // configuration when empty), brings the node's subscriptions in line and,
    // when the configuration changed, publishes "config" retained. Fails with
    // a text when the file does not hold the result, or, with nothing
    // applied, with the SettingError of a setting the "mqtt" section cannot
    // hold, "Invalid topic root: <base>" when it would move the base to
    // one MQTT cannot carry, one beginning with "$" or one past
    // MQTT::kMaxSetBaseOctets or MQTT::kMaxSetBaseLevels, and "Invalid
    // client id: <id>" or "Invalid user name: <name>" when it would change
    // either to a text MQTT cannot carry (each text cut at 256 octets).
    LambdaTree::Result lambdaTreeSet(const nlohmann::json& value);
    // Publishes "config" retained, at MQTT QoS 0.
    void onConnected();

private:
    // The settings onConfigSet hands to the client: the "mqtt" section over
    // the defaults; none when it leaves the client's as they are. A preview
    // starts from the defaults without their log line. Throws
    // onConfigSet's SettingError.
    std::optional<MQTT::Config> settingsAfter(const nlohmann::json& config, bool preview) const;
    // The error a remote set of value is refused with, when it would change
    // the base to one MQTT::isSettableBase refuses, or the client id or the
    // user name to a text MQTT::carriesCodePoints refuses. Throws
    // settingsAfter's SettingError.
    std::optional<std::string> refusedSettings(const nlohmann::json& value) const;

    std::shared_ptr<Config> mConfig;
    std::shared_ptr<MQTT::Client> mClient;
    int mConnectedSlot;
};

} // namespace tavo::Config
