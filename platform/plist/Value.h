#pragma once

#include "platform/time/Date.h"

#include <concepts>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace plist {

class Value;

// Keys in ascending byte order (UTF-8 order equals code-point order); that is the
// enumeration order of every printer and writer.
using Dictionary = std::map<std::string, Value, std::less<>>;
using Array = std::vector<Value>;
using Data = std::vector<std::uint8_t>;

// A point in time as seconds since 2001-01-01 00:00:00 UTC (the reference date), kept as
// the exact double that binary files hold.
using Date = timebase::Date;

enum class Type { String, Integer, Real, Boolean, Date, Data, Array, Dictionary };

// "string", "integer", "real", "boolean", "date", "data", "array", "dictionary".
const char* typeName(Type type);

// One property-list value. Booleans, integers and reals are distinct kinds, but all are
// numbers and compare by value across kinds (true == 1 == 1.0). Strings, data, arrays and
// dictionaries live in shared immutable storage, so copies are cheap; the mutable
// accessors copy the storage first when it is shared (copy on write).
class Value {
public:
    Value(std::string string);
    Value(std::string_view string) : Value(std::string(string)) {}
    Value(const char* string) : Value(std::string(string)) {}
    Value(bool boolean) : storage_(boolean) {}
    // No pointer other than a C string turns into a value (it would become a boolean).
    template <typename T>
    Value(T*) = delete;
    template <std::integral T>
    requires(!std::same_as<T, bool> && (std::is_signed_v<T> || sizeof(T) < 8)) Value(T integer)
        : storage_(static_cast<std::int64_t>(integer)) {}
    Value(double real) : storage_(real) {}
    Value(Date date) : storage_(date) {}
    Value(Data data);
    Value(Array array);
    Value(Dictionary dictionary);

    Type type() const { return static_cast<Type>(storage_.index()); }
    bool isString() const { return type() == Type::String; }
    bool isInteger() const { return type() == Type::Integer; }
    bool isReal() const { return type() == Type::Real; }
    bool isBoolean() const { return type() == Type::Boolean; }
    bool isNumber() const { return isInteger() || isReal() || isBoolean(); }
    bool isDate() const { return type() == Type::Date; }
    bool isData() const { return type() == Type::Data; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }

    // Typed views: null (or nullopt) when the value is of another kind.
    const std::string* asString() const;
    const Data* asData() const;
    const Array* asArray() const;
    const Dictionary* asDictionary() const;
    std::optional<Date> asDate() const;

    // Numbers of any kind, converted as the platform's numbers convert: booleans are 0 or 1,
    // reals truncate toward zero (saturating at the integer range, NaN gives 0), and a
    // number is true when it is not zero. Nullopt for values that are not numbers.
    std::optional<std::int64_t> asInteger() const;
    std::optional<double> asReal() const;
    std::optional<bool> asBoolean() const;

    // The entry for `key` of a dictionary; null when missing or when this is no dictionary.
    const Value* find(std::string_view key) const;

    // Mutable access to the container, unsharing its storage first. The value must be an
    // array (a dictionary); calling it on any other kind ends the process.
    Array& mutableArray();
    Dictionary& mutableDictionary();

    // Deep equality; numbers compare by value across kinds, NaN equals nothing.
    friend bool operator==(const Value& a, const Value& b);

    // Deep equality that also requires the same kind everywhere (1 is not true here).
    bool isIdenticalTo(const Value& other) const;

private:
    using Storage = std::variant<std::shared_ptr<const std::string>, std::int64_t, double, bool,
                                 Date, std::shared_ptr<const Data>, std::shared_ptr<const Array>,
                                 std::shared_ptr<const Dictionary>>;
    Storage storage_;
};

// What a "%@" placeholder prints for the value: strings as they are; numbers in decimal
// (booleans 1 and 0, reals in their shortest exact form); dates as
// "2026-12-08 03:00:00 +0000"; data as "{length = 3, bytes = 0x0001ff}"; arrays and
// dictionaries in the old-style text form with four spaces of indentation per level.
// Other describable types (errors) provide their own `description` overload.
std::string description(const Value& value);

// As above; "(null)" for a missing value.
std::string description(const Value* value);
std::string description(const std::optional<Value>& value);

} // namespace plist
