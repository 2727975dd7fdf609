// tavo::Board::MqttAdaptor: the board offered to MQTT clients. It mounts a
// LambdaTree of getters and setters over the manager at the root of the
// process's MQTT::Client, keeps the retained "status" and "info" nodes up to
// date, serves the board's remote procedures and publishes every event of the
// microcontroller on "event".
//
// The code is split by concern: BoardMqttAdaptor.cpp (construction, the
// client's signals, the manager's notifications), BoardMqttTree.cpp (the
// getters), BoardMqttSetters.cpp (the setters), BoardMqttRpc.cpp,
// BoardMqttDraw.cpp and BoardMqttStore.cpp (the remote procedures, the
// events).
//
// Threading:
// - Getters and setters run on the MQTT library's threads (get and set
//   requests), the client's subscriptions thread (the publication after each
//   connection), the manager's status timer thread (onStatusChanged) and the
//   threads that start and stop the client; several may run at once. The
//   manager serialises every device request.
// - statusMutex holds each retained "status" publication together with the
//   check of serviceRunning before it, and guards the changes of
//   serviceRunning (atomic, as the getter reads it without the lock), so
//   that none follows the last status of a stop. It ranks above the
//   client's tree lock and is never taken under it.
// - Remote procedures run on the MQTT library's thread that delivered them.
// - onEvent runs on the serial link's reader thread: it only hands a message
//   to the client and never makes a device request.
// - onConfigSet runs under the configuration file's lock, which ranks below
//   the client's tree lock: it only plans the refresh on the client's
//   worker.
// - The client's tree and RPC table call this object: it must outlive the
//   client's use of them (main keeps both for the life of the process). Its
//   destructor disconnects its slots from the client's signals. Once attached
//   to the manager, which keeps its observers, the adaptor and the manager
//   keep each other alive.
#pragma once

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "board/ErrorCode.h"
#include "board/Manager.h"
#include "board/Observer.h"
#include "foundation/Log.h"
#include "foundation/TestHook.h"
#include "messaging/Client.h"
#include "messaging/LambdaTree.h"

namespace tavo::Board {

class MqttAdaptor : public Observer, public Logger {
public:
    using json = nlohmann::json;
    using Result = LambdaTree::Result;

    // Connects to the client's signals, mounts the board's tree at the
    // client's root, registers the remote procedures and gives the client
    // its will: a retained "status" of no service and no board.
    MqttAdaptor(std::shared_ptr<Manager> manager, std::shared_ptr<MQTT::Client> client);
    ~MqttAdaptor() override;
    MqttAdaptor(const MqttAdaptor&) = delete;
    MqttAdaptor& operator=(const MqttAdaptor&) = delete;

    // Has the client's worker re-read the whole tree and bring the
    // subscriptions in line with it; returns at once.
    void onConfigSet() override;
    // Publishes "status".
    void onStatusChanged() override;
    // Publishes the event on "event" as {"data", "name", "timestamp"}.
    void onEvent(const LPCEvent& event) override;

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

    // The most drawings one "lcd/draw" request may hold.
    static constexpr size_t kMaxDrawItems = 5;

    // The reply of a remote procedure for a manager result: completed with
    // data for Ok, else failed with the code's name and no data.
    static std::string makeRpcResponse(ErrorCode code, const json& data = json());

    // Test seam: in a "status" publication under statusMutex, once it found
    // the service running, before the client's tree lock is taken.
    TestHook statusPublishing;

    // Remote procedures: (name, payload, id) -> reply text. Every one but
    // lcdClear, lcdDisable, lcdEnable and ledOff, which ignore their payload,
    // answers "MalformedRequest" to a payload that is not one JSON document
    // or nests deeper than kMaxJsonNesting.
    std::string lcdClear(const std::string& name, const std::string& payload, const std::string& id);
    std::string lcdDisable(const std::string& name, const std::string& payload, const std::string& id);
    std::string lcdDraw(const std::string& name, const std::string& payload, const std::string& id);
    std::string lcdDrawBitmap(const std::string& name, const std::string& payload, const std::string& id);
    std::string lcdDrawText(const std::string& name, const std::string& payload, const std::string& id);
    std::string lcdEnable(const std::string& name, const std::string& payload, const std::string& id);
    // Bitmap storage: "buffer" is hexadecimal text of at most twice
    // IMAGE_MAX_BUFFER characters. lcdStore takes an array of such requests
    // and stops at the first that fails.
    std::string lcdStore(const std::string& name, const std::string& payload, const std::string& id);
    std::string lcdStoreBuffer(const std::string& name, const std::string& payload, const std::string& id);
    std::string lcdStoreFile(const std::string& name, const std::string& payload, const std::string& id);
    std::string ledColorSet(const std::string& name, const std::string& payload, const std::string& id);
    std::string ledOff(const std::string& name, const std::string& payload, const std::string& id);
    std::string ledPlay(const std::string& name, const std::string& payload, const std::string& id);
    std::string buzzerPlay(const std::string& name, const std::string& payload, const std::string& id);
    std::string ota(const std::string& name, const std::string& payload, const std::string& id);
    std::string powerReset(const std::string& name, const std::string& payload, const std::string& id);

private:
    // A manager result and the data of a completed reply.
    struct Outcome {
        ErrorCode code;
        json data;
    };

    void onStarting();
    void onConnected();
    void onDisconnected();
    void onStopping();
    // Refreshes the node and publishes it retained at QoS 0.
    void publishRetained(const std::string& path);
    // Publishes "status" while the service runs, so that none replaces the
    // last one of a stop.
    void publishStatus();

    void registerRpcs();
    // The payload as one JSON document; nothing for text that is not one
    // (empty included) or nests too deep to handle safely.
    static std::optional<json> parsePayload(const std::string& payload);
    // The same, and nothing (logged "Not an object") for another document.
    std::optional<json> parseObject(const std::string& payload) const;
    Outcome drawBitmap(const json& request);
    Outcome drawText(const json& request);
    // One bitmap from "path" (fromFile) or "buffer" of the request.
    ErrorCode storeBitmap(const json& request, bool fromFile);

    std::shared_ptr<Manager> manager;
    std::shared_ptr<MQTT::Client> client;
    std::mutex statusMutex;
    std::atomic<bool> serviceRunning{false};
    // The slots on the client's signals, removed again by the destructor.
    int startingSlot = 0;
    int connectedSlot = 0;
    int disconnectedSlot = 0;
    int stoppingSlot = 0;
};

} // namespace tavo::Board
