#pragma once

#include <span>
#include <string>
#include <string_view>

namespace logtool {

// The programs that write log files: each file "<category>.log" belongs to one program,
// which gives its entries their subsystem and executable.
struct Program {
    std::string_view category;
    std::string_view subsystem;
    std::string_view productPath; // the executable, as paths::path takes it
};

// The program whose log file category is `category`; null for none of ours.
const Program* programForCategory(std::string_view category);

// The program whose executable's file name is `name` (a syslog identifier); null for none.
const Program* programNamed(std::string_view name);

// Every program, for the legacy reader's journal matches.
std::span<const Program> allPrograms();

// The executable's location on this machine.
std::string executablePath(const Program& program);

// The last component of `path`.
std::string_view fileNameOf(std::string_view path);

} // namespace logtool
