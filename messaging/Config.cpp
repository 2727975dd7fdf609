#include "messaging/Config.h"

#include <cstdarg>
#include <cstdint>

#include "foundation/String.h"

namespace MQTT {

namespace {
const char* const kUrl = "url";
const char* const kUsername = "username";
const char* const kPassword = "password";
const char* const kClientId = "clientId";
const char* const kBase = "base";
const char* const kKeepAlive = "keepAliveSec";
const char* const kLogPayload = "log/payload";
const char* const kLogSubscriptions = "log/subscriptions";
const char* const kLogPublished = "log/published";
const char* const kLogReceived = "log/received";
} // namespace

Config::Config(const std::string& base, const std::string& name) : Config(base, name, true) {}

Config::Config(const std::string& base, const std::string& name, bool announce) : mBase(base), mName(name)
{
    if (announce)
        loadDefaults();
    else
        storeDefaults();
}

Config Config::quietDefaults(const std::string& base, const std::string& name)
{
    return Config(base, name, false);
}

void Config::loadDefaults()
{
    log(Log::Info, "Loading default configuration.");
    storeDefaults();
}

void Config::storeDefaults()
{
    set(kUrl, Variant("127.0.0.1:1883"));
    set(kUsername, Variant(""));
    set(kPassword, Variant(""));
    set(kClientId, Variant(""));
    set(kBase, Variant(mBase));
    set(kKeepAlive, Variant(20));
    set(kLogPayload, Variant(false));
    set(kLogSubscriptions, Variant(false));
    set(kLogPublished, Variant(false));
    set(kLogReceived, Variant(false));
}

Config& Config::fromJson(const nlohmann::json& j)
{
    fromJsonWithNumber(j, kKeepAlive, "an unsigned number of seconds up to 4294967295", UINT32_MAX);
    return *this;
}

std::string Config::getUrl() const { return get(kUrl); }
void Config::setUrl(const std::string& url) { set(kUrl, Variant(url)); }
std::string Config::getUsername() const { return get(kUsername); }
void Config::setUsername(const std::string& username) { set(kUsername, Variant(username)); }
std::string Config::getPassword() const { return get(kPassword); }
void Config::setPassword(const std::string& password) { set(kPassword, Variant(password)); }
std::string Config::getClientId() const { return get(kClientId); }
void Config::setClientId(const std::string& clientId) { set(kClientId, Variant(clientId)); }
std::string Config::getBase() const { return get(kBase); }
void Config::setBase(const std::string& base) { set(kBase, Variant(base)); }

unsigned int Config::getKeepAlive() const
{
    const std::string text = get(kKeepAlive);
    const long long seconds = String::toInteger(text, 0);
    if (seconds < 0 || seconds > kMaxKeepAliveSec) {
        const long long clamped = seconds < 0 ? 0 : kMaxKeepAliveSec;
        log(Log::Warning, "Keep-alive '%s' is out of range, using %lld.", text.c_str(), clamped);
        return static_cast<unsigned int>(clamped);
    }
    return static_cast<unsigned int>(seconds);
}

void Config::setKeepAlive(unsigned int seconds) { set(kKeepAlive, Variant(seconds)); }

bool Config::getLogPayload() const { return get(kLogPayload); }
void Config::setLogPayload(bool on) { set(kLogPayload, Variant(on)); }
bool Config::getLogSubscriptions() const { return get(kLogSubscriptions); }
void Config::setLogSubscriptions(bool on) { set(kLogSubscriptions, Variant(on)); }
bool Config::getLogPublished() const { return get(kLogPublished); }
void Config::setLogPublished(bool on) { set(kLogPublished, Variant(on)); }
bool Config::getLogReceived() const { return get(kLogReceived); }
void Config::setLogReceived(bool on) { set(kLogReceived, Variant(on)); }

void Config::log(Log::Level level, const char* format, ...) const
{
    const std::string prefixed = String::format("[%s::Config] %s", mName.c_str(), format);
    va_list args;
    va_start(args, format);
    Log::vprint(level, prefixed.c_str(), args);
    va_end(args);
}

} // namespace MQTT
