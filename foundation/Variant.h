#pragma once

// A dynamic value kept as text plus a type tag. Numbers are stored as their
// decimal text and parsed again on every read; the readers ignore the tag,
// which only decides the JSON form and the column in setting files.
// No locking: a Variant is a plain value, shared instances need the owner's lock.

#include <cstdint>
#include <string>

class VariantMap;

class Variant
{
public:
    // The numbers are stored in setting files: never renumber.
    enum Type : int32_t
    {
        Null = 0,
        String = 1,
        Int = 2,
        UInt = 3,
        Double = 4,
        Bool = 5,
        Map = 6,
    };

    Variant();
    Variant(const std::string& value);
    // Throws std::logic_error for a null pointer, as std::string does.
    Variant(const char* value);
    // Stores the pair unchecked.
    Variant(const std::string& value, Type type);
    Variant(char value);
    Variant(short value);
    Variant(int value);
    Variant(long value);
    Variant(unsigned char value);
    Variant(unsigned short value);
    Variant(unsigned int value);
    // Stored as the signed 64-bit text of the same bits: ULONG_MAX reads "-1".
    Variant(unsigned long value);
    Variant(double value);
    Variant(bool value);
    // The map's JSON, compact; throws the JSON library's type error when its
    // keys do not form a tree.
    Variant(const VariantMap& map);

    Variant& operator=(const std::string& value) { return *this = Variant(value); }
    Variant& operator=(const char* value) { return *this = Variant(value); }
    Variant& operator=(char value) { return *this = Variant(value); }
    Variant& operator=(short value) { return *this = Variant(value); }
    Variant& operator=(int value) { return *this = Variant(value); }
    Variant& operator=(long value) { return *this = Variant(value); }
    Variant& operator=(unsigned char value) { return *this = Variant(value); }
    Variant& operator=(unsigned short value) { return *this = Variant(value); }
    Variant& operator=(unsigned int value) { return *this = Variant(value); }
    Variant& operator=(unsigned long value) { return *this = Variant(value); }
    Variant& operator=(double value) { return *this = Variant(value); }
    Variant& operator=(bool value) { return *this = Variant(value); }
    Variant& operator=(const VariantMap& map) { return *this = Variant(map); }

    Type type() const { return mType; }
    // True for tag Null only: an empty text with another tag is not null.
    bool isNull() const { return mType == Null; }

    // The readers never fail: text that is no number reads 0, and only "on",
    // "true", "high" and "1" (any case) read true. Integers take the base
    // from the prefix ("0x" hex, leading "0" octal).
    std::string toString() const { return mValue; }
    int64_t toInt() const;
    uint64_t toUInt() const;
    double toDouble() const;
    bool toBool() const;
    // The entries of a Map-tagged value; empty for every other tag. Throws the
    // JSON library's parse error when a Map text is not valid JSON.
    VariantMap toMap() const;

    operator std::string() const { return mValue; }
    operator double() const { return toDouble(); }
    operator bool() const { return toBool(); }
    // The integer conversions keep the low bits of the parsed value.
    operator char() const { return static_cast<char>(toInt()); }
    operator unsigned char() const { return static_cast<unsigned char>(toInt()); }
    operator short() const { return static_cast<short>(toInt()); }
    operator unsigned short() const { return static_cast<unsigned short>(toInt()); }
    operator int() const { return static_cast<int>(toInt()); }
    operator unsigned int() const { return static_cast<unsigned int>(toInt()); }
    operator long() const { return static_cast<long>(toInt()); }
    operator unsigned long() const { return static_cast<unsigned long>(toInt()); }

private:
    std::string mValue;
    Type mType;
};

// Equal when both the texts (byte for byte) and the tags are equal.
bool operator==(const Variant& a, const Variant& b);
bool operator!=(const Variant& a, const Variant& b);
