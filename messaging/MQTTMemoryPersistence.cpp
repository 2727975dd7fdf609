#include "messaging/MQTTMemoryPersistence.h"

#include <MQTTClientPersistence.h>

#include <mqtt/exception.h>

void MQTTMemoryPersistence::open(const std::string&, const std::string&) {}

void MQTTMemoryPersistence::close() {}

void MQTTMemoryPersistence::clear()
{
    mEntries.clear();
}

bool MQTTMemoryPersistence::contains_key(const std::string& key)
{
    return mEntries.count(key) != 0;
}

mqtt::string_collection MQTTMemoryPersistence::keys() const
{
    mqtt::string_collection keys;
    for (const auto& entry : mEntries) {
        keys.push_back(entry.first);
    }
    return keys;
}

void MQTTMemoryPersistence::put(const std::string& key, const std::vector<mqtt::string_view>& buffers)
{
    std::string joined;
    for (const auto& buffer : buffers) {
        joined.append(buffer.data(), buffer.size());
    }
    mEntries[key] = std::move(joined);
}

std::string MQTTMemoryPersistence::get(const std::string& key) const
{
    const auto found = mEntries.find(key);
    if (found == mEntries.end()) {
        throw mqtt::persistence_exception(MQTTCLIENT_PERSISTENCE_ERROR,
                                          "MQTTMemoryPersistance::get(): Key not found.");
    }
    return found->second;
}

void MQTTMemoryPersistence::remove(const std::string& key)
{
    if (mEntries.erase(key) == 0) {
        throw mqtt::persistence_exception();
    }
}
