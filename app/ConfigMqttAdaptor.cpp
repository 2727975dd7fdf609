#include "app/ConfigMqttAdaptor.h"

#include <utility>

namespace tavo::Config {

namespace {
const char* const kNode = "config";
} // namespace

MqttAdaptor::MqttAdaptor(std::shared_ptr<Config> config, std::shared_ptr<MQTT::Client> client)
    : Logger("ConfigMqttAdaptor"), mConfig(std::move(config)), mClient(std::move(client))
{
    LambdaTree node(LambdaTree::bindGetter(&MqttAdaptor::lambdaTreeUpdate, this),
                    LambdaTree::bindSetter(&MqttAdaptor::lambdaTreeSet, this));
    node.setBound(&Config::admitsRemoteSet);
    mClient->subscribeLambdaTree(LambdaTree(LambdaTree::Children{{kNode, node}}), "");
    mConnectedSlot = mClient->connected.connect_member(this, &MqttAdaptor::onConnected);
}

MqttAdaptor::~MqttAdaptor()
{
    mClient->connected.disconnect(mConnectedSlot);
    mClient->unsubscribeLambdaTree(kNode);
}

void MqttAdaptor::onConfigSet(const nlohmann::json& config)
{
    log(Log::Debug, "Notified of config set");
    if (!config.is_object() || !config.contains("mqtt")) {
        log(Log::Debug, "No `mqtt` field found. Ignoring.");
        return;
    }
    if (config["mqtt"] == mClient->getConfig().toJson()) {
        return;
    }
    log(Log::Debug, "Difference in mqtt config detected");
    MQTT::Config settings("", "MQTT");
    settings.fromJson(config["mqtt"]);
    mClient->setConfig(settings);
}

nlohmann::json MqttAdaptor::onConfigGet() const
{
    log(Log::Debug, "Notified of config get");
    return nlohmann::json{{"mqtt", mClient->getConfig().toJson()}};
}

LambdaTree::Result MqttAdaptor::lambdaTreeUpdate()
{
    return {true, mConfig->configGet()};
}

LambdaTree::Result MqttAdaptor::lambdaTreeSet(const nlohmann::json& value)
{
    mConfig->configSet(value);
    mClient->updateLambdaTreeSubscriptions(kNode, true);
    return {true, nullptr};
}

void MqttAdaptor::onConnected()
{
    mClient->publishLambdaTreeNode(kNode, MQTT::Retained::Yes, MQTT::QoS::AtMostOnce);
}

} // namespace tavo::Config
