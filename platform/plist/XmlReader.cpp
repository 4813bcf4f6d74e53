// Reader of XML property lists on libxml2's SAX2 parser: values are built from the element
// events directly, with no document tree in between. A scan before the parse refuses
// attributes, which libxml2 would otherwise check against each other at quadratic cost.

#include "platform/plist/Binary.h"
#include "platform/plist/Text.h"
#include "platform/plist/Xml.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>
#include <limits>
#include <locale.h>
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

struct ContextDeleter {
    void operator()(xmlParserCtxt* context) const { xmlFreeParserCtxt(context); }
};

// <plist version="1.0"> is the only element with attributes; a few are allowed there.
constexpr std::size_t kMaxPlistAttributes = 8;

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
    if (s.empty() || end != s.data() + s.size() ||
        (ec != std::errc() && ec != std::errc::result_out_of_range)) {
        return std::nullopt;
    }
    if (ec == std::errc::result_out_of_range) {
        // from_chars leaves underflow and overflow alike unconverted; strtod (in the C
        // locale, whatever the process's) gives 0 or the nearest denormal for the first.
        // Overflow is refused.
        static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
        const std::string copy(s);
        value = strtod_l(copy.c_str(), nullptr, cLocale);
        if (!std::isfinite(value)) {
            return std::nullopt;
        }
    }
    return value;
}

// Finds attributes before libxml2 parses them, in documents of 1-, 2- or 4-byte code units
// (UTF-8 and the like, UTF-16, UCS-4) in either byte order. Only the markup characters
// matter, and those are ASCII in every one of them. Text the scan cannot follow is left to
// libxml2 to refuse; the reader refuses attributes that reach it as well.
class AttributeScan {
public:
    explicit AttributeScan(std::span<const std::uint8_t> bytes) : bytes_(bytes) {
        const auto starts = [&](std::initializer_list<std::uint8_t> prefix) {
            return bytes.size() >= prefix.size() &&
                   std::equal(prefix.begin(), prefix.end(), bytes.begin());
        };
        if (starts({0, 0, 0xFE, 0xFF}) || starts({0, 0, 0, '<'})) {
            width_ = 4, bigEndian_ = true;
        } else if (starts({0xFF, 0xFE, 0, 0}) || starts({'<', 0, 0, 0})) {
            width_ = 4, bigEndian_ = false;
        } else if (starts({0xFE, 0xFF}) || starts({0, '<'})) {
            width_ = 2, bigEndian_ = true;
        } else if (starts({0xFF, 0xFE}) || starts({'<', 0})) {
            width_ = 2, bigEndian_ = false;
        }
        units_ = bytes.size() / width_;
    }

    // "line 3: <array> has attributes, which property lists do not use", or nullopt.
    std::optional<std::string> problem() {
        for (std::size_t i = 0; (i = find('<', i)) < units_;) {
            if (matches(i, "<!--")) {
                i = after(i + 4, "-->");
            } else if (matches(i, "<![CDATA[")) {
                i = after(i + 9, "]]>");
            } else if (matches(i, "<?")) {
                i = after(i + 2, "?>");
            } else if (matches(i, "<!")) {
                i = afterDeclaration(i + 2);
            } else if (matches(i, "</")) {
                i = find('>', i);
            } else if (auto fault = startTag(i)) {
                return fault;
            }
        }
        return std::nullopt;
    }

private:
    std::uint32_t unit(std::size_t i) const {
        const std::uint8_t* p = bytes_.data() + i * width_;
        std::uint32_t value = 0;
        for (std::size_t k = 0; k < width_; ++k) {
            value |= std::uint32_t{p[bigEndian_ ? width_ - 1 - k : k]} << (8 * k);
        }
        return value;
    }

    static bool isSpace(std::uint32_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

    std::size_t find(char c, std::size_t from) const {
        if (width_ == 1) {
            const void* at =
                from < units_ ? std::memchr(bytes_.data() + from, c, units_ - from) : nullptr;
            return at ? static_cast<const std::uint8_t*>(at) - bytes_.data() : units_;
        }
        while (from < units_ && unit(from) != static_cast<std::uint32_t>(c)) {
            ++from;
        }
        return from;
    }

    bool matches(std::size_t at, std::string_view text) const {
        if (units_ - at < text.size()) {
            return false;
        }
        for (std::size_t k = 0; k < text.size(); ++k) {
            if (unit(at + k) != static_cast<std::uint8_t>(text[k])) {
                return false;
            }
        }
        return true;
    }

    // The position after the next `end`, or the end of the input.
    std::size_t after(std::size_t from, std::string_view end) const {
        for (std::size_t i = from; (i = find(end[0], i)) < units_; ++i) {
            if (matches(i, end)) {
                return i + end.size();
            }
        }
        return units_;
    }

    // Past a quoted string starting at `at`, or the end of the input.
    std::size_t afterQuoted(std::size_t at) const {
        const std::size_t close = find(static_cast<char>(unit(at)), at + 1);
        return close < units_ ? close + 1 : units_;
    }

    // <!DOCTYPE ...> and the declarations of its internal subset, with their quoted
    // strings, comments and processing instructions.
    std::size_t afterDeclaration(std::size_t i) const {
        int brackets = 0;
        while (i < units_) {
            const std::uint32_t c = unit(i);
            if (c == '"' || c == '\'') {
                i = afterQuoted(i);
            } else if (matches(i, "<!--")) {
                i = after(i + 4, "-->");
            } else if (matches(i, "<?")) {
                i = after(i + 2, "?>");
            } else if (c == '[') {
                ++brackets, ++i;
            } else if (c == ']') {
                --brackets, ++i;
            } else if (c == '>' && brackets <= 0) {
                return i + 1;
            } else {
                ++i;
            }
        }
        return i;
    }

    std::optional<std::string> startTag(std::size_t& i) {
        const std::size_t nameStart = ++i;
        while (i < units_ && !isSpace(unit(i)) && unit(i) != '/' && unit(i) != '>') {
            ++i;
        }
        const bool isPlist = matches(nameStart, "plist") && i - nameStart == 5;
        std::size_t attributes = 0;
        while (i < units_) {
            while (i < units_ && isSpace(unit(i))) {
                ++i;
            }
            if (i >= units_ || unit(i) == '>' || unit(i) == '/') {
                return std::nullopt;
            }
            if (!isPlist) {
                return "line " + std::to_string(line(i)) + ": <" + name(nameStart) +
                       "> has attributes, which property lists do not use";
            }
            if (++attributes > kMaxPlistAttributes) {
                return "line " + std::to_string(line(i)) + ": <plist> has more than " +
                       std::to_string(kMaxPlistAttributes) + " attributes";
            }
            // name = "value"
            while (i < units_ && unit(i) != '=' && unit(i) != '>') {
                ++i;
            }
            if (i < units_ && unit(i) == '=') {
                ++i;
            }
            while (i < units_ && isSpace(unit(i))) {
                ++i;
            }
            if (i < units_ && (unit(i) == '"' || unit(i) == '\'')) {
                i = afterQuoted(i);
            }
        }
        return std::nullopt;
    }

    std::string name(std::size_t at) const {
        std::string out;
        for (; at < units_ && out.size() < 32; ++at) {
            const std::uint32_t c = unit(at);
            if (isSpace(c) || c == '/' || c == '>') {
                break;
            }
            out += c < 0x80 ? static_cast<char>(c) : '?';
        }
        return out;
    }

    std::size_t line(std::size_t at) const {
        std::size_t lines = 1;
        for (std::size_t k = 0; k < at; ++k) {
            lines += unit(k) == '\n';
        }
        return lines;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t width_ = 1;
    bool bigEndian_ = false;
    std::size_t units_ = 0;
};

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
        if (auto problem = AttributeScan(bytes).problem()) {
            fail(*problem);
            return std::nullopt;
        }
        const QuietGenericErrors quiet;
        std::unique_ptr<xmlParserCtxt, ContextDeleter> context(xmlNewParserCtxt());
        if (!context) {
            fail("cannot create an XML parser");
            return std::nullopt;
        }
        context_ = context.get();
        installHandlers(*context->sax);
        // The SAX2 defaults that stay take the context itself as their user data.
        context->_private = this;
        // No network, no entity substitution, no DTD loading, no messages on stderr.
        const int options =
            XML_PARSE_NONET | XML_PARSE_NOCDATA | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
        // What is left of the document is the DTD the entity declarations went into.
        xmlFreeDoc(xmlCtxtReadMemory(context.get(), reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<int>(bytes.size()), nullptr, nullptr, options));
        if (failed_) {
            return std::nullopt;
        }
        if (!context->wellFormed) {
            const xmlError* e = xmlCtxtGetLastError(context.get());
            std::string message = e && e->message ? e->message : "not well-formed XML";
            while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
                message.pop_back();
            }
            fail("line " + std::to_string(e ? e->line : 0) + ": " + message);
            return std::nullopt;
        }
        if (!result_) {
            fail("line 1: no root element");
            return std::nullopt;
        }
        return std::move(result_);
    }

private:
    enum class Kind : std::uint8_t {
        Plist,
        Array,
        Dictionary,
        Key,
        String,
        Integer,
        Real,
        Date,
        Data,
        True,
        False,
        Unknown
    };

    // An open <plist>, <array> or <dict>.
    struct Container {
        Kind kind;
        int line;
        Array array;
        Dictionary dictionary;
        std::optional<std::string> key; // read, its value not yet (in a <dict>)
        bool holdsValue = false;        // (in a <plist>)
    };

    static Kind kindOf(std::string_view tag) {
        static constexpr std::pair<std::string_view, Kind> kKinds[] = {
            {"plist", Kind::Plist}, {"array", Kind::Array},   {"dict", Kind::Dictionary},
            {"key", Kind::Key},     {"string", Kind::String}, {"integer", Kind::Integer},
            {"real", Kind::Real},   {"date", Kind::Date},     {"data", Kind::Data},
            {"true", Kind::True},   {"false", Kind::False},
        };
        for (const auto& [name, kind] : kKinds) {
            if (name == tag) {
                return kind;
            }
        }
        return Kind::Unknown;
    }

    static XmlReader& self(void* context) {
        return *static_cast<XmlReader*>(static_cast<xmlParserCtxt*>(context)->_private);
    }

    static void installHandlers(xmlSAXHandler& sax) {
        // The SAX2 defaults keep the DTD, so that declared entities are known (and refused
        // when referenced); elements, text, comments and processing instructions are ours.
        xmlSAXVersion(&sax, 2);
        sax.startElementNs = [](void* c, const xmlChar* name, const xmlChar*, const xmlChar*, int,
                                const xmlChar**, int attributes, int, const xmlChar**) {
            self(c).guarded(
                [&](XmlReader& r) { r.start(reinterpret_cast<const char*>(name), attributes); });
        };
        sax.endElementNs = [](void* c, const xmlChar*, const xmlChar*, const xmlChar*) {
            self(c).guarded([](XmlReader& r) { r.end(); });
        };
        sax.characters = [](void* c, const xmlChar* text, int length) {
            self(c).guarded([&](XmlReader& r) {
                r.characters(
                    {reinterpret_cast<const char*>(text), static_cast<std::size_t>(length)});
            });
        };
        sax.ignorableWhitespace = sax.characters;
        sax.cdataBlock = sax.characters;
        sax.reference = [](void* c, const xmlChar*) {
            self(c).guarded(
                [](XmlReader& r) { r.failHere("entity references are not supported"); });
        };
        sax.comment = nullptr;
        sax.processingInstruction = nullptr;
        sax.startElement = nullptr;
        sax.endElement = nullptr;
    }

    // Runs one event unless the parse has failed; C++ exceptions never cross libxml2.
    template <typename Event>
    void guarded(Event&& event) {
        if (failed_) {
            return;
        }
        try {
            event(*this);
        } catch (const std::bad_alloc&) {
            fail(outOfMemoryError(
                static_cast<std::size_t>(context_->input->end - context_->input->base)));
        }
    }

    int currentLine() const { return xmlSAX2GetLineNumber(context_); }

    bool fail(const std::string& message) {
        if (!failed_) {
            failed_ = true;
            if (error_) {
                *error_ = message;
            }
            if (context_) {
                xmlStopParser(context_);
            }
        }
        return false;
    }

    bool failAt(int line, const std::string& message) {
        return fail("line " + std::to_string(line) + ": " + message);
    }

    bool failHere(const std::string& message) { return failAt(currentLine(), message); }

    static std::string tagOf(std::string_view name) { return "<" + std::string(name) + ">"; }

    void start(std::string_view tag, int attributes) {
        const int line = currentLine();
        Kind kind = kindOf(tag);
        const bool isRoot = containers_.empty() && !result_;
        // <plist> only as the root, <key> only in a <dict>.
        if ((kind == Kind::Plist && !isRoot) ||
            (kind == Kind::Key &&
             (containers_.empty() || containers_.back().kind != Kind::Dictionary))) {
            kind = Kind::Unknown;
        }
        if (attributes > 0 && kind != Kind::Plist) {
            failAt(line, tagOf(tag) + " has attributes, which property lists do not use");
            return;
        }
        if (inScalar_) {
            failAt(line, "unexpected " + tagOf(tag) + " in " + tagOf(scalarTag_));
            return;
        }
        if (kind == Kind::Plist) {
            containers_.push_back(Container{Kind::Plist, line, {}, {}, {}, false});
            return;
        }
        if (!placeChild(tag, kind, line)) {
            return;
        }
        if (kind == Kind::Array || kind == Kind::Dictionary) {
            const std::size_t depth = containers_.size() - plistLevels();
            if (depth >= kMaxNesting) {
                failAt(line,
                       "containers nest deeper than " + std::to_string(kMaxNesting) + " levels");
                return;
            }
            containers_.push_back(Container{kind, line, {}, {}, {}, false});
            return;
        }
        if (kind == Kind::Unknown) {
            failAt(line, "unknown element " + tagOf(tag));
            return;
        }
        inScalar_ = true;
        scalarKind_ = kind;
        scalarTag_ = tag;
        scalarLine_ = line;
        text_.clear();
    }

    std::size_t plistLevels() const {
        return !containers_.empty() && containers_.front().kind == Kind::Plist ? 1 : 0;
    }

    // Checks that an element may stand where it starts: keys and values alternate in a
    // <dict>, a <plist> holds one value.
    bool placeChild(std::string_view tag, Kind kind, int line) {
        if (containers_.empty()) {
            return true;
        }
        Container& parent = containers_.back();
        switch (parent.kind) {
        case Kind::Plist:
            if (parent.holdsValue) {
                return failAt(line, "<plist> holds more than one value");
            }
            parent.holdsValue = true;
            return true;
        case Kind::Dictionary:
            if (!parent.key && kind != Kind::Key) {
                return failAt(line, tagOf(tag) + " in <dict> where a <key> belongs");
            }
            if (parent.key && kind == Kind::Key) {
                return failAt(line, "key \"" + *parent.key + "\" has no value");
            }
            return true;
        default:
            return true;
        }
    }

    void characters(std::string_view text) {
        if (inScalar_) {
            text_ += text;
        } else if (!containers_.empty() && !isBlank(text)) {
            failHere("unexpected text in " + tagOf(containerTag(containers_.back().kind)));
        }
    }

    static std::string_view containerTag(Kind kind) {
        return kind == Kind::Plist ? "plist" : kind == Kind::Array ? "array" : "dict";
    }

    void end() {
        if (inScalar_) {
            inScalar_ = false;
            if (scalarKind_ == Kind::Key) {
                containers_.back().key = std::move(text_);
                text_.clear();
                return;
            }
            auto value = scalar();
            if (value) {
                add(std::move(*value), scalarLine_);
            }
            return;
        }
        Container container = std::move(containers_.back());
        containers_.pop_back();
        switch (container.kind) {
        case Kind::Plist:
            if (!container.holdsValue) {
                failAt(container.line, "<plist> holds no value");
            }
            return;
        case Kind::Dictionary:
            if (container.key) {
                failAt(container.line, "key \"" + *container.key + "\" has no value");
                return;
            }
            add(Value(std::move(container.dictionary)), container.line);
            return;
        default:
            add(Value(std::move(container.array)), container.line);
            return;
        }
    }

    std::optional<Value> invalid(std::string_view text, const char* what) {
        failAt(scalarLine_, tagOf(scalarTag_) + " \"" + std::string(text) + "\" is not " + what);
        return std::nullopt;
    }

    std::optional<Value> scalar() {
        switch (scalarKind_) {
        case Kind::True:
        case Kind::False:
            if (!isBlank(text_)) {
                return invalid(text_, "empty");
            }
            return Value(scalarKind_ == Kind::True);
        case Kind::String:
            return Value(std::move(text_));
        case Kind::Integer: {
            auto i = parseInteger(trimmed(text_));
            return i ? std::optional<Value>(Value(*i))
                     : invalid(text_, "an integer in the signed 64-bit range");
        }
        case Kind::Real: {
            auto d = parseReal(trimmed(text_));
            return d ? std::optional<Value>(Value(*d)) : invalid(text_, "a real number");
        }
        case Kind::Date: {
            auto date = text::parseIso8601(trimmed(text_));
            return date ? std::optional<Value>(Value(*date))
                        : invalid(text_, "a date like 2026-12-08T03:00:00Z");
        }
        case Kind::Data: {
            auto data = text::decodeBase64(text_);
            return data ? std::optional<Value>(Value(std::move(*data)))
                        : invalid(trimmed(text_), "base64");
        }
        default:
            return std::nullopt;
        }
    }

    // A finished value, into its container (or as the result).
    void add(Value value, int line) {
        if (containers_.empty() || containers_.back().kind == Kind::Plist) {
            result_ = std::move(value);
            return;
        }
        Container& parent = containers_.back();
        if (parent.kind == Kind::Array) {
            parent.array.push_back(std::move(value));
            return;
        }
        // Keys usually come in order: the end is the likely place.
        const std::size_t before = parent.dictionary.size();
        parent.dictionary.try_emplace(parent.dictionary.end(), std::move(*parent.key),
                                      std::move(value));
        if (parent.dictionary.size() == before) {
            failAt(line, "duplicate key \"" + *parent.key + "\"");
            return;
        }
        parent.key.reset();
    }

    std::string* error_;
    xmlParserCtxt* context_ = nullptr;
    bool failed_ = false;
    std::vector<Container> containers_;
    bool inScalar_ = false;
    Kind scalarKind_ = Kind::Unknown;
    std::string scalarTag_;
    int scalarLine_ = 0;
    std::string text_;
    std::optional<Value> result_;
};

} // namespace

std::optional<Value> readXml(std::span<const std::uint8_t> bytes, std::size_t sizeLimit,
                             std::string* error) {
    if (bytes.size() > sizeLimit) {
        if (error) {
            *error = sizeLimitError(sizeLimit, bytes.size());
        }
        return std::nullopt;
    }
    try {
        XmlReader reader(error);
        return reader.read(bytes);
    } catch (const std::bad_alloc&) {
        if (error) {
            *error = outOfMemoryError(bytes.size());
        }
        return std::nullopt;
    }
}

} // namespace plist
