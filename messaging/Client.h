// MQTT::Client: the process's one MQTT endpoint. It owns a topic root (the
// "base"), the connection (MQTTClient) configured from an MQTT::Config, the
// handler tables and a root LambdaTree under which adaptors mount their
// subtrees. It keeps the connection up while it runs: a lost connection or a
// failed attempt is retried every 2000 ms without limit, and after every
// connection a short-lived thread subscribes every registered topic and then
// emits `connected`. Each start fixes the root for the connection it makes:
// the configured base, or the root it was built with when MQTT cannot carry
// that base, so a moved base takes effect at the next start.
//
// The code is split by concern: ClientLifecycle.cpp (construction, start,
// stop, settings, the connection callbacks), ClientWorker.cpp (the worker
// and connector threads: queued jobs, reconnection, deferred restarts and
// delayed retries),
// ClientPublish.cpp (publishing, the subscriptions thread, logging),
// ClientRpc.cpp (registration, rpc() and command()), ClientDispatch.cpp
// (received messages), ClientTopics.cpp (topic parsing and payloads),
// ClientTree.cpp (the LambdaTree's topics and subscriptions) and
// ClientTreeHandlers.cpp (get, set and monitor requests).
//
// Threading:
// - start, stop, restart and setConfig come from the main thread, the stop
//   path and the connector thread; lifecycleMutex serialises them. The
//   process stop's mark (markProcessStop, atomic) is set without it and
//   read by restart before and after its stop, under it. The
//   listener callbacks run on the MQTT library's threads and never take
//   lifecycleMutex, never sleep and never wait on a library token.
// - Two threads of the client's own take deferred work. The connector
//   alone starts reconnection attempts; it also runs deferred restarts, the
//   disconnect of a connection that came up after a stop, and the retries of
//   refused (un)subscriptions. The worker runs the queued jobs (monitored
//   changes to publish), the (un)subscriptions a refresh handed off and the
//   refreshes planned by updateLambdaTreeSubscriptionsLater. The connector
//   never takes treeMutex itself, so a reconnection never waits behind a
//   publication that waits for the tree. Work that must happen (a
//   reconnection, a restart, a retry, a hand-off) is a flag or a coalesced
//   set that no bound refuses; only queued jobs are bounded.
// - A setConfig that must restart the client while on a library thread or
//   under the tree lock hands the restart to the connector, so the library
//   client is never waited for or released on one of its own threads. The
//   connector first waits (kHandlerWaitMs at most) for the handlers under
//   way, so their replies leave under the root their requests came in on.
// - treeMutex (recursive) guards `tree` and `monitors`: mounting, refreshes,
//   the get/set/monitor handlers and publishing a node. Getters and setters
//   run under it. The library's threads take it in their callbacks, so the
//   only library calls made under it are publications (the get handler,
//   the "config" setter, publishLambdaTreeNode): the library's publish
//   queues the message and never waits on a callback, and values so leave
//   in the order the tree took them. Subscriptions, unsubscriptions,
//   connects and disconnects never are: a connect may release a retired
//   library client, which waits for the library's threads, and a wide
//   value's (un)subscriptions come by the thousand. A refresh computes the
//   topics that changed under it, queues them, and (un)subscribes after
//   releasing it, on the worker when the caller is a library thread or
//   holds the tree lock.
//   Change callbacks run under the notifying signal's mutex and never take
//   it: the worker publishes the change.
// - treeTopicsMutex serialises applying queued topic changes, so they are
//   (un)subscribed in the order the tree produced them.
// - settingsMutex guards `config`, `root`, `logName` and `will`; it is a
//   leaf, held only to copy values.
// - handlersMutex guards the count of received messages being handled and
//   their refusal; it is a leaf. stop() refuses messages before it takes
//   lifecycleMutex, and waits (bounded) for the handlers under way while it
//   holds it; no handler takes lifecycleMutex.
// - workerMutex guards the job queue, the flags and sets of deferred work,
//   the connection-attempt state, the count of subscriptions threads and the
//   disconnect flag; it is a leaf and no work runs under it.
// - mapsMutex guards the handler tables; it is held only to read or change
//   them, never while a handler runs or a library call is made.
//   rpcCallsMutex guards rpcCalls, commandCallsMutex commandCalls and
//   randomMutex the id generator; none of these is held with another.
// - Received messages are dispatched on the library thread that delivered
//   them; every handler runs there with no lock of this class held, so a
//   handler may register and remove handlers. rpc() and command() block
//   their caller until the reply or the time-out.
// - Lock order: lifecycleMutex, then the mutex of one of this client's own
//   signals, then treeMutex, then the locks that getters and setters take
//   (a signal a tree node is bound to, the configuration file's lock), then
//   treeTopicsMutex, then mapsMutex; settingsMutex, workerMutex and the
//   throttle mutexes are leaves. Nothing that holds a signal's mutex,
//   treeMutex or mapsMutex starts, stops or restarts the client, and a
//   caller that holds a lock a getter takes must not take treeMutex: it
//   plans its refresh with updateLambdaTreeSubscriptionsLater.
// - Slots of `starting`, `stopping` and `handlersEnded` run on the caller
//   of start/stop, under lifecycleMutex; `disconnected` and `subscribed` on
//   a library thread, `connected` on the subscriptions thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/Log.h"
#include "foundation/Semaphore.h"
#include "foundation/Signal.h"
#include "foundation/TestHook.h"
#include "messaging/Config.h"
#include "messaging/LambdaTree.h"
#include "messaging/MQTTClient.h"

namespace MQTT {

// The system's own numbering; it differs from MQTT's.
enum class QoS : int32_t { AtLeastOnce = 0, AtMostOnce = 1, ExactlyOnce = 2 };
enum class Retained : int32_t { Yes = 0, No = 1 };

struct Message
{
    Message(const std::string& topic, const std::string& payload, Retained retained, QoS qos);

    std::string topic;
    std::string payload;
    Retained retained;
    QoS qos;
    // For a received message whose payload was over
    // MQTTClient::kMaxPayloadSize: its size, the payload being left empty.
    // No handler is given such a message: it is refused instead.
    size_t oversize = 0;
};

class Client : public MQTTClientListener
{
public:
    // Builds the client with the settings' defaults; connects nothing.
    Client(const std::string& base, const std::string& name);
    // Stops a running client and releases the connection before anything
    // its callbacks use.
    ~Client() override;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Connects with the current settings and takes received messages again;
    // does nothing more while running.
    void start();
    // Refuses received messages from its first step on (they are dropped
    // until the next start), waits up to kHandlerWaitMs for the handlers of
    // messages taken before, never for the calling thread's own, and emits
    // `handlersEnded`, also while stopped (a restart may have ended as the
    // process stop); then, while running, emits `stopping`, waits 200 ms,
    // waits up to kSettleWaitMs for the answers to the subscriptions under
    // way, starting none, and disconnects. No reconnection follows.
    void stop();
    // stop() then start(), only while running; once markProcessStop was
    // called it does not begin, and one under way ends after its stop.
    void restart();
    // For the process stop, before its first line: from now on no restart
    // starts the client again, and every set of a tree node is answered
    // "Stopping" with nothing applied. Any thread.
    void markProcessStop();
    bool isRunning() const { return running.load(); }
    bool isConnected() const;
    // Takes one connection's post: ms < 0 waits without limit, 0 only
    // tests, > 0 waits at most ms. Each connection releases one waiter.
    bool waitConnected(int ms);

    // Takes the settings; getConfig returns them at once. A different
    // configuration restarts a running client; when called on a library
    // thread or from a getter or setter, the connector restarts it once the
    // handlers under way returned (kHandlerWaitMs at most), so their replies
    // leave under the root their requests came in on. Always true.
    bool setConfig(const Config& newConfig);
    Config getConfig() const;
    std::string getLogName() const;
    void setLogName(const std::string& name);

    // The message the broker publishes when a connection ends without a
    // disconnect (the process killed or ended by its stop's deadline):
    // registered at every later start, its topic under that connection's
    // root.
    void setWill(const Message& will);

    // Publishes under the connection's root (<base> in the comments here)
    // when prefixBase, else on the topic as given.
    // Always true: a failed publish is only logged.
    bool publish(const Message& message, bool prefixBase);

    using CommandHandler = std::function<void(const Message&)>;
    using RpcHandler =
        std::function<std::string(const std::string& name, const std::string& payload, const std::string& id)>;
    // The parts of an RPC topic; all empty when the topic does not parse.
    struct RpcData
    {
        std::string issuer;
        std::string name;
        std::string id;
    };

    // Registration: each changes its table (an existing key keeps its first
    // handler) and, while running, (un)subscribes at once; false when the
    // library refuses or, for the unsubscribe forms of commands and RPCs,
    // when the key was not registered. While stopped only the tables change:
    // every connection subscribes them all. Any thread, handlers included.
    // topic is relative to the base when internal, a full topic otherwise.
    bool subscribeCommand(const std::string& topic, CommandHandler handler, bool internal);
    bool unsubscribeCommand(const std::string& topic, bool internal);
    // Serves <base>/<name>/request/[issuer/]id.
    bool subscribeRpc(const std::string& name, RpcHandler handler);
    bool unsubscribeRpc(const std::string& name);
    // Awaits responses on <target>/response/+.
    bool subscribeExpectedRpc(const std::string& target);
    bool unsubscribeExpectedRpc(const std::string& target);
    bool subscribeExpectedResponse(const std::string& topic);
    bool unsubscribeExpectedResponse(const std::string& topic);

    // Publishes payload on <target>/request/<random id> and waits up to
    // timeoutMs for the response: (true, its payload) or (false, "").
    // Blocks the caller: never call it on a library thread.
    std::pair<bool, std::string> rpc(const std::string& target, const std::string& payload,
                                     unsigned long timeoutMs);
    // Publishes payload on topic and waits up to timeoutMs for a message on
    // responseTopic; a second call for one response topic replaces the first.
    std::pair<bool, std::string> command(const std::string& topic, const std::string& responseTopic,
                                         const std::string& payload, unsigned long timeoutMs);

    // Dispatch steps of a received message, in the order they are offered
    // it; each is true when it took the message. Where a step would hand an
    // oversize message to its handler or waiting call, it answers "Payload
    // too large" instead: a request on its response topic, anything else
    // on <base>/error.
    bool handleReceivedCommandResponse(const Message& message);
    bool handleReceivedCommandInternal(const Message& message);
    bool handleReceivedCommandExternal(const Message& message);
    bool handleReceivedRpcRequest(const Message& message);
    bool handleReceivedRpcResponse(const Message& message);

    // <base>/<name>/request/[issuer/]id, <base> and <name> joined as
    // Utils::combinePath joins them, the name ending at the first
    // "/request/" below <base>; an empty name or issuer does not parse.
    RpcData parseRpcTopicRequest(const std::string& topic) const;
    // <name>/response/<id>.
    RpcData parseRpcTopicResponse(const std::string& topic) const;
    // Removes the first occurrence of part, folds "//" and drops one leading
    // "/"; topic unchanged when part is empty or absent.
    static std::string removeTopicPart(const std::string& topic, const std::string& part);
    // MQTT-like matching with this system's rules: "+" levels, a trailing "#"
    // (which also matches a mere prefix: "a/#" matches "ab").
    static bool topicMatch(const std::string& topic, const std::string& pattern);
    // Logs the failure and builds the message for <base>/error:
    // {"command": topic, "error": error}, not retained, QoS 0.
    Message makeErrorMessage(const nlohmann::json& error, const std::string& topic) const;
    // RPC replies; "error" and "data" are left out when null, {} or [].
    static std::string makeRpcFailed(const nlohmann::json& error, const nlohmann::json& data);
    static std::string makeRpcCompleted(const nlohmann::json& data);
    // Compact JSON text; invalid UTF-8 is replaced instead of thrown.
    static std::string toText(const nlohmann::json& value);

    // LambdaTree topics: a node at path P is read on <base>/P/get, written
    // on <base>/P/set and watched on <base>/P/monitor, each also as an RPC
    // of that name, as its abilities allow; values go out on <base>/P.
    // Mounts copies of subtree's children at path (an existing key keeps its
    // node); while running, refreshes and subscribes each mounted key. False
    // when a refresh fails.
    bool subscribeLambdaTree(const LambdaTree& subtree, const std::string& path);
    // Removes the node at path with the topics of it and every node below;
    // false for the empty path, a path not in the tree or a refused
    // unsubscription.
    bool unsubscribeLambdaTree(const std::string& path);
    // Refreshes the tree at path and registers the topics of nodes that
    // appeared (all of them without diff) and removes those of nodes that
    // vanished. False for an empty tree, a path not in the tree, refresh
    // errors or a refused (un)subscription; the rest is still done. On a
    // library thread or under the tree lock (from a setter) the topics are
    // (un)registered by the worker afterwards, and only the refresh counts.
    bool updateLambdaTreeSubscriptions(const std::string& path, bool diff);
    // updateLambdaTreeSubscriptions(path, true) on the worker; returns at
    // once. Plans for one path coalesce and are never refused.
    void updateLambdaTreeSubscriptionsLater(const std::string& path);
    // Refreshes the node and publishes its value on <base>/<path>, under the
    // tree lock; false when path is not in the tree. first, when given, runs
    // under the lock before any getter of the node.
    bool publishLambdaTreeNode(const std::string& path, Retained retained, QoS qos,
                               const std::function<void()>& first = nullptr);

    // The handlers registered for node path; library threads.
    void handleLambdaTreeGet(const std::string& path, const Message& message);
    void handleLambdaTreeSet(const std::string& path, const Message& message);
    void handleLambdaTreeMonitor(const std::string& path, const Message& message);
    std::string handleLambdaTreeRpcGet(const std::string& path, const std::string& name, const std::string& payload,
                                       const std::string& id);
    std::string handleLambdaTreeRpcSet(const std::string& path, const std::string& name, const std::string& payload,
                                       const std::string& id);
    std::string handleLambdaTreeRpcMonitor(const std::string& path, const std::string& name,
                                           const std::string& payload, const std::string& id);

    // Logs "[<logName>::Client] " followed by fmt.
    void log(Log::Level level, const char* fmt, ...) const __attribute__((format(printf, 3, 4)));

    // The MQTT QoS number a QoS value goes out as (anything unknown as 0),
    // and the QoS value a received MQTT QoS number maps back to.
    static int toMqttQos(QoS qos);
    static QoS fromMqttQos(int qos);

    // MQTTClientListener; library threads only.
    void onConnected() override;
    void onDisconnected() override;
    void onSubscribed(const std::string& topic) override;
    void onUnsubscribed(const std::string& topic) override;
    void onMessageSent(int id) override;
    void onMessageDelivered(int id) override;
    void onMessageReceived(const std::string& topic, const std::string& payload, int qos,
                           bool retained) override;
    void onMessageTooLarge(const std::string& topic, size_t size, int qos, bool retained) override;
    void onConnectFailed(const std::string& reason) override;
    void onSubscribeFailed(const std::string& topic) override;
    void onUnsubscribeFailed(const std::string& topic) override;
    void onMessageSendFailed(int id) override;

    // After each connection, once its subscriptions are requested.
    Signal<> connected;
    // On every lost connection and every completed disconnect.
    Signal<> disconnected;
    // By start(), before the client counts as running.
    Signal<> starting;
    // By stop() and restart(), at least 200 ms before the disconnect.
    Signal<> stopping;
    // By stop() alone, before `stopping`: no received message is handled
    // any more, or kHandlerWaitMs has passed. Slots end what the handlers
    // still running must not begin after the stop.
    Signal<> handlersEnded;
    // With the topic of every granted subscription.
    Signal<std::string> subscribed;
    // Test seam: in every publication, before the library has it, on the
    // publishing thread (under the tree lock for a node's value).
    TestHook publishing;

    static constexpr int kRetryDelayMs = 2000;
    static constexpr int kStopDelayMs = 200;
    // How long stop() waits for the broker's answers to the subscriptions
    // under way before it disconnects.
    static constexpr int kSettleWaitMs = 500;
    // How long stop() waits for the broker to confirm the disconnect.
    static constexpr int kDisconnectWaitMs = 2000;
    // How long stop() waits for the handlers of messages received before it.
    static constexpr int kHandlerWaitMs = 1000;
    // Jobs waiting on the worker thread; more are dropped with a warning.
    // Only publications of monitored changes are queued: a later change
    // publishes the value again.
    static constexpr size_t kMaxWorkerJobs = 256;

private:
    // The switches and the connection's root, read together under
    // settingsMutex.
    struct Settings
    {
        std::string url;
        std::string root;
        bool logPayload;
        bool logSubscriptions;
        bool logPublished;
        bool logReceived;
    };
    Settings settings() const;
    std::optional<Message> lastWill() const;

    // Marks a library callback for its whole run: counted so the destructor
    // can wait for callbacks in progress, and noted per thread so nothing
    // waits for the library on its own thread.
    class CallbackScope
    {
    public:
        explicit CallbackScope(Client& client);
        ~CallbackScope();
        // False once the client is being destroyed: the callback does nothing.
        bool live() const { return isLive; }

    private:
        Client& client;
        bool isLive;
    };
    static bool onLibraryThread();

    // Holds treeMutex, noted per thread so that a setter's setConfig hands
    // its restart to the worker.
    class TreeLock
    {
    public:
        explicit TreeLock(Client& client);
        ~TreeLock();

    private:
        std::lock_guard<std::recursive_mutex> guard;
    };
    // True on a library thread or under the tree lock: the client must not
    // be restarted, nor the library called for (un)subscriptions, here.
    static bool mustDefer();

    // The two forms of a watch, each with its own throttle.
    enum MonitorForm { PlainMonitor = 0, RpcMonitor = 1 };
    struct MonitorRequest
    {
        enum Outcome { Valid, MalformedJson, ActiveNotBoolean } outcome;
        bool active;
        size_t skipChangesForMs;
    };
    static MonitorRequest parseMonitorRequest(const std::string& payload);
    // Enables or disables the monitor of path.
    void applyMonitor(const std::string& path, const MonitorRequest& request, MonitorForm form);
    // A monitored node changed (on the notifying thread, under its signal's
    // mutex): throttles, then hands the publication to the worker.
    void nodeChanged(const std::string& path, size_t skipChangesForMs, MonitorForm form);
    // Registers (or removes) the handlers of one topic form (get, set or
    // monitor, by index) for each node path.
    bool registerTreeTopics(const std::vector<std::string>& nodes, size_t formIndex);
    bool unregisterTreeTopics(const std::vector<std::string>& nodes, size_t formIndex);
    // Node paths whose topics a refresh found gone or new, by form.
    struct TreeTopicChange
    {
        std::vector<std::string> gone[3];
        std::vector<std::string> added[3];
    };
    // Queues a change for the worker; called under the tree lock, so that
    // changes are applied in the order the tree produced them.
    void queueTreeTopics(TreeTopicChange change);
    // Applies every queued change, in order; false when an (un)subscription
    // was refused. Never on a library thread or under the tree lock.
    bool applyTreeTopicChanges();
    // Dispatches a received message: its handlers, or "Unknown topic".
    void receive(const Message& message);
    // True, with "Payload too large" published on <base>/error for topic,
    // when message is oversize; false otherwise.
    bool refusedOversize(const Message& message, const std::string& topic);
    // The message for <base>/error, without makeErrorMessage's log line.
    static Message errorMessage(const nlohmann::json& error, const std::string& topic);
    // Parses a peer's JSON text; false when it is malformed or nested deeper
    // than kMaxJsonNesting.
    static bool parsePayload(const std::string& payload, nlohmann::json& value);
    static nlohmann::json errorsObject(const LambdaTree::ErrorMap& errors);

    // Connects with the settings; logs one error line for a client id or
    // user name MQTT cannot carry, and connects with it all the same.
    void startLocked();
    // The root of the connection about to start: base when MQTT can carry
    // it, else constructedRoot with one error line. Stores it as `root`.
    std::string chooseRoot(const std::string& base);
    // With handlersDeadline (stop() alone), waits until then for the
    // handlers under way and emits `handlersEnded` before `stopping`, also
    // when not running.
    void stopLocked(std::optional<std::chrono::steady_clock::time_point> handlersDeadline = std::nullopt);
    // Counts a received message as being handled (Taken); once stop()
    // refuses messages, counts it as dropped instead.
    enum class Entry { Taken, FirstRefused, Refused };
    Entry enterHandler();
    void leaveHandler();
    // Refuses (or takes again) received messages.
    void refuseMessages(bool refuse);
    // Waits until no thread but the caller handles a received message, or
    // until deadline; returns how many other threads still handle one.
    int awaitHandlers(std::chrono::steady_clock::time_point deadline);
    // Starts one connection attempt unless one is in flight; a refused
    // attempt is logged and retried.
    void beginConnect();
    // Plans one attempt kRetryDelayMs from now, unless one is planned or in
    // flight. Any thread.
    void scheduleReconnect();
    // The planned attempt, on the connector.
    void reconnect();
    // Plans the connector's restart of the client. Any thread.
    void planRestart();
    // Plans the (un)subscription of topic again kRetryDelayMs from now; a
    // later wish for the same topic replaces an earlier one. Any thread.
    void planRetry(const std::string& topic, bool subscribe);
    // Runs job on the worker in arrival order; false (logged) when the queue
    // is full or the worker has stopped.
    bool schedule(std::function<void()> job);
    void workerLoop();
    void connectorLoop();
    // Ends both threads; planned work that has not started is dropped.
    void stopWorker();

    void subscriptionsThreadBody();
    void subscriptionFunction();
    // Subscribes at QoS 0, with the debug line "Subscribing to <what> '...'"
    // when the subscriptions switch is on.
    bool subscribeTopic(const char* what, const std::string& topic);
    // Adds key to (removes it from) a table of awaited responses and, when
    // running and the table changed, (un)subscribes topic.
    bool expect(std::set<std::string>& table, const std::string& key, const char* what, const std::string& topic);
    bool unexpect(std::set<std::string>& table, const std::string& key, const std::string& topic);
    // The handler of the first command of table that matches topic, with the
    // debug line "Detected <what> '...'"; empty when none matches.
    CommandHandler findCommand(const std::map<std::string, CommandHandler>& table, const std::string& topic,
                               const char* what);

    // One outstanding rpc() or command(): its completion fulfils the call
    // once; later responses, and any after the call returned, are dropped.
    using Completion = std::shared_ptr<CommandHandler>;
    using PendingCalls = std::map<std::string, Completion>;
    // Registers a completion under key, publishes request and waits.
    std::pair<bool, std::string> awaitReply(std::mutex& callsMutex, PendingCalls& calls, const std::string& key,
                                            const Message& request, unsigned long timeoutMs);
    std::string nextRpcId();

    std::atomic<bool> running{false};
    std::atomic<bool> processStopping{false};
    std::string logName;
    Config config;
    // The root of every topic while a connection lives: the configured base
    // as the last start found it, or constructedRoot when that base cannot
    // be carried. A moved base so takes effect at the next start only.
    const std::string constructedRoot;
    std::string root;
    std::optional<Message> will;
    mutable std::mutex settingsMutex;

    Semaphore connectedSemaphore;
    std::mutex lifecycleMutex;

    mutable std::mutex mapsMutex;
    using CommandTable = std::map<std::string, CommandHandler>;
    CommandTable internalCommands;
    CommandTable externalCommands;
    std::map<std::string, RpcHandler> rpcHandlers;
    std::set<std::string> expectedRpcs;
    std::set<std::string> expectedResponses;

    // Guards every use of `tree` and `monitors`; recursive because a setter
    // may refresh the subscriptions.
    std::recursive_mutex treeMutex;
    LambdaTree tree;
    std::map<std::string, uint64_t> monitors;
    // Set once the whole tree was subscribed after the first connection.
    std::atomic<bool> alreadyUpdated{false};
    // When each form last published a change.
    struct Throttle
    {
        std::mutex mutex;
        bool started = false;
        std::chrono::steady_clock::time_point previous;
    };
    Throttle throttles[2];

    std::mutex rpcCallsMutex;
    PendingCalls rpcCalls;
    std::mutex commandCallsMutex;
    PendingCalls commandCalls;

    // Draws RPC ids; randomMutex guards both.
    std::mutex randomMutex;
    std::linear_congruential_engine<uint64_t, 16807, 0, 2147483647> randomEngine;
    std::uniform_int_distribution<int> distribution{10000, 99999};

    // The worker's jobs in arrival order, the deferred work of both threads, the connection-attempt state and the
    // count of live subscriptions threads.
    using TimePoint = std::chrono::steady_clock::time_point;
    std::mutex workerMutex;
    std::condition_variable workerWake;
    std::condition_variable connectorWake;
    std::deque<std::function<void()>> jobs;
    std::deque<TreeTopicChange> treeTopicChanges;
    std::set<std::string> refreshesPlanned;
    std::optional<TimePoint> reconnectAt;
    bool restartPlanned = false;
    bool strayDisconnectPlanned = false;
    // Topic -> subscribe (true) or unsubscribe, retried together at retryAt.
    std::map<std::string, bool> retries;
    std::optional<TimePoint> retryAt;
    bool workerStopping = false;
    bool attemptInFlight = false;
    int subscriptionThreads = 0;
    std::condition_variable subscriptionThreadsDone;
    // Set when the library reports a disconnect; stop() waits for it.
    bool disconnectSeen = false;
    std::condition_variable disconnectDone;
    std::thread worker;
    std::thread connector;
    std::mutex treeTopicsMutex;

    // Received messages being handled, whether new ones are refused (from
    // stop() to start()) and how many were dropped since.
    std::mutex handlersMutex;
    std::condition_variable handlersDone;
    int activeHandlers = 0;
    bool messagesRefused = false;
    int droppedMessages = 0;

    // Listener callbacks in progress; none may start once `closing` is set.
    std::atomic<int> activeCallbacks{0};
    std::atomic<bool> closing{false};

    // Declared last so that it is released first: its callbacks reach
    // everything above.
    std::unique_ptr<MQTTClient> connection;
};

} // namespace MQTT
