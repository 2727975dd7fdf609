#pragma once
// ThreadSanitizer suppressions for the Paho MQTT libraries, which are not
// instrumented. Every test program that uses a broker reads them (see
// MosquittoBroker.cpp), and the daemons the tests start get them through a
// file named in TSAN_OPTIONS, so both see the same list.
//
// Paho's C++ wrapper registers a library client's callbacks under its own
// lock and then takes the C library's lock; the C library's threads take the
// two the other way round when a callback ends. MQTTClient registers them
// once, where it makes a library client, before that client has any
// traffic, so the two orders never meet. The libraries' last release of a
// shared token looks unsynchronised with ours, and so do their own reference
// counts; removing a token takes the same two locks in the wrapper's order.
constexpr const char* kPahoTsanSuppressions = "deadlock:MQTTClient::connectionForConnect\n"
                                              "deadlock:mqtt::async_client::remove_token\n"
                                              "race:mqtt::async_client::remove_token\n"
                                              "race:libpaho-mqttpp3.so\n";
