#include "tests/messaging/ClientFixture.h"
#include "tests/messaging/MqttPeer.h"

#include <future>
#include <stdexcept>

namespace {

class ClientRpc : public ClientFixture
{
protected:
    // Serves "svc" with the request's name, id and payload as data.
    void serveEcho()
    {
        client->subscribeRpc("svc", [](const std::string& name, const std::string& payload, const std::string& id) {
            return MQTT::Client::makeRpcCompleted({{"name", name}, {"id", id}, {"payload", payload}});
        });
    }
    MqttPeer peer{broker.url(), "peer"};
};

TEST_F(ClientRpc, InternalCommandsGetTheirTopicRelativeToTheRootAndTheFirstHandlerStays)
{
    std::promise<std::string> received;
    client->subscribeCommand("cmd/x", [&](const MQTT::Message& m) { received.set_value(m.topic + " " + m.payload); },
                             true);
    client->subscribeCommand("cmd/x", [](const MQTT::Message&) { FAIL() << "second handler called"; }, true);
    startConnected(1);
    peer.publish("tavo/lumacore/cmd/x", "on");
    auto result = received.get_future();
    ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(5)));
    EXPECT_EQ("cmd/x on", result.get());
    EXPECT_TRUE(client->unsubscribeCommand("cmd/x", true));
    EXPECT_FALSE(client->unsubscribeCommand("cmd/x", true));
}

TEST_F(ClientRpc, FailuresAndUnknownTopicsAreReportedOnTheErrorTopic)
{
    client->subscribeCommand("cmd/x", [](const MQTT::Message&) { throw std::runtime_error("boom"); }, true);
    serveEcho();
    startConnected(3);
    peer.subscribe("tavo/lumacore/error");
    const struct {
        const char* topic;
        const char* error;
    } cases[] = {
        {"tavo/lumacore/cmd/x", R"({"command":"tavo/lumacore/cmd/x","error":"boom"})"},
        {"tavo/lumacore/svc/request//42", R"({"command":"tavo/lumacore/svc/request//42","error":"Unknown topic"})"},
    };
    for (const auto& c : cases) {
        peer.publish(c.topic, "1");
        const auto error = peer.next("tavo/lumacore/error");
        ASSERT_TRUE(error) << c.topic;
        EXPECT_EQ(c.error, error->to_string());
    }
}

TEST_F(ClientRpc, RequestsAreAnsweredOnTheMirroredResponseTopic)
{
    serveEcho();
    client->subscribeRpc("bad", [](const std::string&, const std::string&, const std::string&) -> std::string {
        throw std::runtime_error("boom");
    });
    startConnected(4);
    peer.subscribe("tavo/lumacore/+/response/#");
    const char* cases[][3] = {
        {"svc/request/42", "svc/response/42", R"({"completed":true,"data":{"id":"42","name":"svc","payload":"p"}})"},
        {"svc/request/tool/42", "svc/response/tool/42",
         R"({"completed":true,"data":{"id":"42","name":"svc","payload":"p"}})"},
        {"bad/request/7", "bad/response/7", R"({"completed":false,"error":{"description":"boom"}})"},
    };
    for (const auto& c : cases) {
        peer.publish(std::string("tavo/lumacore/") + c[0], "p");
        const auto reply = peer.next(std::string("tavo/lumacore/") + c[1]);
        ASSERT_TRUE(reply) << c[0];
        EXPECT_EQ(c[2], reply->to_string());
    }
}

TEST_F(ClientRpc, RpcBetweenTwoClientsRoundTripsAndTimesOutWithoutAResponder)
{
    serveEcho();
    startConnected(2);
    MQTT::Client caller("tavo/lumacore", "MQTT");
    caller.setConfig(clientConfig(broker.url(), "caller"));
    caller.start();
    ASSERT_TRUE(caller.waitConnected(10000));
    const auto reply = caller.rpc("tavo/lumacore/svc", "hi", 5000);
    EXPECT_TRUE(reply.first);
    EXPECT_NE(std::string::npos, reply.second.find(R"("payload":"hi")")) << reply.second;

    const auto none = caller.rpc("tavo/lumacore/nobody", "x", 300);
    EXPECT_FALSE(none.first);
    EXPECT_EQ("", none.second);
    // Both temporary subscriptions of the caller are dropped again.
    const std::string unsubscribed = "Received UNSUBSCRIBE from caller";
    for (int waited = 0; waited < 5000 && occurrences(broker.log(), unsubscribed) < 2; waited += 50)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(2, occurrences(broker.log(), unsubscribed));
}

TEST_F(ClientRpc, AReconnectionSubscribesExactlyTheTablesInOrder)
{
    auto ignore = [](const MQTT::Message&) {};
    client->subscribeCommand("ext/topic", ignore, false);
    client->subscribeCommand("cmd/x", ignore, true);
    serveEcho();
    client->subscribeExpectedRpc("remote/target");
    client->subscribeExpectedResponse("resp/topic");
    startConnected(6);
    clearGranted();
    broker.stop();
    broker.start();
    ASSERT_TRUE(client->waitConnected(25000));
    const std::vector<std::string> expected = {
        "ext/topic", "tavo/lumacore/cmd/x", "tavo/lumacore/svc/request/+", "tavo/lumacore/svc/request/+/+",
        "remote/target/response/+", "resp/topic"};
    EXPECT_TRUE(waitGranted(expected.size()));
    EXPECT_EQ(expected, grantedTopics());
}

class ClientRpcWithoutRoot : public ClientRpc
{
protected:
    ClientRpcWithoutRoot() : ClientRpc() { client->setConfig(clientConfig(broker.url(), clientId, "")); }
};

TEST_F(ClientRpcWithoutRoot, AnRpcIsDispatchedUnderAnEmptyRoot)
{
    client->subscribeRpc("gpio/set", [](const std::string&, const std::string&, const std::string&) {
        return MQTT::Client::makeRpcCompleted(nullptr);
    });
    startConnected(2);
    peer.subscribe("gpio/set/response/+");
    peer.publish("gpio/set/request/9", "1");
    const auto reply = peer.next("gpio/set/response/9");
    ASSERT_TRUE(reply);
    EXPECT_EQ(R"({"completed":true})", reply->to_string());
}

TEST_F(ClientRpc, CommandsAnswerAndASetConfigOnTheDeliveryThreadReconnects)
{
    client->subscribeCommand("cmd/ask", [this](const MQTT::Message& m) {
        client->publish(MQTT::Message("resp/here", "answer to " + m.payload, MQTT::Retained::No,
                                      MQTT::QoS::AtMostOnce), false);
        MQTT::Config changed = client->getConfig();
        changed.setKeepAlive(30);
        client->setConfig(changed);
    }, true);
    startConnected(1);
    MQTT::Client caller("tavo/lumacore", "MQTT");
    caller.setConfig(clientConfig(broker.url(), "caller"));
    caller.start();
    ASSERT_TRUE(caller.waitConnected(10000));
    const auto reply = caller.command("tavo/lumacore/cmd/ask", "resp/here", "q", 5000);
    EXPECT_TRUE(reply.first);
    EXPECT_EQ("answer to q", reply.second);
    EXPECT_TRUE(client->waitConnected(25000));
    EXPECT_EQ(1, stops.load());
}

} // namespace
