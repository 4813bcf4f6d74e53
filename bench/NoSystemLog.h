#pragma once

// A system-log backend that drops every line: what the programs under measurement log is
// not part of what is measured.

#include "platform/syslog/SystemLog.h"

#include <string_view>

namespace bench {

class NoSystemLog final : public systemlog::Backend {
public:
    void journal(int, std::string_view, std::string_view, std::string_view) override {}
    void syslog(int, std::string_view) override {}
};

} // namespace bench
