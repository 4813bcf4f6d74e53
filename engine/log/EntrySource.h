#pragma once

#include "engine/log/LogEntry.h"

#include <string>

namespace logtool {

// Entries in time order, one at a time, so that any number of them can be streamed.
class EntrySource {
public:
    virtual ~EntrySource() = default;

    // The next entry; false at the end or after a failure (then failure() says what).
    virtual bool next(LogEntry& entry) = 0;
    const std::string& failure() const { return failure_; }

protected:
    std::string failure_;
};

} // namespace logtool
