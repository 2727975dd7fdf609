// tavo::Board::MqttAdaptor: the board offered to MQTT clients. It mounts a
// LambdaTree of getters and setters over the manager at the root of the
// process's MQTT::Client and keeps the retained "status" and "info"
// nodes up to date.
//
// The code is split by concern: BoardMqttAdaptor.cpp (construction, the
// client's signals, the manager's notifications), BoardMqttTree.cpp (the
// getters) and BoardMqttSetters.cpp (the setters).
//
// Threading:
// - Getters and setters run on the MQTT library's threads (get and set
//   requests), the client's subscriptions thread (the publication after each
//   connection), the manager's status timer thread (onStatusChanged) and the
//   threads that start and stop the client; several may run at once. The
//   adaptor takes no lock of its own: the manager serialises every device
//   request, and the only state that changes is the atomic serviceRunning.
// - The client's tree calls this object: it must outlive the client's use of
//   the tree (main keeps both for the life of the process). Its destructor
//   disconnects its slots from the client's signals.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "board/Manager.h"
#include "board/Observer.h"
#include "foundation/Log.h"
#include "messaging/Client.h"
#include "messaging/LambdaTree.h"

namespace tavo::Board {

class MqttAdaptor : public Observer, public Logger {
public:
    using json = nlohmann::json;
    using Result = LambdaTree::Result;

    // Connects to the client's signals and mounts the board's tree at the
    // client's root.
    MqttAdaptor(std::shared_ptr<Manager> manager, std::shared_ptr<MQTT::Client> client);
    ~MqttAdaptor() override;
    MqttAdaptor(const MqttAdaptor&) = delete;
    MqttAdaptor& operator=(const MqttAdaptor&) = delete;

    // Re-reads the whole tree and brings the subscriptions in line with it.
    void onConfigSet() override;
    // Publishes "status".
    void onStatusChanged() override;

    // Publishes on "errors" every entry whose value is not true, as
    // [{"description", "topic"}]; nothing when there is none.
    void reportErrors(const std::map<std::string, json>& errors);

    // Getters: {true, value} or {false, the failing code's name}. Those
    // that gather several reads give null for each failed one and succeed.
    Result audioGet();
    Result serialGet();
    Result gpioGet();
    Result displayGet();
    Result lcdGet();
    Result powerGet();
    Result imuRawDataGet();
    Result imuTotalAccGet();
    Result deviceInfoGet();
    Result serviceInfoGet();
    Result activeGet();
    Result hardwareStatusGet();
    Result heaterGet();
    Result ignitionGet();
    Result poleIDGet();
    Result temperatureGet();
    Result uptimeGet();
    Result voltageGet();
    Result serviceGet();

    // Setters: apply the members present, in a fixed order, and stop at the
    // first failure, {false, text}; what was applied before stays. {true,
    // null} on success.
    Result audioSet(const json& value);
    Result serialSet(const json& value);
    Result gpioSet(const json& value);
    Result displaySet(const json& value);
    Result lcdSet(const json& value);
    Result powerSet(const json& value);

    // Display brightness: device level (0-255) to percentage and back, and
    // the light sensor's level to a percentage.
    static unsigned brightnessToPercent(unsigned level);
    static uint8_t percentToBrightness(unsigned percent);
    static unsigned sensorToPercent(unsigned level);

private:
    void onStarting();
    void onConnected();
    void onDisconnected();
    void onStopping();
    // Refreshes the node and publishes it retained at QoS 0.
    void publishRetained(const std::string& path);

    std::shared_ptr<Manager> manager;
    std::shared_ptr<MQTT::Client> client;
    std::atomic<bool> serviceRunning{false};
    // The slots on the client's signals, removed again by the destructor.
    int startingSlot = 0;
    int connectedSlot = 0;
    int disconnectedSlot = 0;
    int stoppingSlot = 0;
};

} // namespace tavo::Board
