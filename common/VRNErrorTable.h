#pragma once

// The texts and log levels of one error domain, and the registry VRNError looks them up in.
// Each domain defines its table in its own source file and registers it there:
//
//   const VRNErrorCode codes[] = {{VRNThingErrorBroken, VRNLogLevelError, "It broke."}, ...};
//   const VRNErrorTableRegistration registration{{VRNThingErrorDomain, codes}};
//
// The domain's name constant is defined in that same file, so every program that names the
// domain links its table. Registration happens while the program's static objects are
// constructed, in any order (the registry is built on first use); errors are created only
// once main has started.

#include "common/VRNFormat.h"
#include "platform/plist/Value.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>

// The user info as the texts read it: objects as they are (missing ones print "(null)"),
// numbers as integers (0 when missing or not a number).
class VRNErrorInfo {
public:
    explicit VRNErrorInfo(const plist::Dictionary& info) : info_(info) {}

    const plist::Value* object(std::string_view key) const {
        auto found = info_.find(key);
        return found == info_.end() ? nullptr : &found->second;
    }
    std::int64_t integer(std::string_view key) const {
        const plist::Value* value = object(key);
        return value ? value->asInteger().value_or(0) : 0;
    }

private:
    const plist::Dictionary& info_;
};

// One code of a domain: its log level and its text, either a fixed sentence or one built
// from the user info by `text` (which is handed `sentence`, null for most of them).
struct VRNErrorCode {
    long code;
    int level;
    const char* sentence;
    std::string (*text)(const char* sentence, const VRNErrorInfo& info) = nullptr;

    std::string textFor(const VRNErrorInfo& info) const {
        return text ? text(sentence, info) : std::string(sentence);
    }
};

struct VRNErrorTable {
    const char* domain;
    std::span<const VRNErrorCode> codes;

    const VRNErrorCode* find(long code) const;
};

// The registered tables, by domain name.
class VRNErrorTables {
public:
    // Adds a table; registering a domain twice is a programming error and aborts.
    static void add(const VRNErrorTable& table);
    // The table of `domain`, or null when none is registered.
    static const VRNErrorTable* find(std::string_view domain);
    // The entry of `code` in the table of `domain`, or null.
    static const VRNErrorCode* find(std::string_view domain, long code);
};

// Registers a table when constructed; a domain's source file defines one at namespace scope.
struct VRNErrorTableRegistration {
    explicit VRNErrorTableRegistration(const VRNErrorTable& table) { VRNErrorTables::add(table); }
};

// A text filled from the user info. Literal formats are checked at compile time, so
// formatting cannot fail here.
template <class... Args>
std::string VRNErrorText(VRNFormatFor<Args...> format, const Args&... args) {
    return VRNFormat<Args...>(format, args...).value_or(std::string());
}
