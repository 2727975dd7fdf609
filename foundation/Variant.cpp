#include "foundation/Variant.h"

#include "foundation/String.h"
#include "foundation/VariantJson.h"
#include "foundation/VariantMap.h"

// Inside Variant the enumerator Variant::String hides the class String,
// hence the qualified ::String below.

Variant::Variant() : mType(Null) {}

Variant::Variant(const std::string& value) : mValue(value), mType(String) {}

Variant::Variant(const char* value) : mValue(value), mType(String) {}

Variant::Variant(const std::string& value, Type type) : mValue(value), mType(type) {}

Variant::Variant(char value) : Variant(static_cast<long>(value)) {}

Variant::Variant(short value) : Variant(static_cast<long>(value)) {}

Variant::Variant(int value) : Variant(static_cast<long>(value)) {}

Variant::Variant(long value) : mValue(::String::fromInteger(value, 10, 1, '0')), mType(Int) {}

Variant::Variant(unsigned char value) : Variant(static_cast<unsigned long>(value)) {}

Variant::Variant(unsigned short value) : Variant(static_cast<unsigned long>(value)) {}

Variant::Variant(unsigned int value) : Variant(static_cast<unsigned long>(value)) {}

Variant::Variant(unsigned long value)
    : mValue(::String::fromInteger(static_cast<long long>(value), 10, 1, '0')), mType(UInt)
{
}

Variant::Variant(double value) : mValue(::String::fromDouble(value)), mType(Double) {}

Variant::Variant(bool value) : mValue(::String::fromBool(value)), mType(Bool) {}

Variant::Variant(const VariantMap& map) : mValue(VariantJson::dump(map.toJson(), -1)), mType(Map) {}

int64_t Variant::toInt() const
{
    return ::String::toInteger(mValue, 0);
}

uint64_t Variant::toUInt() const
{
    return static_cast<uint64_t>(toInt());
}

double Variant::toDouble() const
{
    return ::String::toDouble(mValue);
}

bool Variant::toBool() const
{
    return ::String::toBool(mValue);
}

VariantMap Variant::toMap() const
{
    VariantMap map;
    if (mType == Map) {
        map.fromJson(nlohmann::json::parse(mValue));
    }
    return map;
}

bool operator==(const Variant& a, const Variant& b)
{
    return a.type() == b.type() && a.toString() == b.toString();
}

bool operator!=(const Variant& a, const Variant& b)
{
    return !(a == b);
}
