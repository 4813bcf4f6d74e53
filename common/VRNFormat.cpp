#include "common/VRNFormat.h"

#include <cstdio>
#include <cstdlib>

namespace vrnformat {

void formatDoesNotMatchArguments(const char* reason) {
    // Reached only from a failed compile-time check, which stops the build before this runs.
    std::fprintf(stderr, "format does not match its arguments: %s\n", reason);
    std::abort();
}

namespace {

// The printf directive for `c` with `lengthModifier` instead of the written length.
std::string directive(const Conversion& c, std::string_view lengthModifier) {
    std::string text = "%";
    text.append(c.flags, static_cast<std::size_t>(c.flagCount));
    if (c.width >= 0) {
        text += std::to_string(c.width);
    }
    if (c.precision >= 0) {
        text += '.';
        text += std::to_string(c.precision);
    }
    text += lengthModifier;
    text += c.type;
    return text;
}

template <class T>
void appendPrintf(std::string& out, const std::string& directiveText, T value) {
    char buffer[64];
    int n = std::snprintf(buffer, sizeof buffer, directiveText.c_str(), value);
    if (n < 0) {
        return;
    }
    if (static_cast<std::size_t>(n) < sizeof buffer) {
        out.append(buffer, static_cast<std::size_t>(n));
        return;
    }
    std::size_t start = out.size();
    out.resize(start + static_cast<std::size_t>(n) + 1);
    std::snprintf(out.data() + start, static_cast<std::size_t>(n) + 1, directiveText.c_str(),
                  value);
    out.resize(start + static_cast<std::size_t>(n));
}

// Integers print by value, narrowed to the size the length modifier names, as printf
// would read an argument of that size.
void appendInteger(std::string& out, const Conversion& c, const Arg& arg) {
    const std::string_view length(c.length, static_cast<std::size_t>(c.lengthCount));
    const bool wide = length == "l" || length == "ll" || length == "q" || length == "z" ||
                      length == "j" || length == "t";
    const bool isSignedConversion = c.type == 'd' || c.type == 'i';
    if (c.type == 'c') {
        appendPrintf(out, directive(c, ""),
                     static_cast<int>(static_cast<unsigned char>(arg.integer)));
    } else if (isSignedConversion) {
        const auto value = static_cast<long long>(arg.integer);
        if (wide) {
            appendPrintf(out, directive(c, "ll"), value);
        } else if (length == "h") {
            appendPrintf(out, directive(c, ""), static_cast<int>(static_cast<short>(value)));
        } else if (length == "hh") {
            appendPrintf(out, directive(c, ""), static_cast<int>(static_cast<signed char>(value)));
        } else {
            appendPrintf(out, directive(c, ""), static_cast<int>(value));
        }
    } else {
        const auto value = static_cast<unsigned long long>(arg.integer);
        if (wide) {
            appendPrintf(out, directive(c, "ll"), value);
        } else if (length == "h") {
            appendPrintf(out, directive(c, ""),
                         static_cast<unsigned>(static_cast<unsigned short>(value)));
        } else if (length == "hh") {
            appendPrintf(out, directive(c, ""),
                         static_cast<unsigned>(static_cast<unsigned char>(value)));
        } else {
            appendPrintf(out, directive(c, ""), static_cast<unsigned>(value));
        }
    }
}

// Characters, not bytes, count toward width and precision of texts.
std::size_t prefixOfCharacters(std::string_view text, std::size_t characters) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (count == characters) {
                return i;
            }
            ++count;
        }
    }
    return text.size();
}

std::size_t characterCount(std::string_view text) {
    std::size_t count = 0;
    for (char ch : text) {
        count += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
    }
    return count;
}

void appendPadded(std::string& out, const Conversion& c, std::string_view text) {
    if (c.precision >= 0) {
        text = text.substr(0, prefixOfCharacters(text, static_cast<std::size_t>(c.precision)));
    }
    const std::size_t length = characterCount(text);
    const std::size_t padding =
        c.width > 0 && static_cast<std::size_t>(c.width) > length ? c.width - length : 0;
    const bool left = std::string_view(c.flags, static_cast<std::size_t>(c.flagCount)).find('-') !=
                      std::string_view::npos;
    if (!left) {
        out.append(padding, ' ');
    }
    out += text;
    if (left) {
        out.append(padding, ' ');
    }
}

void appendText(std::string& out, const Conversion& c, const Arg& arg) {
    if (c.width < 0 && c.precision < 0) { // the common case, without a copy
        switch (arg.kind) {
        case Kind::Text:
            out += arg.text;
            return;
        case Kind::CString:
            out += arg.cstring ? arg.cstring : "(null)";
            return;
        default:
            if (arg.appendObject) {
                arg.appendObject(out, arg.object);
            } else {
                out += "(null)";
            }
            return;
        }
    }
    std::string text;
    appendText(text, Conversion{}, arg);
    appendPadded(out, c, text);
}

} // namespace

bool append(std::string& out, std::string_view format, std::span<const Arg> args) {
    std::size_t next = 0;
    std::size_t pos = 0;
    while (pos < format.size()) {
        const std::size_t percent = format.find('%', pos);
        if (percent == std::string_view::npos) {
            out += format.substr(pos);
            break;
        }
        out += format.substr(pos, percent - pos);
        pos = percent + 1;
        if (pos < format.size() && format[pos] == '%') {
            out += '%';
            ++pos;
            continue;
        }
        Conversion c;
        if (!parseConversion(format, pos, c) || next == args.size() ||
            !accepts(c, args[next].kind)) {
            return false;
        }
        const Arg& arg = args[next++];
        if (isIntegerConversion(c.type)) {
            appendInteger(out, c, arg);
        } else if (isRealConversion(c.type)) {
            appendPrintf(out, directive(c, ""), arg.real);
        } else {
            appendText(out, c, arg);
        }
    }
    return true;
}

} // namespace vrnformat
