#pragma once
// Keeps passwords out of log lines. The MQTT client logs the payloads it
// publishes and receives, and among them travel the configuration and the
// requests that change it, with the broker's password in them.
//
// Pure functions; any thread may call them.

#include <string>

#include <nlohmann/json.hpp>

namespace MQTT {

// A copy with the value of every member named "password" (at any depth)
// replaced by asterisks, unless it is empty or null.
nlohmann::json maskPasswords(const nlohmann::json& value);

// The payload as a log line may show it. Whole asterisks when a level of
// topic (or of a tree path) is "password", since the payload is then the
// password itself; passwords masked when the payload is JSON holding any;
// whole asterisks when it mentions a password but is no JSON; otherwise the
// payload unchanged. A long result is cut by JsonText::cut.
std::string payloadForLog(const std::string& topic, const std::string& payload);

} // namespace MQTT
