// Writer of binary property lists: flattens the value into a table of objects (equal
// scalars and shared container storage once each), then writes the objects, the offset
// table and the trailer.

#include "platform/plist/Binary.h"
#include "platform/plist/Text.h"

#include <algorithm>
#include <bit>
#include <unordered_map>

namespace plist {

namespace {

std::size_t bytesFor(std::uint64_t value) {
    std::size_t size = 1;
    while (size < 8 && value >> (8 * size) != 0) {
        ++size;
    }
    return size;
}

// Identity of a scalar for sharing: its kind, its number bits and its bytes.
struct ScalarKey {
    Type type;
    std::uint64_t bits;
    std::string_view bytes;
    bool operator==(const ScalarKey&) const = default;
};

struct ScalarKeyHash {
    std::size_t operator()(const ScalarKey& k) const {
        const std::size_t h = std::hash<std::string_view>()(k.bytes);
        return h ^ (std::hash<std::uint64_t>()(k.bits) * 31 + static_cast<std::size_t>(k.type));
    }
};

class BinaryWriter {
public:
    explicit BinaryWriter(std::string* error) : error_(error) {}

    std::optional<std::vector<std::uint8_t>> write(const Value& top) {
        if (!add(top, 0)) {
            return std::nullopt;
        }
        refSize_ = bytesFor(objects_.size() - 1);
        out_.reserve(64 + objects_.size() * 16);
        out_.insert(out_.end(), {'b', 'p', 'l', 'i', 's', 't', '0', '0'});
        std::vector<std::uint64_t> offsets;
        offsets.reserve(objects_.size());
        for (const Object& object : objects_) {
            offsets.push_back(out_.size());
            if (!writeObject(object)) {
                return std::nullopt;
            }
        }
        const std::uint64_t tableOffset = out_.size();
        const std::size_t offsetSize = bytesFor(tableOffset);
        for (std::uint64_t offset : offsets) {
            appendBigEndian(offset, offsetSize);
        }
        out_.insert(out_.end(), 6, 0);
        out_.push_back(static_cast<std::uint8_t>(offsetSize));
        out_.push_back(static_cast<std::uint8_t>(refSize_));
        appendBigEndian(objects_.size(), 8);
        appendBigEndian(0, 8); // the top object comes first
        appendBigEndian(tableOffset, 8);
        return std::move(out_);
    }

private:
    // One object of the file: a value, or a dictionary key (a string without a Value).
    struct Object {
        const Value* value;
        std::string_view key;
        std::uint32_t firstRef = 0;
        std::uint32_t refCount = 0;
    };

    bool fail(const std::string& message) {
        if (error_) {
            *error_ = message;
        }
        return false;
    }

    // An object's index and the container levels it holds (0 for scalars).
    struct Added {
        std::uint32_t index;
        std::size_t height;
    };

    std::optional<Added> addScalar(const ScalarKey& key, const Value* value) {
        auto [it, inserted] =
            scalars_.try_emplace(key, static_cast<std::uint32_t>(objects_.size()));
        if (inserted) {
            objects_.push_back({value, value ? std::string_view() : key.bytes});
        }
        return Added{it->second, 0};
    }

    // Adds `value` (and what it holds) to the object table; returns its index.
    std::optional<Added> add(const Value& value, std::size_t depth) {
        switch (value.type()) {
        case Type::String:
            return addScalar({Type::String, 0, *value.asString()}, &value);
        case Type::Data: {
            const Data& d = *value.asData();
            return addScalar({Type::Data, 0, {reinterpret_cast<const char*>(d.data()), d.size()}},
                             &value);
        }
        case Type::Integer:
        case Type::Boolean:
            return addScalar({value.type(), static_cast<std::uint64_t>(*value.asInteger()), {}},
                             &value);
        case Type::Real:
            return addScalar({Type::Real, std::bit_cast<std::uint64_t>(*value.asReal()), {}},
                             &value);
        case Type::Date:
            return addScalar(
                {Type::Date,
                 std::bit_cast<std::uint64_t>(value.asDate()->secondsSinceReferenceDate),
                 {}},
                &value);
        case Type::Array:
        case Type::Dictionary:
            return addContainer(value, depth);
        }
        return std::nullopt;
    }

    std::optional<Added> addContainer(const Value& value, std::size_t depth) {
        const void* storage = value.isArray() ? static_cast<const void*>(value.asArray())
                                              : static_cast<const void*>(value.asDictionary());
        const auto tooDeep = [&] {
            fail("containers nest deeper than " + std::to_string(kMaxNesting) + " levels");
            return std::nullopt;
        };
        if (auto it = containers_.find(storage); it != containers_.end()) {
            if (depth + it->second.height > kMaxNesting) {
                return tooDeep();
            }
            return it->second;
        }
        if (depth >= kMaxNesting) {
            return tooDeep();
        }
        std::size_t height = 0;
        const auto index = static_cast<std::uint32_t>(objects_.size());
        objects_.push_back({&value, {}});
        std::vector<std::uint32_t> children;
        if (const Array* array = value.asArray()) {
            children.reserve(array->size());
            for (const Value& item : *array) {
                auto child = add(item, depth + 1);
                if (!child) {
                    return std::nullopt;
                }
                children.push_back(child->index);
                height = std::max(height, child->height);
            }
        } else {
            const Dictionary& dictionary = *value.asDictionary();
            children.reserve(2 * dictionary.size());
            for (const auto& entry : dictionary) {
                children.push_back(addScalar({Type::String, 0, entry.first}, nullptr)->index);
            }
            for (const auto& entry : dictionary) {
                auto child = add(entry.second, depth + 1);
                if (!child) {
                    return std::nullopt;
                }
                children.push_back(child->index);
                height = std::max(height, child->height);
            }
        }
        objects_[index].firstRef = static_cast<std::uint32_t>(refs_.size());
        objects_[index].refCount = static_cast<std::uint32_t>(children.size());
        refs_.insert(refs_.end(), children.begin(), children.end());
        const Added added{index, height + 1};
        containers_.emplace(storage, added);
        return added;
    }

    void appendBigEndian(std::uint64_t value, std::size_t size) {
        for (std::size_t i = size; i-- > 0;) {
            out_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        }
    }

    void appendMarker(std::uint8_t type, std::uint64_t count) {
        if (count < 15) {
            out_.push_back(static_cast<std::uint8_t>(type | count));
        } else {
            out_.push_back(static_cast<std::uint8_t>(type | 0x0F));
            appendInteger(count);
        }
    }

    void appendInteger(std::int64_t value) {
        const auto bits = static_cast<std::uint64_t>(value);
        const std::size_t size = value < 0 ? 8 : std::bit_ceil(bytesFor(bits));
        out_.push_back(static_cast<std::uint8_t>(0x10 | std::countr_zero(size)));
        appendBigEndian(bits, size);
    }

    bool appendString(std::string_view s) {
        bool ascii = true;
        for (char c : s) {
            ascii = ascii && static_cast<unsigned char>(c) < 0x80;
        }
        if (ascii) {
            appendMarker(0x50, s.size());
            out_.insert(out_.end(), s.begin(), s.end());
            return true;
        }
        auto units = text::utf8ToUtf16(s);
        if (!units) {
            return fail("string at byte " + std::to_string(*text::invalidUtf8Offset(s)) +
                        " is not valid UTF-8");
        }
        appendMarker(0x60, units->size());
        for (char16_t unit : *units) {
            appendBigEndian(unit, 2);
        }
        return true;
    }

    bool writeObject(const Object& object) {
        if (!object.value) {
            return appendString(object.key);
        }
        const Value& value = *object.value;
        switch (value.type()) {
        case Type::String:
            return appendString(*value.asString());
        case Type::Integer:
            appendInteger(*value.asInteger());
            return true;
        case Type::Boolean:
            out_.push_back(*value.asBoolean() ? 0x09 : 0x08);
            return true;
        case Type::Real:
            out_.push_back(0x23);
            appendBigEndian(std::bit_cast<std::uint64_t>(*value.asReal()), 8);
            return true;
        case Type::Date:
            out_.push_back(0x33);
            appendBigEndian(std::bit_cast<std::uint64_t>(value.asDate()->secondsSinceReferenceDate),
                            8);
            return true;
        case Type::Data:
            appendMarker(0x40, value.asData()->size());
            out_.insert(out_.end(), value.asData()->begin(), value.asData()->end());
            return true;
        case Type::Array:
        case Type::Dictionary:
            appendMarker(value.isArray() ? 0xA0 : 0xD0,
                         value.isArray() ? object.refCount : object.refCount / 2);
            for (std::uint32_t i = 0; i < object.refCount; ++i) {
                appendBigEndian(refs_[object.firstRef + i], refSize_);
            }
            return true;
        }
        return false;
    }

    std::string* error_;
    std::vector<Object> objects_;
    std::vector<std::uint32_t> refs_;
    std::unordered_map<ScalarKey, std::uint32_t, ScalarKeyHash> scalars_;
    std::unordered_map<const void*, Added> containers_;
    std::size_t refSize_ = 1;
    std::vector<std::uint8_t> out_;
};

} // namespace

std::optional<std::vector<std::uint8_t>> writeBinary(const Value& value, std::string* error) {
    BinaryWriter writer(error);
    return writer.write(value);
}

} // namespace plist
