#include "foundation/Settings.h"

#include <gtest/gtest.h>

#include "tests/support/TempDir.h"

using nlohmann::json;

namespace {

std::vector<std::string> keysOf(const SettingStore& store)
{
    return store.keys();
}

} // namespace

TEST(Settings, FromJsonMergesWithoutSizeEntries)
{
    SettingStore store;
    store["keep"] = Variant(1);
    store.fromJson(json::parse(R"({"a":[1,2],"s":"x"})"));
    EXPECT_EQ(keysOf(store), (std::vector<std::string>{"a/0", "a/1", "keep", "s"}));
    EXPECT_EQ(store.toJson(), json::parse(R"({"a":[1,2],"keep":1,"s":"x"})"));

    SettingStore list;
    const json twelve = json::parse(R"({"l":[0,1,2,3,4,5,6,7,8,9,10,11]})");
    list.fromJson(twelve);
    EXPECT_EQ(list.toJson(), twelve);

    // A top-level array gives index keys, composed as members of the root.
    SettingStore top;
    top.fromJson(json::parse("[5,6]"));
    EXPECT_EQ(keysOf(top), (std::vector<std::string>{"0", "1"}));
    EXPECT_EQ(top.toJson(), json::parse(R"({"0":5,"1":6})"));
    top.fromJson(json());
    EXPECT_EQ(top.keys().size(), 2u);
}

TEST(Settings, FromJsonNeverLeavesAValueThatIsAlsoAParent)
{
    SettingStore store;
    store.fromJson(json::parse(R"({"tcp":{"port":1414,"debug":false}})"));

    // A remote change that turns a value into an object replaces the value...
    store.fromJson(json::parse(R"({"tcp":{"port":{"x":1}}})"));
    EXPECT_EQ(keysOf(store), (std::vector<std::string>{"tcp/debug", "tcp/port/x"}));
    EXPECT_EQ(store.toJson(), json::parse(R"({"tcp":{"debug":false,"port":{"x":1}}})"));

    // ...and one that turns the object back into a value drops the subtree.
    store.fromJson(json::parse(R"({"tcp":{"port":1515}})"));
    EXPECT_EQ(keysOf(store), (std::vector<std::string>{"tcp/debug", "tcp/port"}));
    EXPECT_EQ(store.toJson(), json::parse(R"({"tcp":{"debug":false,"port":1515}})"));

    // Empty components and member names with "/" meet the same keys.
    store.fromJson(json::parse(R"({"tcp":{"":{"port":{"y":2}}}})"));
    EXPECT_EQ(keysOf(store), (std::vector<std::string>{"tcp/debug", "tcp/port/y"}));
    store.fromJson(json::parse(R"({"tcp/port":3})"));
    EXPECT_EQ(store.toJson(), json::parse(R"({"tcp":{"debug":false,"port":3}})"));

    // Inside one document the later member wins.
    SettingStore one;
    one.fromJson(json::parse(R"({"a":1,"a/b":2})"));
    EXPECT_EQ(keysOf(one), std::vector<std::string>{"a/b"});
}

TEST(Settings, ToJsonComposition)
{
    SettingStore store;
    store["log/payload"] = Variant(false);
    store["port"] = Variant(1414u);
    store["a//b/"] = Variant("x");
    store[""] = Variant(1);
    store["arr/1/name"] = Variant("n");
    store["list/_size"] = Variant(2u);
    EXPECT_EQ(store.toJson(), json::parse(R"({"a":{"b":"x"},"arr":[null,{"name":"n"}],
                                             "list":{"_size":2},"log":{"payload":false},"port":1414})"));

    // Indices that are not canonical or exceed the entry count are members.
    SettingStore odd;
    odd["m/4000000000"] = Variant(1);
    odd["n/-1"] = Variant(2);
    odd["o/00"] = Variant(3);
    EXPECT_EQ(odd.toJson(), json::parse(R"({"m":{"4000000000":1},"n":{"-1":2},"o":{"00":3}})"));

    EXPECT_TRUE(SettingStore().toJson().is_null());
}

TEST(Settings, ToJsonRaisesWhenKeysDoNotFormATree)
{
    const auto errorOf = [](std::initializer_list<std::string> keys) {
        SettingStore store;
        for (const std::string& key : keys) {
            store[key] = Variant(1);
        }
        try {
            store.toJson();
        } catch (const json::type_error& e) {
            return e.id;
        }
        return 0;
    };
    EXPECT_EQ(errorOf({"port", "port/x"}), 305);
    EXPECT_EQ(errorOf({"a", "a/0"}), 308);
}

// Each parent's own children decide whether it holds an array; mixed
// children make an object, and the top stays an object. The shape is the
// same after a round trip through either kind of file.
TEST(Settings, ArrayShapeFollowsTheParentsOwnChildren)
{
    TempDir dir;
    const struct {
        const char* in;
        const char* out;
    } rows[] = {
        {R"({"servers":[{},{"host":"h1"}]})", R"({"servers":[null,{"host":"h1"}]})"},
        {R"({"portMap":{"8080":1}})", R"({"portMap":{"8080":1}})"},
        {R"({"a":[[1,2],[3]],"b":1,"c":2,"d":3})", R"({"a":[[1,2],[3]],"b":1,"c":2,"d":3})"},
        {R"({"m":{"0":1,"x":2},"l":{"0":1,"_size":1}})", R"({"m":{"0":1,"x":2},"l":{"0":1,"_size":1}})"},
        {R"({"0":1,"1":2})", R"({"0":1,"1":2})"},
    };
    for (const auto& row : rows) {
        SettingStore store;
        store.fromJson(json::parse(row.in));
        EXPECT_EQ(store.toJson(), json::parse(row.out)) << row.in;
        for (const char* name : {"conf.json", "conf.db"}) {
            ASSERT_TRUE(store.save(dir.file(name), SettingStore::Auto)) << name;
            SettingStore back;
            ASSERT_TRUE(back.load(dir.file(name), SettingStore::Auto)) << name;
            EXPECT_EQ(back.toJson(), json::parse(row.out)) << name << " " << row.in;
        }
    }
}

TEST(Settings, SetAndGet)
{
    SettingStore store;
    store.set("log/payload", Variant(true));
    store.set("log/received", Variant(false));
    store.set("a/b/c", Variant(1u));
    EXPECT_EQ(store.get("log"), Variant(R"({"payload":true,"received":false})", Variant::Map));
    EXPECT_EQ(store.get("a/b"), Variant(R"({"c":1})", Variant::Map));
    EXPECT_EQ(store.get("a/b/c"), Variant(1u));
    EXPECT_TRUE(store.get("missing").isNull());

    VariantMap map;
    map.fromJson(json::parse(R"({"q":[7]})"));
    store.set("p", Variant(map));
    EXPECT_TRUE(store.exists("p/q/0"));
    EXPECT_TRUE(store.exists("p/q/_size"));
    EXPECT_FALSE(store.exists("p"));
}

TEST(Settings, MapsInAndOut)
{
    SettingStore store;
    store["a"] = Variant(9);
    VariantMap map;
    map["a"] = Variant(1);
    map["b"] = Variant(2);

    store.merge(map);
    EXPECT_EQ(store.get("a"), Variant(9));
    EXPECT_EQ(store.get("b"), Variant(2));
    store.fromMap(map);
    EXPECT_EQ(store.get("a"), Variant(1));
    EXPECT_EQ(store.toMap(), map);

    store.load(std::map<std::string, Variant>{{"z", Variant("only")}});
    EXPECT_EQ(keysOf(store), std::vector<std::string>{"z"});

    // A copy has its own entries.
    SettingStore copy = store;
    copy["z"] = Variant("changed");
    EXPECT_EQ(store.get("z"), Variant("only"));
}
