// JSON through nlohmann-json; its exceptions stay inside this file.

#include "platform/plist/Json.h"

#include "platform/plist/Binary.h"
#include "platform/plist/Text.h"

#include <cmath>
#include <nlohmann/json.hpp>

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

std::optional<Value> fromJson(const Json& json, std::size_t depth, const std::string& path,
                              std::string* error) {
    switch (json.type()) {
    case Json::value_t::string:
        return Value(json.get_ref<const std::string&>());
    case Json::value_t::boolean:
        return Value(json.get<bool>());
    case Json::value_t::number_integer:
        return Value(json.get<std::int64_t>());
    case Json::value_t::number_unsigned:
        if (json.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
            fail(error, path + ": integer " + json.dump() + " out of the signed 64-bit range");
            return std::nullopt;
        }
        return Value(static_cast<std::int64_t>(json.get<std::uint64_t>()));
    case Json::value_t::number_float:
        return Value(json.get<double>());
    case Json::value_t::array:
    case Json::value_t::object:
        break;
    default:
        fail(error, path + ": " + std::string(json.type_name()) + " has no property-list form");
        return std::nullopt;
    }
    if (depth >= kMaxNesting) {
        fail(error,
             path + ": containers nest deeper than " + std::to_string(kMaxNesting) + " levels");
        return std::nullopt;
    }
    if (json.is_array()) {
        Array items;
        items.reserve(json.size());
        for (std::size_t i = 0; i < json.size(); ++i) {
            auto item = fromJson(json[i], depth + 1, path + "[" + std::to_string(i) + "]", error);
            if (!item) {
                return std::nullopt;
            }
            items.push_back(std::move(*item));
        }
        return Value(std::move(items));
    }
    Dictionary entries;
    for (const auto& [key, element] : json.items()) {
        auto item = fromJson(element, depth + 1, path + "." + key, error);
        if (!item) {
            return std::nullopt;
        }
        entries.emplace(key, std::move(*item));
    }
    return Value(std::move(entries));
}

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

std::optional<Value> readJson(std::span<const std::uint8_t> bytes, std::string* error) {
    Json json;
    try {
        json = Json::parse(bytes.begin(), bytes.end());
    } catch (const Json::exception& e) {
        fail(error, exceptionText(e));
        return std::nullopt;
    }
    return fromJson(json, 0, "$", error);
}

} // namespace plist
