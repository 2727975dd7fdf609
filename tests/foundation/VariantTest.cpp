#include "foundation/Variant.h"
#include "foundation/VariantJson.h"
#include "foundation/VariantMap.h"

#include <gtest/gtest.h>

#include <climits>

using nlohmann::json;

TEST(Variant, DefaultIsNull)
{
    const Variant v;
    EXPECT_TRUE(v.isNull());
    EXPECT_EQ(v.type(), Variant::Null);
    EXPECT_EQ(v.toString(), "");
    EXPECT_EQ(v.toInt(), 0);
    EXPECT_FALSE(v.toBool());
    EXPECT_TRUE(VariantJson::toJson(v).is_null());

    const Variant empty(std::string(""));
    EXPECT_FALSE(empty.isNull());
    EXPECT_EQ(empty.type(), Variant::String);
    EXPECT_EQ(VariantJson::toJson(empty), json(""));
}

TEST(Variant, ConstructionTagsAndTexts)
{
    EXPECT_EQ(Variant(static_cast<char>(-56)), Variant("-56", Variant::Int));
    EXPECT_EQ(Variant(static_cast<unsigned char>(200)), Variant("200", Variant::UInt));
    EXPECT_EQ(Variant(static_cast<short>(-3)), Variant("-3", Variant::Int));
    EXPECT_EQ(Variant(7L), Variant("7", Variant::Int));
    EXPECT_EQ(Variant(7u), Variant("7", Variant::UInt));
    EXPECT_EQ(Variant(ULONG_MAX), Variant("-1", Variant::UInt));
    EXPECT_EQ(Variant(0.1), Variant("0.1", Variant::Double));
    EXPECT_EQ(Variant(3.14159265), Variant("3.14159", Variant::Double));
    EXPECT_EQ(Variant(true), Variant("true", Variant::Bool));
    EXPECT_EQ(Variant("abc"), Variant(std::string("abc")));

    Variant v;
    v = static_cast<char>(-56);
    EXPECT_EQ(v, Variant("-56", Variant::Int));
    v = static_cast<unsigned char>(200);
    EXPECT_EQ(v, Variant("200", Variant::UInt));
    v = 2.5;
    EXPECT_EQ(v, Variant("2.5", Variant::Double));
    v = "x";
    EXPECT_EQ(v, Variant("x", Variant::String));

    EXPECT_THROW(Variant(static_cast<const char*>(nullptr)), std::logic_error);
}

TEST(Variant, EqualityNeedsTextAndTag)
{
    EXPECT_NE(Variant(1), Variant(1u));
    EXPECT_NE(Variant("1"), Variant(1));
    EXPECT_EQ(Variant(1), Variant("1", Variant::Int));
}

TEST(Variant, ReadersParseTheTextIgnoringTheTag)
{
    EXPECT_EQ(Variant(true).toInt(), 0);
    EXPECT_TRUE(Variant(1).toBool());
    EXPECT_FALSE(Variant(2).toBool());
    EXPECT_TRUE(Variant("High").toBool());
    EXPECT_EQ(Variant("0x1F").toInt(), 31);
    EXPECT_EQ(Variant("010").toInt(), 8);
    EXPECT_EQ(Variant("0X1F").toInt(), 0);
    EXPECT_EQ(Variant("abc").toDouble(), 0.0);
    EXPECT_EQ(Variant(ULONG_MAX).toUInt(), ULONG_MAX);

    const Variant big(300);
    EXPECT_EQ(static_cast<unsigned char>(big), 44);
    EXPECT_EQ(static_cast<int>(big), 300);
    EXPECT_EQ(static_cast<unsigned int>(Variant("0x100000001")), 1u);
    EXPECT_EQ(static_cast<std::string>(Variant(5)), "5");
    EXPECT_DOUBLE_EQ(static_cast<double>(Variant("1.5")), 1.5);
}

TEST(Variant, JsonValueByTag)
{
    EXPECT_EQ(VariantJson::toJson(Variant(-5)), json(-5));
    EXPECT_TRUE(VariantJson::toJson(Variant(-5)).is_number_integer());
    const json u = VariantJson::toJson(Variant(ULONG_MAX));
    ASSERT_TRUE(u.is_number_unsigned());
    EXPECT_EQ(u.get<uint64_t>(), ULONG_MAX);
    EXPECT_TRUE(VariantJson::toJson(Variant(1.0)).is_number_float());
    EXPECT_EQ(VariantJson::toJson(Variant(false)), json(false));
    EXPECT_TRUE(VariantJson::toJson(Variant("x", static_cast<Variant::Type>(42))).is_null());
}

TEST(Variant, StringThatLooksLikeAnObject)
{
    // A valid object text gives the object...
    EXPECT_EQ(VariantJson::toJson(Variant("{\"a\":1}")), json({{"a", 1}}));
    // ...anything else starting with "{" stays a string and never throws.
    EXPECT_EQ(VariantJson::toJson(Variant("{s3cret")), json("{s3cret"));
    EXPECT_EQ(VariantJson::toJson(Variant("{\"a\":1} trailing")), json("{\"a\":1} trailing"));
    EXPECT_EQ(VariantJson::toJson(Variant("{")), json("{"));
    EXPECT_EQ(VariantJson::toJson(Variant("[1]")), json("[1]"));
    // The text of an object under the String tag is no map.
    EXPECT_TRUE(Variant("{\"a\":1}").toMap().empty());
}

TEST(Variant, MapTag)
{
    VariantMap map;
    EXPECT_EQ(Variant(map), Variant("null", Variant::Map));
    EXPECT_TRUE(Variant(map).toMap().empty());

    map.set("a/b", Variant(1u));
    map.set("c", Variant("x"));
    const Variant v(map);
    EXPECT_EQ(v.toString(), "{\"a\":{\"b\":1},\"c\":\"x\"}");
    EXPECT_EQ(v.toMap(), map);
    EXPECT_EQ(VariantJson::toJson(v), json({{"a", {{"b", 1}}}, {"c", "x"}}));

    const Variant broken("{nope", Variant::Map);
    EXPECT_THROW(broken.toMap(), json::parse_error);
    EXPECT_THROW(VariantJson::toJson(broken), json::parse_error);
}

TEST(Variant, FromJsonScalar)
{
    EXPECT_EQ(VariantJson::fromScalar(json::parse("1414")), Variant("1414", Variant::UInt));
    EXPECT_EQ(VariantJson::fromScalar(json::parse("-5")), Variant("-5", Variant::Int));
    EXPECT_EQ(VariantJson::fromScalar(json::parse("1.0")), Variant("1", Variant::Double));
    EXPECT_EQ(VariantJson::fromScalar(json::parse("true")), Variant(true));
    EXPECT_EQ(VariantJson::fromScalar(json::parse("\"s\"")), Variant("s"));
    EXPECT_EQ(VariantJson::fromScalar(json::parse("null")), Variant());
}

TEST(Variant, DumpReplacesInvalidUtf8)
{
    const json value = {{"ok", "\xC3\xA9t\xC3\xA9"}, {"bad", "a\xFF" "b"}};
    EXPECT_EQ(VariantJson::dump(value, -1), "{\"bad\":\"a\xEF\xBF\xBD" "b\",\"ok\":\"\xC3\xA9t\xC3\xA9\"}");

    VariantMap map;
    map.set("raw", Variant("\xFE"));
    EXPECT_EQ(Variant(map).toString(), "{\"raw\":\"\xEF\xBF\xBD\"}");
}
