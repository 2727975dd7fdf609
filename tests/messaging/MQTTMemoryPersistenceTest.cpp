#include "messaging/MQTTMemoryPersistence.h"

#include <gtest/gtest.h>

#include <mqtt/exception.h>

namespace {

std::vector<std::string> keysOf(const MQTTMemoryPersistence& store)
{
    const mqtt::string_collection keys = store.keys();
    std::vector<std::string> out;
    for (size_t i = 0; i < keys.size(); ++i) {
        out.push_back(keys[i]);
    }
    return out;
}

void put(MQTTMemoryPersistence& store, const std::string& key, const std::vector<std::string>& parts)
{
    std::vector<mqtt::string_view> views;
    for (const std::string& part : parts) {
        views.emplace_back(part.data(), part.size());
    }
    store.put(key, views);
}

} // namespace

TEST(MQTTMemoryPersistence, PutJoinsGetKeysAndClear)
{
    MQTTMemoryPersistence store;
    put(store, "s-2", {"ab", "cd"});
    put(store, "s-1", {std::string("x\0y", 3)});
    put(store, "s-2", {"new", "", "er"});
    EXPECT_EQ(store.get("s-2"), "newer");
    EXPECT_EQ(store.get("s-1"), std::string("x\0y", 3));
    EXPECT_TRUE(store.contains_key("s-1"));
    EXPECT_EQ(keysOf(store), (std::vector<std::string>{"s-1", "s-2"}));
    store.remove("s-1");
    EXPECT_FALSE(store.contains_key("s-1"));
    store.clear();
    EXPECT_TRUE(keysOf(store).empty());
}

TEST(MQTTMemoryPersistence, AbsentKeysThrowCodeMinusTwo)
{
    MQTTMemoryPersistence store;
    try {
        store.get("none");
        FAIL() << "get of an absent key returned";
    } catch (const mqtt::persistence_exception& e) {
        EXPECT_EQ(e.get_return_code(), -2);
        EXPECT_EQ(e.get_message(), "MQTTMemoryPersistance::get(): Key not found.");
    }
    try {
        store.remove("none");
        FAIL() << "remove of an absent key returned";
    } catch (const mqtt::persistence_exception& e) {
        EXPECT_EQ(e.get_return_code(), -2);
    }
}
