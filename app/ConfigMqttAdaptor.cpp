#include "app/ConfigMqttAdaptor.h"

#include <cstring>
#include <optional>
#include <utility>

#include "foundation/JsonSetting.h"
#include "foundation/JsonText.h"
#include "messaging/TopicText.h"

namespace tavo::Config {

namespace {
const char* const kNode = "config";
const char* const kStoppingNotSaved = "Stopping: applied, not saved";
const char* const kWriteFailedNotSaved = "Applied, not saved: the configuration file could not be written";
const std::string kInvalidTopicRoot = "Invalid topic root: ";
const std::string kInvalidClientId = "Invalid client id: ";
const std::string kInvalidUserName = "Invalid user name: ";
} // namespace

MqttAdaptor::MqttAdaptor(std::shared_ptr<Config> config, std::shared_ptr<MQTT::Client> client)
    : Logger("ConfigMqttAdaptor"), mConfig(std::move(config)), mClient(std::move(client))
{
    LambdaTree node(LambdaTree::bindGetter(&MqttAdaptor::lambdaTreeUpdate, this),
                    LambdaTree::bindSetter(&MqttAdaptor::lambdaTreeSet, this));
    node.setBound([this](const nlohmann::json& value) { return mConfig->admitsRemoteSet(value, std::strlen(kNode)); });
    mClient->subscribeLambdaTree(LambdaTree(LambdaTree::Children{{kNode, node}}), "");
    mConnectedSlot = mClient->connected.connect_member(this, &MqttAdaptor::onConnected);
}

MqttAdaptor::~MqttAdaptor()
{
    mClient->connected.disconnect(mConnectedSlot);
    mClient->unsubscribeLambdaTree(kNode);
}

std::optional<MQTT::Config> MqttAdaptor::settingsAfter(const nlohmann::json& config, bool preview) const
{
    if (!config.is_object() || !config.contains("mqtt") || config["mqtt"] == mClient->getConfig().toJson()) {
        return std::nullopt;
    }
    MQTT::Config settings = preview ? MQTT::Config::quietDefaults("", "MQTT") : MQTT::Config("", "MQTT");
    try {
        settings.fromJson(config["mqtt"]);
    } catch (const SettingError& error) {
        throw error.inSection("mqtt");
    }
    return settings;
}

void MqttAdaptor::onConfigSet(const nlohmann::json& config)
{
    log(Log::Debug, "Notified of config set");
    if (!config.is_object() || !config.contains("mqtt")) {
        log(Log::Debug, "No `mqtt` field found. Ignoring.");
        return;
    }
    if (const std::optional<MQTT::Config> settings = settingsAfter(config, false)) {
        log(Log::Debug, "Difference in mqtt config detected");
        mClient->setConfig(*settings);
    }
}

nlohmann::json MqttAdaptor::onConfigGet() const
{
    log(Log::Debug, "Notified of config get");
    return nlohmann::json{{"mqtt", mClient->getConfig().toJson()}};
}

nlohmann::json MqttAdaptor::onConfigPreview(const nlohmann::json& config) const
{
    std::optional<MQTT::Config> settings;
    try {
        settings = settingsAfter(config, true);
    } catch (const SettingError&) {
        // onConfigSet then leaves the client's settings as they are.
    }
    return nlohmann::json{{"mqtt", (settings ? *settings : mClient->getConfig()).toJson()}};
}

LambdaTree::Result MqttAdaptor::lambdaTreeUpdate()
{
    return {true, mConfig->configGet()};
}

std::optional<std::string> MqttAdaptor::refusedSettings(const nlohmann::json& value) const
{
    const std::optional<MQTT::Config> settings = settingsAfter(value, true);
    if (!settings)
        return std::nullopt;
    // A value the daemon holds already passes: what a get returned sets back.
    const MQTT::Config current = mClient->getConfig();
    if (const std::string base = settings->getBase(); base != current.getBase() && !MQTT::isSettableBase(base))
        return kInvalidTopicRoot + JsonText::cut(base);
    // The broker closes every connection that carries such a text.
    if (const std::string id = settings->getClientId(); id != current.getClientId() && !MQTT::carriesCodePoints(id))
        return kInvalidClientId + JsonText::cut(id);
    if (const std::string user = settings->getUsername();
        user != current.getUsername() && !MQTT::carriesCodePoints(user))
        return kInvalidUserName + JsonText::cut(user);
    return std::nullopt;
}

// A set is acknowledged only once the file holds it: a peer told of success
// relies on it surviving a restart.
LambdaTree::Result MqttAdaptor::lambdaTreeSet(const nlohmann::json& value)
{
    if (const std::optional<std::string> refusal = refusedSettings(value))
        return {false, *refusal};
    const nlohmann::json before = mConfig->configGet();
    const Config::Saving saving = mConfig->configSet(value);
    mClient->updateLambdaTreeSubscriptions(kNode, true);
    // A peer that subscribes later must get what the daemon now runs with;
    // the getter's value as it is, since the tree reads the node back anyway.
    if (const nlohmann::json after = mConfig->configGet(); after != before)
        mClient->publish(MQTT::Message(kNode, MQTT::Client::toText(after), MQTT::Retained::Yes, MQTT::QoS::AtMostOnce),
                         true);
    switch (saving) {
    case Config::Saving::Saved:
        return {true, nullptr};
    case Config::Saving::RewritesStopped:
        return {false, kStoppingNotSaved};
    default:
        return {false, kWriteFailedNotSaved};
    }
}

void MqttAdaptor::onConnected()
{
    mClient->publishLambdaTreeNode(kNode, MQTT::Retained::Yes, MQTT::QoS::AtMostOnce);
}

} // namespace tavo::Config
