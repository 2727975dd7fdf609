#include "app/BoardMqttAdaptor.h"

#include <utility>

namespace tavo::Board {

namespace {

using json = nlohmann::json;

// A getter node, or a getter and setter node, over a member of the adaptor.
LambdaTree node(MqttAdaptor* adaptor, MqttAdaptor::Result (MqttAdaptor::*getter)())
{
    return LambdaTree(LambdaTree::bindGetter(getter, adaptor));
}

LambdaTree node(MqttAdaptor* adaptor, MqttAdaptor::Result (MqttAdaptor::*getter)(),
                MqttAdaptor::Result (MqttAdaptor::*setter)(const json&))
{
    return LambdaTree(LambdaTree::bindGetter(getter, adaptor), LambdaTree::bindSetter(setter, adaptor));
}

// The board's readings under "status/device", beside "active".
const std::pair<const char*, MqttAdaptor::Result (MqttAdaptor::*)()> kReadings[] = {
    {"hardwareStatus", &MqttAdaptor::hardwareStatusGet},
    {"heater", &MqttAdaptor::heaterGet},
    {"ignition", &MqttAdaptor::ignitionGet},
    {"poleId", &MqttAdaptor::poleIDGet},
    {"temperature", &MqttAdaptor::temperatureGet},
    {"uptime", &MqttAdaptor::uptimeGet},
    {"voltage", &MqttAdaptor::voltageGet},
};

// "status" as the broker publishes it for a process that ended without its
// last status (killed, or ended by its stop's deadline): no service, no
// board, no readings.
std::string absentStatus()
{
    json device = {{"active", false}};
    for (const auto& reading : kReadings) {
        device[reading.first] = nullptr;
    }
    return MQTT::Client::toText({{"device", device}, {"service", false}});
}

// The board's tree: six settable nodes and the groups imu, info and status.
LambdaTree boardTree(MqttAdaptor* a)
{
    using A = MqttAdaptor;
    const LambdaTree imu(LambdaTree::Children{
        {"rawData", node(a, &A::imuRawDataGet)},
        {"totalAcceleration", node(a, &A::imuTotalAccGet)},
    });
    const LambdaTree info(LambdaTree::Children{
        {"device", node(a, &A::deviceInfoGet)},
        {"service", node(a, &A::serviceInfoGet)},
    });
    LambdaTree::Children readings{{"active", node(a, &A::activeGet)}};
    for (const auto& [name, getter] : kReadings) {
        readings.emplace(name, node(a, getter));
    }
    const LambdaTree device(readings);
    const LambdaTree status(LambdaTree::Children{
        {"device", device},
        {"service", node(a, &A::serviceGet)},
    });
    return LambdaTree(LambdaTree::Children{
        {"audio", node(a, &A::audioGet, &A::audioSet)},
        {"serial", node(a, &A::serialGet, &A::serialSet)},
        {"gpio", node(a, &A::gpioGet, &A::gpioSet)},
        {"display", node(a, &A::displayGet, &A::displaySet)},
        {"lcd", node(a, &A::lcdGet, &A::lcdSet)},
        {"power", node(a, &A::powerGet, &A::powerSet)},
        {"imu", imu},
        {"info", info},
        {"status", status},
    });
}

} // namespace

MqttAdaptor::MqttAdaptor(std::shared_ptr<Manager> manager, std::shared_ptr<MQTT::Client> client)
    : Logger("ManagerMqttAdaptor"), manager(std::move(manager)), client(std::move(client))
{
    startingSlot = this->client->starting.connect_member(this, &MqttAdaptor::onStarting);
    connectedSlot = this->client->connected.connect_member(this, &MqttAdaptor::onConnected);
    disconnectedSlot = this->client->disconnected.connect_member(this, &MqttAdaptor::onDisconnected);
    stoppingSlot = this->client->stopping.connect_member(this, &MqttAdaptor::onStopping);
    this->client->setWill(MQTT::Message("status", absentStatus(), MQTT::Retained::Yes, MQTT::QoS::AtMostOnce));
    this->client->subscribeLambdaTree(boardTree(this), "");
    registerRpcs();
}

MqttAdaptor::~MqttAdaptor()
{
    client->starting.disconnect(startingSlot);
    client->connected.disconnect(connectedSlot);
    client->disconnected.disconnect(disconnectedSlot);
    client->stopping.disconnect(stoppingSlot);
}

void MqttAdaptor::onStarting()
{
    std::lock_guard<std::mutex> lock(statusMutex);
    serviceRunning = true;
}

void MqttAdaptor::onConnected()
{
    publishStatus();
    publishRetained("info");
}

void MqttAdaptor::onDisconnected() {}

// At the process stop the manager refuses every board request but those of
// the last status, for a short while from its first one, the heartbeat: the
// window opens once the tree lock is ours, so waiting for it does not use
// the window up, and before any reading, whichever sorts first.
void MqttAdaptor::onStopping()
{
    std::lock_guard<std::mutex> lock(statusMutex);
    serviceRunning = false;
    client->publishLambdaTreeNode("status", MQTT::Retained::Yes, MQTT::QoS::AtMostOnce,
                                  [this] { manager->beginLastStatus(); });
}

void MqttAdaptor::publishRetained(const std::string& path)
{
    client->publishLambdaTreeNode(path, MQTT::Retained::Yes, MQTT::QoS::AtMostOnce);
}

// A status read as the stop begins, its readings refused, must not reach the
// broker after the last one.
void MqttAdaptor::publishStatus()
{
    std::lock_guard<std::mutex> lock(statusMutex);
    if (serviceRunning) {
        statusPublishing();
        publishRetained("status");
    }
}

void MqttAdaptor::onStatusChanged()
{
    publishStatus();
}

// Runs under the configuration file's lock, which the "config" node's getter
// takes under the client's tree lock: the refresh goes to the client's worker.
void MqttAdaptor::onConfigSet()
{
    log(Log::Debug, "Updating LambdaTree subscriptions");
    client->updateLambdaTreeSubscriptionsLater("");
}

void MqttAdaptor::reportErrors(const std::map<std::string, json>& errors)
{
    json list = json::array();
    for (const auto& [topic, error] : errors) {
        if (error != json(true)) {
            list.push_back({{"description", error}, {"topic", topic}});
        }
    }
    if (!list.empty()) {
        client->publish(MQTT::Message("errors", MQTT::Client::toText(list), MQTT::Retained::No,
                                      MQTT::QoS::AtMostOnce),
                        true);
    }
}

} // namespace tavo::Board
