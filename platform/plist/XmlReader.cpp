// Reader of XML property lists on libxml2's tree parser.

#include "platform/plist/Binary.h"
#include "platform/plist/Text.h"
#include "platform/plist/Xml.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <limits>
#include <memory>
#include <mutex>

namespace plist {

namespace {

// libxml2 reports some faults (encoding errors among them) through its generic error
// function, which prints to stderr; the reader reports through its error text instead.
class QuietGenericErrors {
public:
    QuietGenericErrors() : previous_(xmlGenericError), previousContext_(xmlGenericErrorContext) {
        xmlSetGenericErrorFunc(nullptr, &ignore);
    }
    ~QuietGenericErrors() { xmlSetGenericErrorFunc(previousContext_, previous_); }
    QuietGenericErrors(const QuietGenericErrors&) = delete;
    QuietGenericErrors& operator=(const QuietGenericErrors&) = delete;

private:
    static void ignore(void*, const char*, ...) {}

    xmlGenericErrorFunc previous_;
    void* previousContext_;
};

struct DocumentDeleter {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct ContextDeleter {
    void operator()(xmlParserCtxt* context) const { xmlFreeParserCtxt(context); }
};

std::string_view name(const xmlNode* node) {
    return reinterpret_cast<const char*>(node->name);
}

bool isBlank(std::string_view s) {
    return s.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

std::string_view trimmed(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == y;
           });
}

std::optional<std::int64_t> parseInteger(std::string_view s) {
    const bool negative = !s.empty() && s[0] == '-';
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        s.remove_prefix(1);
    }
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    std::uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), magnitude, base);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size()) {
        return std::nullopt;
    }
    constexpr std::uint64_t kMostNegative = std::uint64_t{1} << 63;
    if (negative) {
        if (magnitude > kMostNegative) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(0 - magnitude);
    }
    if (magnitude >= kMostNegative) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(magnitude);
}

std::optional<double> parseReal(std::string_view s) {
    const bool negative = !s.empty() && s[0] == '-';
    std::string_view unsignedPart = s;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        unsignedPart.remove_prefix(1);
    }
    if (equalsIgnoringCase(unsignedPart, "inf") || equalsIgnoringCase(unsignedPart, "infinity")) {
        return negative ? -std::numeric_limits<double>::infinity()
                        : std::numeric_limits<double>::infinity();
    }
    if (equalsIgnoringCase(unsignedPart, "nan")) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    if (s.empty() || s[0] == '+') {
        s.remove_prefix(s.empty() ? 0 : 1);
    }
    double value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    // Out-of-range results (ec == result_out_of_range) are refused like any other.
    if (s.empty() || ec != std::errc() || end != s.data() + s.size()) {
        return std::nullopt;
    }
    return value;
}

class XmlReader {
public:
    explicit XmlReader(std::string* error) : error_(error) {}

    std::optional<Value> read(std::span<const std::uint8_t> bytes) {
        static std::once_flag initialised;
        std::call_once(initialised, [] { xmlInitParser(); });
        if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
            fail("XML property list of " + std::to_string(bytes.size()) + " bytes is too large");
            return std::nullopt;
        }
        const QuietGenericErrors quiet;
        std::unique_ptr<xmlParserCtxt, ContextDeleter> context(xmlNewParserCtxt());
        if (!context) {
            fail("cannot create an XML parser");
            return std::nullopt;
        }
        // No network, no entity substitution, no DTD loading, no messages on stderr.
        const int options = XML_PARSE_NONET | XML_PARSE_NOCDATA | XML_PARSE_NOERROR |
                            XML_PARSE_NOWARNING | XML_PARSE_COMPACT;
        std::unique_ptr<xmlDoc, DocumentDeleter> doc(
            xmlCtxtReadMemory(context.get(), reinterpret_cast<const char*>(bytes.data()),
                              static_cast<int>(bytes.size()), nullptr, nullptr, options));
        if (!doc || !context->wellFormed) {
            const xmlError* e = xmlCtxtGetLastError(context.get());
            std::string message = e && e->message ? e->message : "not well-formed XML";
            while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
                message.pop_back();
            }
            fail("line " + std::to_string(e ? e->line : 0) + ": " + message);
            return std::nullopt;
        }
        const xmlNode* root = xmlDocGetRootElement(doc.get());
        if (root == nullptr) {
            fail("line 1: no root element");
            return std::nullopt;
        }
        if (name(root) != "plist") {
            return element(root, 0);
        }
        const xmlNode* top = nullptr;
        if (!children(root, [&](const xmlNode* child) {
                if (top) {
                    return failAt(child, "<plist> holds more than one value");
                }
                top = child;
                return true;
            })) {
            return std::nullopt;
        }
        if (!top) {
            failAt(root, "<plist> holds no value");
            return std::nullopt;
        }
        return element(top, 0);
    }

private:
    bool fail(const std::string& message) {
        if (error_) {
            *error_ = message;
        }
        return false;
    }

    bool failAt(const xmlNode* node, const std::string& message) {
        return fail("line " + std::to_string(xmlGetLineNo(node)) + ": " + message);
    }

    // Calls `visit` for each element child of a container; text other than white space
    // and entity references are refused, comments and processing instructions skipped.
    template <typename Visit>
    bool children(const xmlNode* parent, Visit&& visit) {
        for (const xmlNode* n = parent->children; n; n = n->next) {
            switch (n->type) {
            case XML_ELEMENT_NODE:
                if (!visit(n)) {
                    return false;
                }
                break;
            case XML_TEXT_NODE:
            case XML_CDATA_SECTION_NODE:
                if (!isBlank(reinterpret_cast<const char*>(n->content))) {
                    return failAt(n, "unexpected text in <" + std::string(name(parent)) + ">");
                }
                break;
            case XML_ENTITY_REF_NODE:
                return failAt(n, "entity references are not supported");
            default:
                break;
            }
        }
        return true;
    }

    // The character content of a scalar element; nested elements and entity references are
    // refused.
    std::optional<std::string> content(const xmlNode* node) {
        const xmlNode* only = node->children;
        if (only == nullptr) {
            return std::string();
        }
        if (only->next == nullptr && only->type == XML_TEXT_NODE) {
            return std::string(reinterpret_cast<const char*>(only->content));
        }
        std::string result;
        for (const xmlNode* n = node->children; n; n = n->next) {
            switch (n->type) {
            case XML_TEXT_NODE:
            case XML_CDATA_SECTION_NODE:
                result += reinterpret_cast<const char*>(n->content);
                break;
            case XML_ENTITY_REF_NODE:
                failAt(n, "entity references are not supported");
                return std::nullopt;
            case XML_ELEMENT_NODE:
                failAt(n, "unexpected <" + std::string(name(n)) + "> in <" +
                              std::string(name(node)) + ">");
                return std::nullopt;
            default:
                break;
            }
        }
        return result;
    }

    std::optional<Value> invalid(const xmlNode* node, std::string_view text, const char* what) {
        failAt(node,
               "<" + std::string(name(node)) + "> \"" + std::string(text) + "\" is not " + what);
        return std::nullopt;
    }

    std::optional<Value> element(const xmlNode* node, std::size_t depth) {
        const std::string_view tag = name(node);
        if (tag == "dict" || tag == "array") {
            if (depth >= kMaxNesting) {
                failAt(node,
                       "containers nest deeper than " + std::to_string(kMaxNesting) + " levels");
                return std::nullopt;
            }
            return tag == "dict" ? dictionary(node, depth) : array(node, depth);
        }
        if (tag == "true" || tag == "false") {
            auto text = content(node);
            if (!text) {
                return std::nullopt;
            }
            if (!isBlank(*text)) {
                return invalid(node, *text, "empty");
            }
            return Value(tag == "true");
        }
        auto text = content(node);
        if (!text) {
            return std::nullopt;
        }
        if (tag == "string") {
            return Value(std::move(*text));
        }
        if (tag == "integer") {
            auto i = parseInteger(trimmed(*text));
            return i ? std::optional<Value>(Value(*i))
                     : invalid(node, *text, "an integer in the signed 64-bit range");
        }
        if (tag == "real") {
            auto d = parseReal(trimmed(*text));
            return d ? std::optional<Value>(Value(*d)) : invalid(node, *text, "a real number");
        }
        if (tag == "date") {
            auto date = text::parseIso8601(trimmed(*text));
            return date ? std::optional<Value>(Value(*date))
                        : invalid(node, *text, "a date like 2026-12-08T03:00:00Z");
        }
        if (tag == "data") {
            auto data = text::decodeBase64(*text);
            return data ? std::optional<Value>(Value(std::move(*data)))
                        : invalid(node, trimmed(*text), "base64");
        }
        failAt(node, "unknown element <" + std::string(tag) + ">");
        return std::nullopt;
    }

    std::optional<Value> array(const xmlNode* node, std::size_t depth) {
        Array items;
        if (!children(node, [&](const xmlNode* child) {
                auto item = element(child, depth + 1);
                if (!item) {
                    return false;
                }
                items.push_back(std::move(*item));
                return true;
            })) {
            return std::nullopt;
        }
        return Value(std::move(items));
    }

    std::optional<Value> dictionary(const xmlNode* node, std::size_t depth) {
        Dictionary entries;
        std::optional<std::string> key;
        if (!children(node, [&](const xmlNode* child) {
                if (!key) {
                    if (name(child) != "key") {
                        return failAt(child, "<" + std::string(name(child)) +
                                                 "> in <dict> where a <key> belongs");
                    }
                    key = content(child);
                    return key.has_value();
                }
                if (name(child) == "key") {
                    return failAt(child, "key \"" + *key + "\" has no value");
                }
                auto item = element(child, depth + 1);
                if (!item) {
                    return false;
                }
                // Keys usually come in order: the end is the likely place.
                const std::size_t before = entries.size();
                entries.try_emplace(entries.end(), *key, std::move(*item));
                if (entries.size() == before) {
                    return failAt(child, "duplicate key \"" + *key + "\"");
                }
                key.reset();
                return true;
            })) {
            return std::nullopt;
        }
        if (key) {
            failAt(node, "key \"" + *key + "\" has no value");
            return std::nullopt;
        }
        return Value(std::move(entries));
    }

    std::string* error_;
};

} // namespace

std::optional<Value> readXml(std::span<const std::uint8_t> bytes, std::string* error) {
    XmlReader reader(error);
    return reader.read(bytes);
}

} // namespace plist
