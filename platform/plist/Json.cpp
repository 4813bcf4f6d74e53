// JSON through nlohmann-json; its exceptions stay inside this file.

#include "platform/plist/Json.h"

#include "platform/plist/Binary.h"
#include "platform/plist/Text.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <nlohmann/json.hpp>
#include <span>

namespace plist {

namespace {

using Json = nlohmann::json;

bool fail(std::string* error, const std::string& message) {
    if (error) {
        *error = message;
    }
    return false;
}

// Drops nlohmann's "[json.exception.parse_error.101] " prefix.
std::string exceptionText(const std::exception& e) {
    std::string_view text = e.what();
    if (!text.empty() && text[0] == '[') {
        if (auto end = text.find("] "); end != std::string_view::npos) {
            text.remove_prefix(end + 2);
        }
    }
    return std::string(text);
}

bool toJson(const Value& value, Json& out, std::size_t depth, const JsonOptions& options,
            std::string* error) {
    switch (value.type()) {
    case Type::String:
        out = *value.asString();
        return true;
    case Type::Integer:
        out = *value.asInteger();
        return true;
    case Type::Boolean:
        out = *value.asBoolean();
        return true;
    case Type::Real:
        if (!std::isfinite(*value.asReal())) {
            return fail(error, "JSON cannot hold the real " + text::formatReal(*value.asReal()));
        }
        out = *value.asReal();
        return true;
    case Type::Date:
    case Type::Data: {
        if (!options.datesAndDataAsText) {
            return fail(error, std::string("JSON cannot hold ") + typeName(value.type()));
        }
        if (value.isData()) {
            out = text::encodeBase64(*value.asData());
            return true;
        }
        auto iso = text::formatIso8601(*value.asDate());
        if (!iso) {
            return fail(error, "date lies outside the years 1 to 9999");
        }
        out = *iso;
        return true;
    }
    case Type::Array:
    case Type::Dictionary:
        break;
    }
    if (depth >= kMaxNesting) {
        return fail(error,
                    "containers nest deeper than " + std::to_string(kMaxNesting) + " levels");
    }
    if (const Array* array = value.asArray()) {
        out = Json::array();
        for (const Value& item : *array) {
            Json element;
            if (!toJson(item, element, depth + 1, options, error)) {
                return false;
            }
            out.push_back(std::move(element));
        }
        return true;
    }
    out = Json::object();
    for (const auto& [key, item] : *value.asDictionary()) {
        Json element;
        if (!toJson(item, element, depth + 1, options, error)) {
            return false;
        }
        out.emplace(key, std::move(element));
    }
    return true;
}

// Builds values straight from nlohmann's SAX events, so nesting, duplicate keys and
// integers out of range are refused where they occur, before the rest is parsed.
class JsonBuilder {
public:
    explicit JsonBuilder(std::string* error) : error_(error) {}

    std::optional<Value> take() { return std::move(result_); }

    bool null() { return refuse("null has no property-list form"); }
    bool boolean(bool value) { return add(Value(value)); }
    bool number_integer(Json::number_integer_t value) { return add(Value(value)); }
    bool number_unsigned(Json::number_unsigned_t value) {
        if (value > static_cast<std::uint64_t>(INT64_MAX)) {
            return refuse("integer " + std::to_string(value) + " out of the signed 64-bit range");
        }
        return add(Value(static_cast<std::int64_t>(value)));
    }
    bool number_float(Json::number_float_t value, const std::string& token) {
        // nlohmann reads integers beyond 64 bits as reals; they are as far out of range.
        if (token.find_first_of(".eE") == std::string::npos) {
            return refuse("integer " + token + " out of the signed 64-bit range");
        }
        return add(Value(value));
    }
    bool string(std::string& value) { return add(Value(std::move(value))); }
    bool binary(Json::binary_t&) { return refuse("binary has no property-list form"); }
    bool start_object(std::size_t) { return open(Frame::Kind::Object); }
    bool key(std::string& key) {
        Frame& frame = stack_.back();
        if (frame.dictionary.contains(key)) {
            return fail(error_, path(stack_.size() - 1) + ": duplicate key \"" + key + "\"");
        }
        frame.key = std::move(key);
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(Frame::Kind::Array); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
        return fail(error_, exceptionText(e));
    }

private:
    struct Frame {
        enum class Kind { Array, Object } kind;
        Array array;
        Dictionary dictionary;
        std::string key; // of the entry being read, in an object
    };

    // "$", "$.a[1]": where the next value goes (inside the outermost `levels` containers),
    // for error texts.
    std::string path(std::size_t levels = SIZE_MAX) const {
        std::string out = "$";
        for (const Frame& frame : std::span(stack_).first(std::min(levels, stack_.size()))) {
            out += frame.kind == Frame::Kind::Array ? "[" + std::to_string(frame.array.size()) + "]"
                                                    : "." + frame.key;
        }
        return out;
    }

    bool refuse(const std::string& message) { return fail(error_, path() + ": " + message); }

    bool add(Value value) {
        if (stack_.empty()) {
            result_ = std::move(value);
            return true;
        }
        Frame& frame = stack_.back();
        if (frame.kind == Frame::Kind::Array) {
            frame.array.push_back(std::move(value));
        } else {
            frame.dictionary.emplace(std::move(frame.key), std::move(value));
        }
        return true;
    }

    bool open(Frame::Kind kind) {
        if (stack_.size() >= kMaxNesting) {
            return refuse("containers nest deeper than " + std::to_string(kMaxNesting) + " levels");
        }
        stack_.push_back(Frame{kind, {}, {}, {}});
        return true;
    }

    bool close() {
        Frame frame = std::move(stack_.back());
        stack_.pop_back();
        return add(frame.kind == Frame::Kind::Array ? Value(std::move(frame.array))
                                                    : Value(std::move(frame.dictionary)));
    }

    std::string* error_;
    std::vector<Frame> stack_;
    std::optional<Value> result_;
};

} // namespace

std::optional<std::string> writeJson(const Value& value, std::string* error, JsonOptions options) {
    Json json;
    if (!toJson(value, json, 0, options, error)) {
        return std::nullopt;
    }
    try {
        return json.dump(2, ' ', false, Json::error_handler_t::strict);
    } catch (const Json::exception& e) {
        fail(error, exceptionText(e));
        return std::nullopt;
    }
}

std::optional<Value> readJson(std::span<const std::uint8_t> bytes, std::size_t sizeLimit,
                              std::string* error) {
    if (bytes.size() > sizeLimit) {
        fail(error, sizeLimitError(sizeLimit, bytes.size()));
        return std::nullopt;
    }
    try {
        JsonBuilder builder(error);
        if (!Json::sax_parse(bytes.begin(), bytes.end(), &builder)) {
            return std::nullopt;
        }
        return builder.take();
    } catch (const std::bad_alloc&) {
        fail(error, outOfMemoryError(bytes.size()));
        return std::nullopt;
    } catch (const Json::exception& e) {
        fail(error, exceptionText(e));
        return std::nullopt;
    }
}

} // namespace plist
