// Reader of binary property lists. Every object is decoded once and kept by index, so
// objects shared between containers share storage in the result as well; reference cycles,
// excessive nesting and exponential expansion through shared containers are refused.

#include "platform/plist/Binary.h"
#include "platform/plist/Text.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <new>
#include <tuple>

namespace plist {

namespace {

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kTrailerSize = 32;
// Shared objects make a value larger than its file. Its expanded size bounds the length of
// what the writers and printers emit for it (XML, JSON, the old-style text): every object
// counted wherever it occurs, at the longest form any of them gives it, and every line it
// prints at kIndentWeight bytes per enclosing container. It may reach 4 MiB (the old-style
// text of containers nested kMaxNesting deep takes one), or 32 bytes per byte of input
// when that is more, so that the output stays in proportion to the file.
//
// The longest forms are XML's: the element around each kind (an integer of 20 digits
// inside <integer></integer>, a real of up to 24 characters, a date of 20), strings with
// every byte at its longest escape (a control character takes six in JSON and text), and
// data as base64 in lines of at least 16 characters, each a line of its own (or the
// description's summary of long data, where that is longer).
constexpr std::uint64_t kIndentWeight = 4;
constexpr std::uint64_t kBooleanWeight = 9;           // <false/> and a newline
constexpr std::uint64_t kIntegerWeight = 40;          // <integer>-9223372036854775808</integer>
constexpr std::uint64_t kRealWeight = 38;             // <real>, 24 characters, </real>
constexpr std::uint64_t kDateWeight = 34;             // <date>2026-12-08T03:00:00Z</date>
constexpr std::uint64_t kStringWeight = 18;           // <string></string>
constexpr std::uint64_t kDataWeight = 15;             // <data> and </data> on lines of their own
constexpr std::uint64_t kDataDescriptionWeight = 104; // "{length = ..., bytes = 0x...}"
constexpr std::uint64_t kContainerWeight = 17;        // <array> and </array> on lines of their own
constexpr std::uint64_t kDataLineLength = 16;         // the narrowest base64 line of the XML writer
constexpr std::uint64_t kMinimumExpansionLimit = 4 << 20;
constexpr std::uint64_t kExpansionPerInputByte = 32;

// The longest any printer escapes one byte of a string to.
std::uint64_t escapedLength(std::uint8_t byte) {
    switch (byte) {
    case '&':
        return 5; // &amp;
    case '<':
    case '>':
        return 4; // &lt;
    case '"':
    case '\\':
        return 2;
    default:
        return byte < 0x20 ? 6 : 1; // six-character escapes, &#13;
    }
}

// Printed size and lines of a scalar, as modelled above.
std::pair<std::uint64_t, std::uint64_t> printedScalar(const Value& value) {
    switch (value.type()) {
    case Type::Boolean:
        return {kBooleanWeight, 1};
    case Type::Integer:
        return {kIntegerWeight, 1};
    case Type::Real:
        return {kRealWeight, 1};
    case Type::Date:
        return {kDateWeight, 1};
    case Type::String: {
        std::uint64_t size = kStringWeight;
        for (char c : *value.asString()) {
            size += escapedLength(static_cast<std::uint8_t>(c));
        }
        return {size, 1};
    }
    case Type::Data: {
        const std::uint64_t base64 = (value.asData()->size() + 2) / 3 * 4;
        const std::uint64_t lines = (base64 + kDataLineLength - 1) / kDataLineLength;
        return {std::max(kDataDescriptionWeight, kDataWeight + base64 + lines), lines + 2};
    }
    case Type::Array:
    case Type::Dictionary:
        break;
    }
    return {0, 0};
}

std::uint64_t readBigEndian(const std::uint8_t* p, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
        value = value << 8 | p[i];
    }
    return value;
}

std::string hex(std::uint64_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
    return buffer;
}

class BinaryReader {
public:
    BinaryReader(std::span<const std::uint8_t> bytes, std::string* error)
        : bytes_(bytes), error_(error) {}

    std::optional<Value> read() {
        if (!readTrailer()) {
            return std::nullopt;
        }
        // Bounded by the object area (see readTrailer), not by the trailer's word alone.
        slots_.resize(objectCount_);
        const Value* top = object(topObject_, 0);
        if (top == nullptr) {
            return std::nullopt;
        }
        return *top;
    }

private:
    enum class State : std::uint8_t { Unread, Reading, Read };

    // What is known of one object of the file once it has been decoded.
    struct Slot {
        std::optional<Value> value;
        std::uint64_t expandedSize = 0;  // printed size of its fully expanded tree
        std::uint64_t expandedLines = 0; // printed lines of its fully expanded tree
        std::uint16_t height = 0;        // container levels in it (0 for scalars)
        State state = State::Unread;
    };

    // Limits of one object's bytes while it is decoded.
    struct Cursor {
        std::uint64_t index;
        std::uint64_t offset;
        std::uint64_t position;
    };

    bool fail(const std::string& message) {
        if (error_) {
            *error_ = message;
        }
        return false;
    }

    bool fail(const Cursor& c, const std::string& message) {
        return fail("object " + std::to_string(c.index) + " at offset " + hex(c.offset) + ": " +
                    message);
    }

    bool readTrailer() {
        if (bytes_.size() < kHeaderSize + kTrailerSize + 2) {
            return fail("file of " + std::to_string(bytes_.size()) +
                        " bytes is too short for a binary property list");
        }
        if (!isBinary(bytes_)) {
            return fail("offset 0x0: missing \"bplist00\" signature");
        }
        const std::size_t at = bytes_.size() - kTrailerSize;
        const std::uint8_t* t = bytes_.data() + at;
        offsetSize_ = t[6];
        refSize_ = t[7];
        objectCount_ = readBigEndian(t + 8, 8);
        topObject_ = readBigEndian(t + 16, 8);
        tableOffset_ = readBigEndian(t + 24, 8);
        const std::string where = "trailer at offset " + hex(at) + ": ";
        if (offsetSize_ < 1 || offsetSize_ > 8) {
            return fail(where + "offset size " + std::to_string(offsetSize_) + " is not 1 to 8");
        }
        if (refSize_ < 1 || refSize_ > 8) {
            return fail(where + "reference size " + std::to_string(refSize_) + " is not 1 to 8");
        }
        if (objectCount_ == 0) {
            return fail(where + "no objects");
        }
        if (topObject_ >= objectCount_) {
            return fail(where + "top object " + std::to_string(topObject_) + " out of range (" +
                        std::to_string(objectCount_) + " objects)");
        }
        if (tableOffset_ < kHeaderSize + 1 || tableOffset_ > at ||
            objectCount_ > (at - tableOffset_) / offsetSize_) {
            return fail(where + "offset table at " + hex(tableOffset_) + " with " +
                        std::to_string(objectCount_) + " entries does not fit the file");
        }
        // Every object takes at least its marker byte.
        if (objectCount_ > tableOffset_ - kHeaderSize) {
            return fail(where + std::to_string(objectCount_) + " objects do not fit the " +
                        std::to_string(tableOffset_ - kHeaderSize) + " bytes of the object area");
        }
        return true;
    }

    std::uint64_t objectOffset(std::uint64_t index) const {
        return readBigEndian(bytes_.data() + tableOffset_ + index * offsetSize_, offsetSize_);
    }

    // Objects live between the header and the offset table.
    bool take(Cursor& c, std::uint64_t size, const std::uint8_t** out, const char* what) {
        if (size > tableOffset_ - c.position) {
            return fail(c, std::string(what) + " of " + std::to_string(size) +
                               " bytes runs past the object area");
        }
        *out = bytes_.data() + c.position;
        c.position += size;
        return true;
    }

    // The element count in the low nibble of `marker`, or in the integer that follows.
    bool count(Cursor& c, std::uint8_t marker, std::uint64_t* out) {
        if ((marker & 0x0F) != 0x0F) {
            *out = marker & 0x0F;
            return true;
        }
        const std::uint8_t* p;
        if (!take(c, 1, &p, "count marker")) {
            return false;
        }
        if ((*p & 0xF0) != 0x10 || (*p & 0x0F) > 3) {
            return fail(c, "count marker " + hex(*p) + " is not an integer of 1 to 8 bytes");
        }
        const std::size_t size = std::size_t{1} << (*p & 0x0F);
        if (!take(c, size, &p, "count")) {
            return false;
        }
        *out = readBigEndian(p, size);
        return true;
    }

    bool integer(Cursor& c, std::uint8_t marker, std::optional<Value>& out) {
        const std::size_t size = std::size_t{1} << (marker & 0x0F);
        const std::uint8_t* p;
        if (size > 16) {
            return fail(c, "integer of " + std::to_string(size) + " bytes is not supported");
        }
        if (!take(c, size, &p, "integer")) {
            return false;
        }
        if (size < 8) {
            out = Value(static_cast<std::int64_t>(readBigEndian(p, size)));
            return true;
        }
        const std::uint64_t low = readBigEndian(p + size - 8, 8);
        if (size == 16) {
            // 128-bit integers are accepted only where they hold a signed 64-bit value.
            const std::uint64_t high = readBigEndian(p, 8);
            const bool fits = (high == 0 && low <= INT64_MAX) || (high == ~0ull && low > INT64_MAX);
            if (!fits) {
                return fail(c, "128-bit integer out of the signed 64-bit range");
            }
        }
        out = Value(static_cast<std::int64_t>(low));
        return true;
    }

    bool real(Cursor& c, std::uint8_t marker, std::optional<Value>& out) {
        const std::uint8_t* p;
        if (marker == 0x22) {
            if (!take(c, 4, &p, "real")) {
                return false;
            }
            out = Value(static_cast<double>(
                std::bit_cast<float>(static_cast<std::uint32_t>(readBigEndian(p, 4)))));
            return true;
        }
        if (marker == 0x23) {
            if (!take(c, 8, &p, "real")) {
                return false;
            }
            out = Value(std::bit_cast<double>(readBigEndian(p, 8)));
            return true;
        }
        return fail(c,
                    "real of " + std::to_string(1u << (marker & 0x0F)) + " bytes is not supported");
    }

    bool date(Cursor& c, std::optional<Value>& out) {
        const std::uint8_t* p;
        if (!take(c, 8, &p, "date")) {
            return false;
        }
        out = Value(Date{std::bit_cast<double>(readBigEndian(p, 8))});
        return true;
    }

    bool data(Cursor& c, std::uint8_t marker, std::optional<Value>& out) {
        std::uint64_t n;
        const std::uint8_t* p;
        if (!count(c, marker, &n) || !take(c, n, &p, "data")) {
            return false;
        }
        out = Value(Data(p, p + n));
        return true;
    }

    bool asciiString(Cursor& c, std::uint8_t marker, std::optional<Value>& out) {
        std::uint64_t n;
        const std::uint8_t* p;
        if (!count(c, marker, &n) || !take(c, n, &p, "string")) {
            return false;
        }
        if (const std::uint8_t* bad = std::find_if(p, p + n, [](auto b) { return b >= 0x80; });
            bad != p + n) {
            return fail(c, "ASCII string holds byte " + hex(*bad) + " at offset " +
                               hex(static_cast<std::uint64_t>(bad - bytes_.data())));
        }
        out = Value(std::string(reinterpret_cast<const char*>(p), n));
        return true;
    }

    bool utf16String(Cursor& c, std::uint8_t marker, std::optional<Value>& out) {
        std::uint64_t n;
        const std::uint8_t* p;
        if (!count(c, marker, &n)) {
            return false;
        }
        if (n > (tableOffset_ - c.position) / 2) {
            return fail(c, "string of " + std::to_string(n) +
                               " UTF-16 units runs past the object area");
        }
        if (!take(c, n * 2, &p, "string")) {
            return false;
        }
        std::u16string units(n, u'\0');
        for (std::uint64_t i = 0; i < n; ++i) {
            units[i] = static_cast<char16_t>(p[2 * i] << 8 | p[2 * i + 1]);
        }
        auto utf8 = text::utf16ToUtf8(units);
        if (!utf8) {
            return fail(c, "string holds an unpaired UTF-16 surrogate");
        }
        out = Value(std::move(*utf8));
        return true;
    }

    // Reads `n` object references and checks each against the object count.
    bool references(Cursor& c, std::uint64_t n, std::vector<std::uint64_t>& out) {
        if (n > (tableOffset_ - c.position) / refSize_) {
            return fail(c, std::to_string(n) + " references run past the object area");
        }
        const std::uint8_t* p;
        if (!take(c, n * refSize_, &p, "references")) {
            return false;
        }
        out.resize(n);
        for (std::uint64_t i = 0; i < n; ++i) {
            out[i] = readBigEndian(p + i * refSize_, refSize_);
            if (out[i] >= objectCount_) {
                return fail(c, "reference " + std::to_string(out[i]) + " out of range (" +
                                   std::to_string(objectCount_) + " objects)");
            }
        }
        return true;
    }

    bool container(Cursor& c, std::uint8_t marker, std::size_t depth, Slot& slot) {
        if (depth >= kMaxNesting) {
            return fail(c,
                        "containers nest deeper than " + std::to_string(kMaxNesting) + " levels");
        }
        const bool isDictionary = (marker & 0xF0) == 0xD0;
        std::uint64_t n;
        std::vector<std::uint64_t> refs;
        if (!count(c, marker, &n)) {
            return false;
        }
        if (isDictionary && n > (tableOffset_ - c.position) / 2) {
            return fail(c, std::to_string(n) + " dictionary entries run past the object area");
        }
        if (!references(c, isDictionary ? 2 * n : n, refs)) {
            return false;
        }
        std::uint64_t expanded = kContainerWeight;
        std::uint64_t lines = 2;
        std::uint16_t height = 0;
        const auto child = [&](std::uint64_t ref) -> const Value* {
            const Value* v = object(ref, depth + 1);
            if (v) {
                const Slot& s = slots_[ref];
                expanded += s.expandedSize + kIndentWeight * s.expandedLines;
                lines += s.expandedLines;
                height = std::max(height, s.height);
            }
            return v;
        };
        if (isDictionary) {
            Dictionary dictionary;
            for (std::uint64_t i = 0; i < n; ++i) {
                const Value* key = child(refs[i]);
                if (!key) {
                    return false;
                }
                if (!key->isString()) {
                    return fail(c, "key " + std::to_string(i) + " (object " +
                                       std::to_string(refs[i]) + ") is of type " +
                                       typeName(key->type()) + ", not a string");
                }
                const Value* value = child(refs[n + i]);
                if (!value) {
                    return false;
                }
                const std::size_t before = dictionary.size();
                dictionary.emplace_hint(dictionary.end(), *key->asString(), *value);
                if (dictionary.size() == before) {
                    return fail(c, "duplicate key \"" + *key->asString() + "\"");
                }
            }
            slot.value = Value(std::move(dictionary));
        } else {
            Array array;
            array.reserve(n);
            for (std::uint64_t ref : refs) {
                const Value* value = child(ref);
                if (!value) {
                    return false;
                }
                array.push_back(*value);
            }
            slot.value = Value(std::move(array));
        }
        if (expanded > expansionLimit()) {
            return fail(c, "shared objects expand to more than " +
                               std::to_string(expansionLimit()) + " bytes");
        }
        slot.expandedSize = expanded;
        slot.expandedLines = lines;
        slot.height = static_cast<std::uint16_t>(height + 1);
        return true;
    }

    std::uint64_t expansionLimit() const {
        return std::max<std::uint64_t>(kMinimumExpansionLimit,
                                       kExpansionPerInputByte * bytes_.size());
    }

    // The decoded object `index`, enclosed by `depth` containers; null on failure.
    const Value* object(std::uint64_t index, std::size_t depth) {
        Slot& slot = slots_[index];
        if (slot.state == State::Read) {
            if (depth + slot.height > kMaxNesting) {
                fail("object " + std::to_string(index) + ": containers nest deeper than " +
                     std::to_string(kMaxNesting) + " levels");
                return nullptr;
            }
            return &*slot.value;
        }
        Cursor c{index, objectOffset(index), 0};
        if (slot.state == State::Reading) {
            fail(c, "reference cycle back to this object");
            return nullptr;
        }
        if (c.offset < kHeaderSize || c.offset >= tableOffset_) {
            fail(c, "offset outside the object area");
            return nullptr;
        }
        slot.state = State::Reading;
        c.position = c.offset + 1;
        const std::uint8_t marker = bytes_[c.offset];
        bool ok;
        switch (marker >> 4) {
        case 0x0:
            if (marker == 0x08 || marker == 0x09) {
                slot.value = Value(marker == 0x09);
                ok = true;
            } else {
                ok = fail(c, "marker " + hex(marker) + " (null or fill) is not a value");
            }
            break;
        case 0x1:
            ok = integer(c, marker, slot.value);
            break;
        case 0x2:
            ok = real(c, marker, slot.value);
            break;
        case 0x3:
            ok = marker == 0x33 ? date(c, slot.value)
                                : fail(c, "marker " + hex(marker) + " is not a date");
            break;
        case 0x4:
            ok = data(c, marker, slot.value);
            break;
        case 0x5:
            ok = asciiString(c, marker, slot.value);
            break;
        case 0x6:
            ok = utf16String(c, marker, slot.value);
            break;
        case 0xA:
        case 0xD:
            ok = container(c, marker, depth, slot);
            break;
        default:
            ok = fail(c, "marker " + hex(marker) + " is not a supported object type");
        }
        if (!ok) {
            return nullptr;
        }
        if (slot.expandedSize == 0) {
            std::tie(slot.expandedSize, slot.expandedLines) = printedScalar(*slot.value);
        }
        slot.state = State::Read;
        return &*slot.value;
    }

    std::span<const std::uint8_t> bytes_;
    std::string* error_;
    std::size_t offsetSize_ = 0;
    std::size_t refSize_ = 0;
    std::uint64_t objectCount_ = 0;
    std::uint64_t topObject_ = 0;
    std::uint64_t tableOffset_ = 0;
    std::vector<Slot> slots_;
};

} // namespace

bool isBinary(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= kHeaderSize && std::memcmp(bytes.data(), "bplist00", kHeaderSize) == 0;
}

std::optional<Value> readBinary(std::span<const std::uint8_t> bytes, std::size_t sizeLimit,
                                std::string* error) {
    if (bytes.size() > sizeLimit) {
        if (error) {
            *error = sizeLimitError(sizeLimit, bytes.size());
        }
        return std::nullopt;
    }
    try {
        BinaryReader reader(bytes, error);
        return reader.read();
    } catch (const std::bad_alloc&) {
        if (error) {
            *error = outOfMemoryError(bytes.size());
        }
        return std::nullopt;
    }
}

} // namespace plist
