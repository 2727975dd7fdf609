#pragma once
// MQTTMemoryPersistence: the MQTT library's store for messages in flight,
// kept in memory only (nothing survives the process).
//
// Threading: no lock of its own. The library calls it under its own client
// lock; each library client has its own store.

#include <map>
#include <string>
#include <vector>

#include <mqtt/iclient_persistence.h>

class MQTTMemoryPersistence : public virtual mqtt::iclient_persistence
{
public:
    // Nothing to open or close: the store lives as long as the object.
    void open(const std::string& clientId, const std::string& serverUri) override;
    void close() override;
    void clear() override;
    bool contains_key(const std::string& key) override;
    // All keys in ascending order.
    mqtt::string_collection keys() const override;
    // Joins the buffers in order and stores them under key, replacing an
    // earlier value.
    void put(const std::string& key, const std::vector<mqtt::string_view>& buffers) override;
    // Throws mqtt::persistence_exception (code -2, message
    // "MQTTMemoryPersistance::get(): Key not found.") for an absent key.
    std::string get(const std::string& key) const override;
    // Throws mqtt::persistence_exception (code -2) for an absent key.
    void remove(const std::string& key) override;

private:
    std::map<std::string, std::string> mEntries;
};
