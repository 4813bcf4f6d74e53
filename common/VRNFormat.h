#pragma once

// The product's format strings: printf conversions (%d %i %u %x %X %o %f %e %g %s %c with
// flags, width, precision and the hh/h/l/ll/q/z/j/t lengths), "%%", object placeholders
// "%@", and privacy annotations such as "%{public}s" (accepted and ignored).
//
// A literal format is checked against its arguments at compile time; a format known only at
// run time is wrapped in VRNRuntimeFormat and checked while formatting. Either way a wrong
// argument never reaches a conversion: the formatting fails instead.

#include "platform/plist/Value.h"

#include <array>
#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

// Object types printable with "%@" specialise this with
//   static void append(std::string& out, const T& value);
template <class T>
struct VRNObjectTraits;

template <>
struct VRNObjectTraits<plist::Value> {
    static void append(std::string& out, const plist::Value& value) {
        out += plist::description(value);
    }
};

namespace vrnformat {

template <class T>
concept Describable = requires(std::string& out, const T& value) {
    VRNObjectTraits<T>::append(out, value);
};

// What an argument can stand for.
enum class Kind : std::uint8_t { Integer, Real, CString, Text, Object };

template <class T>
struct ObjectHandle : std::false_type {};
template <Describable T>
struct ObjectHandle<T*> : std::true_type {
    using Object = T;
};
template <Describable T>
struct ObjectHandle<const T*> : std::true_type {
    using Object = T;
};
template <Describable T>
struct ObjectHandle<std::optional<T>> : std::true_type {
    using Object = T;
};
template <Describable T>
struct ObjectHandle<std::shared_ptr<T>> : std::true_type {
    using Object = T;
};
template <Describable T>
struct ObjectHandle<std::shared_ptr<const T>> : std::true_type {
    using Object = T;
};

template <class T>
constexpr bool isCString =
    std::is_same_v<std::decay_t<T>, const char*> || std::is_same_v<std::decay_t<T>, char*>;

// The kind of an argument type; a type that fits no kind does not compile.
template <class T>
consteval Kind kindOf() {
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_integral_v<U> || std::is_enum_v<U>) {
        return Kind::Integer;
    } else if constexpr (std::is_floating_point_v<U>) {
        return Kind::Real;
    } else if constexpr (isCString<U>) {
        return Kind::CString;
    } else if constexpr (std::is_same_v<U, std::string> || std::is_same_v<U, std::string_view>) {
        return Kind::Text;
    } else if constexpr (std::is_same_v<U, std::nullptr_t> || Describable<U> ||
                         ObjectHandle<U>::value) {
        return Kind::Object;
    } else {
        static_assert(Describable<U>, "argument type cannot be formatted");
        return Kind::Object;
    }
}

// One argument, erased to its kind. It refers to the caller's value, which must outlive it.
struct Arg {
    Kind kind = Kind::Object;
    bool isSigned = false;
    std::uint64_t integer = 0;
    double real = 0;
    const char* cstring = nullptr;
    std::string_view text;
    // Objects: null prints "(null)".
    const void* object = nullptr;
    void (*appendObject)(std::string& out, const void* object) = nullptr;
};

template <class T>
void appendObjectOf(std::string& out, const void* object) {
    VRNObjectTraits<T>::append(out, *static_cast<const T*>(object));
}

template <class T>
Arg makeArg(const T& value) {
    using U = std::remove_cvref_t<T>;
    Arg arg;
    arg.kind = kindOf<U>();
    if constexpr (std::is_enum_v<U>) {
        return makeArg(static_cast<std::underlying_type_t<U>>(value));
    } else if constexpr (std::is_integral_v<U>) {
        arg.isSigned = std::is_signed_v<U>;
        arg.integer = static_cast<std::uint64_t>(value);
    } else if constexpr (std::is_floating_point_v<U>) {
        arg.real = static_cast<double>(value);
    } else if constexpr (isCString<U>) {
        arg.cstring = value;
    } else if constexpr (std::is_same_v<U, std::string> || std::is_same_v<U, std::string_view>) {
        arg.text = value;
    } else if constexpr (std::is_same_v<U, std::nullptr_t>) {
        // "(null)"
    } else if constexpr (Describable<U>) {
        arg.object = &value;
        arg.appendObject = &appendObjectOf<U>;
    } else {
        using Object = typename ObjectHandle<U>::Object;
        if (value) {
            arg.object = &*value;
            arg.appendObject = &appendObjectOf<Object>;
        }
    }
    return arg;
}

// One parsed conversion.
struct Conversion {
    char flags[8] = {};
    int flagCount = 0;
    int width = -1;
    int precision = -1;
    char length[3] = {};
    int lengthCount = 0;
    char type = 0;
};

// Parses the conversion that starts after a '%' at `pos`; on success `pos` is just past it.
constexpr bool parseConversion(std::string_view format, std::size_t& pos, Conversion& out) {
    auto at = [&](std::size_t i) {
        return i < format.size() ? format[i] : '\0';
    };
    if (at(pos) == '{') { // privacy annotation
        while (pos < format.size() && format[pos] != '}') {
            ++pos;
        }
        if (pos == format.size()) {
            return false;
        }
        ++pos;
    }
    for (char c = at(pos); c == '-' || c == '+' || c == ' ' || c == '#' || c == '0'; c = at(pos)) {
        if (out.flagCount == 7) {
            return false;
        }
        out.flags[out.flagCount++] = c;
        ++pos;
    }
    auto number = [&](int& value) {
        value = 0;
        int digits = 0;
        while (at(pos) >= '0' && at(pos) <= '9') {
            if (++digits > 4) {
                return false;
            }
            value = value * 10 + (at(pos) - '0');
            ++pos;
        }
        return true;
    };
    if (at(pos) >= '1' && at(pos) <= '9' && !number(out.width)) {
        return false;
    }
    if (at(pos) == '.') {
        ++pos;
        if (!number(out.precision)) {
            return false;
        }
    }
    for (char c = at(pos); c == 'h' || c == 'l' || c == 'q' || c == 'z' || c == 'j' || c == 't';
         c = at(pos)) {
        if (out.lengthCount == 2) {
            return false;
        }
        out.length[out.lengthCount++] = c;
        ++pos;
    }
    out.type = at(pos);
    if (out.type == '\0') {
        return false;
    }
    ++pos;
    return true;
}

constexpr bool isIntegerConversion(char type) {
    return type == 'd' || type == 'i' || type == 'u' || type == 'x' || type == 'X' || type == 'o' ||
           type == 'c';
}
constexpr bool isRealConversion(char type) {
    return type == 'f' || type == 'F' || type == 'e' || type == 'E' || type == 'g' || type == 'G';
}

// Whether an argument of `kind` may fill conversion `c`.
constexpr bool accepts(const Conversion& c, Kind kind) {
    if (isIntegerConversion(c.type)) {
        return kind == Kind::Integer;
    }
    if (isRealConversion(c.type)) {
        return kind == Kind::Real && c.lengthCount == 0;
    }
    if (c.type == 's') {
        return kind == Kind::CString || kind == Kind::Text;
    }
    if (c.type == '@') {
        return kind == Kind::Object || kind == Kind::Text || kind == Kind::CString;
    }
    return false;
}

// Why a format does not fit its arguments, or null when it fits.
constexpr const char* mismatch(std::string_view format, std::span<const Kind> kinds) {
    std::size_t next = 0;
    for (std::size_t pos = 0; pos < format.size();) {
        if (format[pos++] != '%') {
            continue;
        }
        if (pos < format.size() && format[pos] == '%') {
            ++pos;
            continue;
        }
        Conversion c;
        if (!parseConversion(format, pos, c)) {
            return "malformed conversion";
        }
        if (next == kinds.size()) {
            return "too few arguments";
        }
        if (!accepts(c, kinds[next++])) {
            return "argument does not match its conversion";
        }
    }
    return next == kinds.size() ? nullptr : "too many arguments";
}

// Called only when a literal format does not fit its arguments: not a constant expression,
// so the mistake stops the build here.
void formatDoesNotMatchArguments(const char* reason);

// Appends `format` filled with `args` to `out`. False (with `out` partly written) when the
// format is malformed or an argument does not fit its conversion.
bool append(std::string& out, std::string_view format, std::span<const Arg> args);

} // namespace vrnformat

// A format known only at run time (looked up or built): checked while formatting.
struct VRNRuntimeFormat {
    explicit VRNRuntimeFormat(std::string_view text) : text(text) {}
    std::string_view text;
};

// A format string together with the argument types it is used with.
template <class... Args>
class VRNFormatString {
public:
    template <class S>
    requires std::convertible_to<const S&, std::string_view>
    consteval VRNFormatString(const S& literal) : text_(literal) {
        constexpr std::array<vrnformat::Kind, sizeof...(Args)> kinds{vrnformat::kindOf<Args>()...};
        if (const char* reason = vrnformat::mismatch(text_, kinds)) {
            vrnformat::formatDoesNotMatchArguments(reason);
        }
    }
    VRNFormatString(VRNRuntimeFormat format) : text_(format.text) {}

    std::string_view text() const { return text_; }

private:
    std::string_view text_;
};

template <class... Args>
using VRNFormatFor = VRNFormatString<std::type_identity_t<Args>...>;

// The formatted text; false when the format does not fit the arguments (`out` is then
// unspecified).
template <class... Args>
bool VRNFormatAppend(std::string& out, VRNFormatFor<Args...> format, const Args&... args) {
    const std::array<vrnformat::Arg, sizeof...(Args)> erased{vrnformat::makeArg(args)...};
    return vrnformat::append(out, format.text(), erased);
}

// The formatted text, or nullopt when the format does not fit the arguments.
template <class... Args>
std::optional<std::string> VRNFormat(VRNFormatFor<Args...> format, const Args&... args) {
    std::string out;
    if (!VRNFormatAppend<Args...>(out, format, args...)) {
        return std::nullopt;
    }
    return out;
}
