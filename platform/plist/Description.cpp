// Description texts of values: the "%@" form, which for containers is the old-style
// property-list text.

#include "platform/plist/Text.h"
#include "platform/plist/Value.h"

#include <cstdio>

namespace plist {

namespace {

constexpr std::size_t kIndentWidth = 4;
// Data longer than this prints its first 16 and last 8 bytes only.
constexpr std::size_t kFullDataLength = 24;

bool isPlainWordCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Strings stay bare when they consist of letters, digits and underscores only.
void appendQuotedIfNeeded(std::string& out, std::string_view s) {
    bool plain = !s.empty();
    for (char c : s) {
        plain = plain && isPlainWordCharacter(c);
    }
    if (plain) {
        out += s;
        return;
    }
    out += '"';
    for (char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\U%04x", static_cast<unsigned char>(c));
                out += escape;
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

void appendHexGroup(std::string& out, const Data& data, std::size_t from, std::size_t to) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (std::size_t i = from; i < to; ++i) {
        out += kHex[data[i] >> 4];
        out += kHex[data[i] & 15];
    }
}

std::string describeData(const Data& data) {
    std::string out = "{length = " + std::to_string(data.size()) + ", bytes = 0x";
    if (data.size() <= kFullDataLength) {
        appendHexGroup(out, data, 0, data.size());
    } else {
        // Long data: four groups of four bytes, an ellipsis, the last two groups.
        for (std::size_t at = 0; at < 16; at += 4) {
            appendHexGroup(out, data, at, at + 4);
            out += ' ';
        }
        out += "... ";
        for (std::size_t at = data.size() - 8; at < data.size(); at += 4) {
            appendHexGroup(out, data, at, at + 4);
            out += ' ';
        }
    }
    out += '}';
    return out;
}

void appendScalar(std::string& out, const Value& value) {
    switch (value.type()) {
    case Type::String:
        out += *value.asString();
        break;
    case Type::Integer:
    case Type::Boolean:
        out += std::to_string(*value.asInteger());
        break;
    case Type::Real:
        out += text::formatReal(*value.asReal());
        break;
    case Type::Date:
        out += text::formatDescriptionDate(*value.asDate());
        break;
    case Type::Data:
        out += describeData(*value.asData());
        break;
    case Type::Array:
    case Type::Dictionary:
        break;
    }
}

void appendIndent(std::string& out, std::size_t level) {
    out.append(level * kIndentWidth, ' ');
}

// A value as it appears inside a container: strings and dates quoted when needed.
void appendNested(std::string& out, const Value& value, std::size_t level) {
    if (const Array* array = value.asArray()) {
        out += "(\n";
        for (std::size_t i = 0; i < array->size(); ++i) {
            appendIndent(out, level + 1);
            appendNested(out, (*array)[i], level + 1);
            out += i + 1 < array->size() ? ",\n" : "\n";
        }
        appendIndent(out, level);
        out += ')';
    } else if (const Dictionary* dictionary = value.asDictionary()) {
        out += "{\n";
        for (const auto& [key, entry] : *dictionary) {
            appendIndent(out, level + 1);
            appendQuotedIfNeeded(out, key);
            out += " = ";
            appendNested(out, entry, level + 1);
            out += ";\n";
        }
        appendIndent(out, level);
        out += '}';
    } else if (const std::string* string = value.asString()) {
        appendQuotedIfNeeded(out, *string);
    } else if (value.isDate()) {
        appendQuotedIfNeeded(out, text::formatDescriptionDate(*value.asDate()));
    } else {
        appendScalar(out, value);
    }
}

} // namespace

std::string description(const Value& value) {
    std::string out;
    if (value.isArray() || value.isDictionary()) {
        appendNested(out, value, 0);
    } else {
        appendScalar(out, value);
    }
    return out;
}

std::string description(const Value* value) {
    return value ? description(*value) : "(null)";
}

std::string description(const std::optional<Value>& value) {
    return description(value ? &*value : nullptr);
}

} // namespace plist
