#pragma once
// ThreadSanitizer suppressions for the Paho MQTT libraries, which are not
// instrumented. Every test program that uses a broker reads them (see
// MosquittoBroker.cpp), and the daemons the tests start get them through a
// file named in TSAN_OPTIONS, so both see the same list. ThreadSanitizer
// matches a line against every frame of a report, so the lock-order line
// names the one function of the libraries that takes both of their locks,
// never a module or a function of ours; the canary in MQTTClientTest.cpp
// shows that an inversion of our own locks on a library thread is still
// reported.
//
// - deadlock:mqtt::async_client::remove_token hides every lock-order cycle
//   with a step where that function takes the C++ wrapper's lock, as the C
//   library's threads do while holding the C library's lock when a token
//   ends. The wrapper takes the two the other way round in set_callback,
//   when MQTTClient makes a library client before it has any traffic, so
//   the two orders never meet.
// - race:mqtt::async_client::remove_token hides the libraries' last release
//   of a shared token, which looks unsynchronised with ours.
// - race:libpaho-mqttpp3.so hides the wrapper's own reference counts and
//   the wake-up of a token's waiters (mqtt::token::on_success) against our
//   release of that token. Being a module, it would also hide a race of
//   ours whose stacks pass through the wrapper; it hides no lock-order
//   report.
constexpr const char* kPahoTsanSuppressions = "deadlock:mqtt::async_client::remove_token\n"
                                              "race:mqtt::async_client::remove_token\n"
                                              "race:libpaho-mqttpp3.so\n";
