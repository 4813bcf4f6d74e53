#pragma once

#include "engine/log/LogEntry.h"

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace logtool {

// A filter over entries written in the small predicate language the product passes to
// `log show --predicate`:
//
//   subsystem = 'com.vornhal.keelbrook'
//   (subsystem == "com.vornhal.keelbrook") ||
//       ((subsystem == "com.apple.TimeMachine") && (processImagePath endswith "backupd"))
//
// Fields: subsystem, processImagePath. Operators: = and == (equal), !=, beginswith,
// endswith, contains (case-sensitive). Combined with && / AND, || / OR and parentheses;
// strings in single or double quotes. Anything else is refused with a description of
// where and why.
class Predicate {
public:
    static std::optional<Predicate> parse(std::string_view text, std::string* error);

    bool matches(const LogEntry& entry) const;

    // The only subsystems an entry can have to match, or none when the predicate admits
    // any subsystem; lets a reader ask the journal for those subsystems alone.
    std::optional<std::set<std::string>> subsystems() const;

    struct Node;

private:
    explicit Predicate(std::shared_ptr<const Node> root) : root_(std::move(root)) {}
    std::shared_ptr<const Node> root_;
};

} // namespace logtool
