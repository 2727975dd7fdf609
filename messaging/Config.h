#pragma once
// MQTT::Config: the settings of the MQTT client (broker url, credentials,
// client id, topic root, keep-alive and four logging switches) as a
// SettingStore, so that its JSON form is the "mqtt" section of the
// configuration file. Keys: "url", "username", "password", "clientId",
// "base", "keepAliveSec", "log/payload", "log/subscriptions",
// "log/published", "log/received". Keys it does not know are kept and
// written out again.
//
// A value type without locking: its owner serialises access and hands out
// copies.

#include <string>

#include "foundation/Log.h"
#include "foundation/Settings.h"

namespace MQTT {

class Config : public SettingStore
{
public:
    // The MQTT keep-alive is a 16-bit field on the wire.
    static constexpr long long kMaxKeepAliveSec = 65535;

    // Stores base (the default of "base") and name (the log prefix), then
    // loads the defaults.
    Config(const std::string& base, const std::string& name);
    // The same settings without the log line: a preview of what a set would
    // leave must not show in the log.
    static Config quietDefaults(const std::string& base, const std::string& name);

    // Logs "Loading default configuration." and stores the ten keys with
    // their defaults, overwriting those keys and leaving any other alone.
    void loadDefaults();

    // SettingStore::fromJson, once "keepAliveSec" holds a number or a text
    // holding one (JsonSetting::unsignedNumberOrText) up to UINT32_MAX.
    // Otherwise throws SettingError("keepAliveSec", "<value> is not an
    // unsigned number of seconds up to 4294967295") and merges nothing.
    Config& fromJson(const nlohmann::json& j);

    // The string getters give the stored value's text, "" when absent.
    std::string getUrl() const;
    void setUrl(const std::string& url);
    std::string getUsername() const;
    void setUsername(const std::string& username);
    std::string getPassword() const;
    void setPassword(const std::string& password);
    // Empty means: the process id as decimal text.
    std::string getClientId() const;
    void setClientId(const std::string& clientId);
    // The topic root of every topic the client builds.
    std::string getBase() const;
    void setBase(const std::string& base);

    // Seconds, read with base 0 ("0x1E" and "30" are 30; no number is 0).
    // A value outside 0..kMaxKeepAliveSec (which fromJson takes up to
    // UINT32_MAX) is clamped to it with a warning.
    unsigned int getKeepAlive() const;
    void setKeepAlive(unsigned int seconds);

    // The switches are on only for "on", "true", "high" or "1" in any case.
    bool getLogPayload() const;
    void setLogPayload(bool on);
    bool getLogSubscriptions() const;
    void setLogSubscriptions(bool on);
    bool getLogPublished() const;
    void setLogPublished(bool on);
    bool getLogReceived() const;
    void setLogReceived(bool on);

    // Logs "[<name>::Config] " followed by format.
    void log(Log::Level level, const char* format, ...) const __attribute__((format(printf, 3, 4)));

private:
    Config(const std::string& base, const std::string& name, bool announce);
    void storeDefaults();

    std::string mBase;
    std::string mName;
};

} // namespace MQTT
