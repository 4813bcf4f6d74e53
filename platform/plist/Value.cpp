#include "platform/plist/Value.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace plist {

namespace {

// Exact comparison of an integer with a real: equal only when the real is integral and
// in range, so 2^63 never equals INT64_MAX through rounding.
bool integerEqualsReal(std::int64_t i, double d) {
    constexpr double kTwo63 = 9223372036854775808.0;
    if (!(d >= -kTwo63 && d < kTwo63) || std::trunc(d) != d) {
        return false;
    }
    return static_cast<std::int64_t>(d) == i;
}

bool numbersEqual(const Value& a, const Value& b) {
    if (a.isReal() || b.isReal()) {
        if (a.isReal() && b.isReal()) {
            return *a.asReal() == *b.asReal();
        }
        const Value& real = a.isReal() ? a : b;
        const Value& integer = a.isReal() ? b : a;
        return integerEqualsReal(*integer.asInteger(), *real.asReal());
    }
    return *a.asInteger() == *b.asInteger();
}

template <typename Container>
Container& unshare(std::shared_ptr<const Container>& storage) {
    if (storage.use_count() != 1) {
        storage = std::make_shared<Container>(*storage);
    }
    // Every storage object is created non-const (see the constructors) and is now owned
    // by this value alone, so writing to it is sound.
    return const_cast<Container&>(*storage);
}

bool deepEqual(const Value& a, const Value& b, bool sameKinds) {
    if (a.isNumber() && b.isNumber()) {
        return sameKinds ? a.type() == b.type() && numbersEqual(a, b) : numbersEqual(a, b);
    }
    if (a.type() != b.type()) {
        return false;
    }
    switch (a.type()) {
    case Type::String:
        return *a.asString() == *b.asString();
    case Type::Date:
        return *a.asDate() == *b.asDate();
    case Type::Data:
        return *a.asData() == *b.asData();
    case Type::Array: {
        const Array& x = *a.asArray();
        const Array& y = *b.asArray();
        if (&x == &y) {
            return true;
        }
        if (x.size() != y.size()) {
            return false;
        }
        for (std::size_t i = 0; i < x.size(); ++i) {
            if (!deepEqual(x[i], y[i], sameKinds)) {
                return false;
            }
        }
        return true;
    }
    case Type::Dictionary: {
        const Dictionary& x = *a.asDictionary();
        const Dictionary& y = *b.asDictionary();
        if (&x == &y) {
            return true;
        }
        if (x.size() != y.size()) {
            return false;
        }
        for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
            if (i->first != j->first || !deepEqual(i->second, j->second, sameKinds)) {
                return false;
            }
        }
        return true;
    }
    default:
        return false; // numbers are handled above
    }
}

} // namespace

const char* typeName(Type type) {
    switch (type) {
    case Type::String:
        return "string";
    case Type::Integer:
        return "integer";
    case Type::Real:
        return "real";
    case Type::Boolean:
        return "boolean";
    case Type::Date:
        return "date";
    case Type::Data:
        return "data";
    case Type::Array:
        return "array";
    case Type::Dictionary:
        return "dictionary";
    }
    return "unknown";
}

Value::Value(std::string string) : storage_(std::make_shared<std::string>(std::move(string))) {}
Value::Value(Data data) : storage_(std::make_shared<Data>(std::move(data))) {}
Value::Value(Array array) : storage_(std::make_shared<Array>(std::move(array))) {}
Value::Value(Dictionary dictionary)
    : storage_(std::make_shared<Dictionary>(std::move(dictionary))) {}

const std::string* Value::asString() const {
    auto* p = std::get_if<std::shared_ptr<const std::string>>(&storage_);
    return p ? p->get() : nullptr;
}

const Data* Value::asData() const {
    auto* p = std::get_if<std::shared_ptr<const Data>>(&storage_);
    return p ? p->get() : nullptr;
}

const Array* Value::asArray() const {
    auto* p = std::get_if<std::shared_ptr<const Array>>(&storage_);
    return p ? p->get() : nullptr;
}

const Dictionary* Value::asDictionary() const {
    auto* p = std::get_if<std::shared_ptr<const Dictionary>>(&storage_);
    return p ? p->get() : nullptr;
}

std::optional<Date> Value::asDate() const {
    if (auto* p = std::get_if<Date>(&storage_)) {
        return *p;
    }
    return std::nullopt;
}

std::optional<std::int64_t> Value::asInteger() const {
    if (auto* i = std::get_if<std::int64_t>(&storage_)) {
        return *i;
    }
    if (auto* b = std::get_if<bool>(&storage_)) {
        return *b ? 1 : 0;
    }
    if (auto* d = std::get_if<double>(&storage_)) {
        constexpr double kTwo63 = 9223372036854775808.0;
        if (std::isnan(*d)) {
            return 0;
        }
        if (*d >= kTwo63) {
            return std::numeric_limits<std::int64_t>::max();
        }
        if (*d < -kTwo63) {
            return std::numeric_limits<std::int64_t>::min();
        }
        return static_cast<std::int64_t>(*d);
    }
    return std::nullopt;
}

std::optional<double> Value::asReal() const {
    if (auto* d = std::get_if<double>(&storage_)) {
        return *d;
    }
    if (auto i = asInteger()) {
        return static_cast<double>(*i);
    }
    return std::nullopt;
}

std::optional<bool> Value::asBoolean() const {
    if (auto* d = std::get_if<double>(&storage_)) {
        return *d != 0;
    }
    if (auto i = asInteger()) {
        return *i != 0;
    }
    return std::nullopt;
}

const Value* Value::find(std::string_view key) const {
    const Dictionary* dictionary = asDictionary();
    if (dictionary == nullptr) {
        return nullptr;
    }
    auto it = dictionary->find(key);
    return it == dictionary->end() ? nullptr : &it->second;
}

Array& Value::mutableArray() {
    auto* p = std::get_if<std::shared_ptr<const Array>>(&storage_);
    if (p == nullptr) {
        std::abort();
    }
    return unshare(*p);
}

Dictionary& Value::mutableDictionary() {
    auto* p = std::get_if<std::shared_ptr<const Dictionary>>(&storage_);
    if (p == nullptr) {
        std::abort();
    }
    return unshare(*p);
}

bool operator==(const Value& a, const Value& b) {
    return deepEqual(a, b, false);
}

bool Value::isIdenticalTo(const Value& other) const {
    return deepEqual(*this, other, true);
}

} // namespace plist
