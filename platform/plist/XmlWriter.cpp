// Writer of XML property lists, byte for byte in the platform's layout.

#include "platform/plist/Binary.h"
#include "platform/plist/Text.h"
#include "platform/plist/Xml.h"

#include <algorithm>

namespace plist {

namespace {

constexpr std::string_view kProlog = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                     "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                                     "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                                     "<plist version=\"1.0\">\n";
constexpr std::size_t kDataColumns = 76;
constexpr std::size_t kTabColumns = 8;
constexpr std::size_t kMinimumDataLine = 16;

class XmlWriter {
public:
    explicit XmlWriter(std::string* error) : error_(error) {}

    std::optional<std::string> write(const Value& value) {
        out_ = kProlog;
        if (!element(value, 0)) {
            return std::nullopt;
        }
        out_ += "</plist>\n";
        return std::move(out_);
    }

private:
    bool fail(const std::string& message) {
        if (error_) {
            *error_ = message;
        }
        return false;
    }

    void indent(std::size_t level) { out_.append(level, '\t'); }

    // Text content with &, < and > escaped; a carriage return as a character reference so
    // that it survives the line-end normalisation of readers.
    bool escaped(std::string_view s) {
        if (auto bad = text::invalidUtf8Offset(s)) {
            return fail("string at byte " + std::to_string(*bad) + " is not valid UTF-8");
        }
        // The non-characters U+FFFE and U+FFFF are not XML characters either.
        for (std::string_view nonCharacter : {"\xEF\xBF\xBE", "\xEF\xBF\xBF"}) {
            if (s.find(nonCharacter) != std::string_view::npos) {
                return fail(std::string("string holds U+FFF") +
                            (nonCharacter.back() == '\xBE' ? "E" : "F") +
                            ", which XML cannot carry");
            }
        }
        for (char c : s) {
            switch (c) {
            case '&':
                out_ += "&amp;";
                break;
            case '<':
                out_ += "&lt;";
                break;
            case '>':
                out_ += "&gt;";
                break;
            case '\r':
                out_ += "&#13;";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n') {
                    return fail("string holds control character " +
                                std::to_string(static_cast<int>(c)) + ", which XML cannot carry");
                }
                out_ += c;
            }
        }
        return true;
    }

    void simple(std::size_t level, std::string_view tag, std::string_view content) {
        indent(level);
        out_ += '<';
        out_ += tag;
        out_ += '>';
        out_ += content;
        out_ += "</";
        out_ += tag;
        out_ += ">\n";
    }

    bool element(const Value& value, std::size_t level) {
        switch (value.type()) {
        case Type::String:
            indent(level);
            out_ += "<string>";
            if (!escaped(*value.asString())) {
                return false;
            }
            out_ += "</string>\n";
            return true;
        case Type::Integer:
            simple(level, "integer", std::to_string(*value.asInteger()));
            return true;
        case Type::Real:
            simple(level, "real", text::formatReal(*value.asReal(), "infinity", true));
            return true;
        case Type::Boolean:
            indent(level);
            out_ += *value.asBoolean() ? "<true/>\n" : "<false/>\n";
            return true;
        case Type::Date: {
            auto iso = text::formatIso8601(*value.asDate());
            if (!iso) {
                return fail("date " + text::formatReal(value.asDate()->secondsSinceReferenceDate) +
                            " lies outside the years 1 to 9999");
            }
            simple(level, "date", *iso);
            return true;
        }
        case Type::Data: {
            const std::size_t columns = std::max(
                kMinimumDataLine, kDataColumns - std::min(kDataColumns, kTabColumns * level));
            indent(level);
            out_ += "<data>\n";
            out_ += text::encodeBase64(*value.asData(), columns, std::string(level, '\t'));
            indent(level);
            out_ += "</data>\n";
            return true;
        }
        case Type::Array:
        case Type::Dictionary:
            return container(value, level);
        }
        return false;
    }

    bool container(const Value& value, std::size_t level) {
        if (level >= kMaxNesting) {
            return fail("containers nest deeper than " + std::to_string(kMaxNesting) + " levels");
        }
        const std::string_view tag = value.isArray() ? "array" : "dict";
        const bool empty =
            value.isArray() ? value.asArray()->empty() : value.asDictionary()->empty();
        indent(level);
        out_ += '<';
        out_ += tag;
        if (empty) {
            out_ += "/>\n";
            return true;
        }
        out_ += ">\n";
        if (const Array* array = value.asArray()) {
            for (const Value& item : *array) {
                if (!element(item, level + 1)) {
                    return false;
                }
            }
        } else {
            for (const auto& [key, item] : *value.asDictionary()) {
                indent(level + 1);
                out_ += "<key>";
                if (!escaped(key)) {
                    return false;
                }
                out_ += "</key>\n";
                if (!element(item, level + 1)) {
                    return false;
                }
            }
        }
        indent(level);
        out_ += "</";
        out_ += tag;
        out_ += ">\n";
        return true;
    }

    std::string* error_;
    std::string out_;
};

} // namespace

std::optional<std::string> writeXml(const Value& value, std::string* error) {
    XmlWriter writer(error);
    return writer.write(value);
}

} // namespace plist
