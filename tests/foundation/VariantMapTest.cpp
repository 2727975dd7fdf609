#include "foundation/VariantMap.h"

#include <gtest/gtest.h>

#include <stdexcept>

using nlohmann::json;

TEST(VariantMap, FromJsonFlattensAndToJsonRebuilds)
{
    const json doc = json::parse(R"({"a":{"b":1,"c":[true,"x"]},"d":null,"n":-2,"f":0.5})");
    VariantMap map;
    map.fromJson(doc);
    EXPECT_EQ(map.keys(), (std::vector<std::string>{"a/b", "a/c/0", "a/c/1", "a/c/_size", "d", "f", "n"}));
    EXPECT_EQ(map["a/b"], Variant(1ul));
    EXPECT_EQ(map["a/c/0"], Variant(true));
    EXPECT_EQ(map["a/c/1"], Variant("x"));
    EXPECT_EQ(map["a/c/_size"], Variant(2ul));
    EXPECT_EQ(map["d"], Variant());
    EXPECT_EQ(map["n"], Variant(-2L));
    EXPECT_EQ(map["f"], Variant(0.5));
    EXPECT_EQ(map.toJson(), doc);

    // fromJson replaces what was there.
    map.fromJson(json::parse(R"({"z":1})"));
    EXPECT_EQ(map.keys(), std::vector<std::string>{"z"});
}

TEST(VariantMap, ArraysAndScalarsAtTheTop)
{
    VariantMap map;
    map.fromJson(json::parse("[5,6]"));
    EXPECT_EQ(map.keys(), (std::vector<std::string>{"0", "1", "_size"}));
    EXPECT_EQ(map.toJson(), json::parse("[5,6]"));

    map.fromJson(json(7));
    EXPECT_EQ(map.keys(), std::vector<std::string>{""});
    map.fromJson(json());
    EXPECT_TRUE(map.empty());

    map.fromJson(json::parse(R"({"e":[],"o":{}})"));
    EXPECT_EQ(map.keys(), std::vector<std::string>{"e/_size"});
    EXPECT_EQ(map.toJson(), json::parse(R"({"e":null})"));

    // Byte-wise key order (list/10 before list/2) does not disturb the array.
    const json twelve = json::parse(R"({"list":[0,1,2,3,4,5,6,7,8,9,10,11]})");
    map.fromJson(twelve);
    EXPECT_EQ(map.toJson(), twelve);
}

TEST(VariantMap, NonCanonicalOrHugeIndicesAreMembers)
{
    VariantMap map;
    map["big/4000000000"] = Variant(1);
    map["neg/-1"] = Variant(2);
    map["lead/01"] = Variant(3);
    map["plus/+1"] = Variant(4);
    map["arr/1"] = Variant(5);
    EXPECT_EQ(map.toJson(), json::parse(R"({"arr":[null,5],"big":{"4000000000":1},"lead":{"01":3},
                                            "neg":{"-1":2},"plus":{"+1":4}})"));
}

// Each parent's own children decide whether it holds an array, whatever
// else the map holds.
TEST(VariantMap, ArrayShapeFollowsTheParentsOwnChildren)
{
    const struct {
        std::vector<std::string> keys;
        const char* json;
    } rows[] = {
        {{"a/3"}, R"({"a":[null,null,null,1]})"},
        {{"a/3", "b", "c", "d", "e"}, R"({"a":[null,null,null,1],"b":1,"c":1,"d":1,"e":1})"},
        {{"a/17"}, R"({"a":[null,null,null,null,null,null,null,null,null,null,null,null,null,null,null,null,null,1]})"},
        {{"a/18"}, R"({"a":{"18":1}})"},
        {{"portMap/8080"}, R"({"portMap":{"8080":1}})"},
        {{"m/0", "m/name"}, R"({"m":{"0":1,"name":1}})"},
        {{"l/0", "l/_size"}, R"({"l":[1]})"},
    };
    for (const auto& row : rows) {
        VariantMap map;
        for (const std::string& key : row.keys) {
            map[key] = Variant(1);
        }
        EXPECT_EQ(map.toJson(), json::parse(row.json)) << row.json;
    }
}

TEST(VariantMap, ToJsonRaisesWhenKeysDoNotFormATree)
{
    VariantMap map;
    map["a"] = Variant(1);
    map["a/b"] = Variant(2);
    try {
        map.toJson();
        FAIL() << "no type error";
    } catch (const json::type_error& e) {
        EXPECT_EQ(e.id, 305);
        EXPECT_NE(std::string(e.what()).find("number"), std::string::npos);
    }
    EXPECT_THROW(Variant{map}, json::type_error);
    EXPECT_EQ(map.size(), 2u);
}

TEST(VariantMap, GetGathersSubtrees)
{
    VariantMap map;
    map["a/b"] = Variant(1ul);
    map["a/c/d"] = Variant("x");
    map["ab"] = Variant(9);
    EXPECT_EQ(map.get("a/b"), Variant(1ul));
    EXPECT_EQ(map.get("a"), Variant(R"({"b":1,"c":{"d":"x"}})", Variant::Map));
    EXPECT_EQ(map.get("a/c"), Variant(R"({"d":"x"})", Variant::Map));
    EXPECT_TRUE(map.get("zz").isNull());
}

TEST(VariantMap, WildcardKeys)
{
    VariantMap map;
    map["dev1/x"] = Variant(1ul);
    map["dev2/y"] = Variant(2ul);
    map["other/z"] = Variant(3ul);
    // The relative key is what follows the part the wildcard key matched.
    EXPECT_EQ(map.get("dev?"), Variant(R"({"x":1,"y":2})", Variant::Map));
    EXPECT_EQ(map.get("*"), Variant(R"({"x":1,"y":2,"z":3})", Variant::Map));
    EXPECT_TRUE(map.get("q?").isNull());

    map.erase("dev*");
    EXPECT_EQ(map.keys(), std::vector<std::string>{"other/z"});
}

TEST(VariantMap, SetFlattensMapsAndKeepsOldEntries)
{
    VariantMap inner;
    inner.fromJson(json::parse(R"({"q":{"r":2},"l":[1]})"));
    VariantMap map;
    map["p"] = Variant(1);
    map["p/old"] = Variant(2);
    map.set("p", Variant(inner));
    EXPECT_EQ(map.keys(), (std::vector<std::string>{"p", "p/l/0", "p/l/_size", "p/old", "p/q/r"}));
    EXPECT_EQ(map["p/q/r"], Variant(2ul));

    map.set("e", Variant(VariantMap()));
    EXPECT_FALSE(map.exists("e"));
    EXPECT_THROW(map.set("bad", Variant("{", Variant::Map)), json::parse_error);
    EXPECT_FALSE(map.exists("bad"));
}

TEST(VariantMap, AccessEraseMerge)
{
    VariantMap map;
    map["a"] = Variant(1);
    map["a/b"] = Variant(2);
    map["ab"] = Variant(3);
    EXPECT_FALSE(map.exists("a/"));
    map.erase("a");
    EXPECT_EQ(map.keys(), std::vector<std::string>{"ab"});

    const VariantMap& constMap = map;
    try {
        constMap["missing"];
        FAIL() << "no out_of_range";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "Key not found: missing");
    }
    EXPECT_EQ(map.size(), 1u);

    VariantMap mine;
    mine["a"] = Variant(9);
    VariantMap theirs;
    theirs["a"] = Variant(1);
    theirs["b"] = Variant(2);
    mine.merge(theirs);
    EXPECT_EQ(mine["a"], Variant(9));
    EXPECT_EQ(mine["b"], Variant(2));
    EXPECT_NE(mine, theirs);
    EXPECT_EQ(VariantMap(std::map<std::string, Variant>{{"a", Variant(9)}, {"b", Variant(2)}}), mine);
}

TEST(VariantMap, TextTable)
{
    VariantMap map;
    EXPECT_EQ(map.toString(), "+------------+------------+\n"
                              "| KEY        | VALUE      |\n"
                              "+------------+------------+\n"
                              "+------------+------------+\n");
    map["port"] = Variant(1414);
    map["a-rather-long-key"] = Variant("v");
    EXPECT_EQ(map.toString(), "+-------------------+------------+\n"
                              "| KEY               | VALUE      |\n"
                              "+-------------------+------------+\n"
                              "| a-rather-long-key : v          |\n"
                              "| port              : 1414       |\n"
                              "+-------------------+------------+\n");
}
