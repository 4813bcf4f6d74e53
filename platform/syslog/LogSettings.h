#pragma once

#include <optional>
#include <string>
#include <string_view>

// A subsystem's logging mode, as the log tool's `config` verb sets it and the logging
// statement reads it at start: whether the subsystem's debug messages go to the journal.
//
// The setting is one root-owned property list per subsystem, "/Library/Keelbrook/logging/
// <subsystem>.plist" (on Linux /var/lib/keelbrook/logging/<subsystem>.plist), holding the
// strings "Level" and "Persist". Without a setting debug messages go to the journal.
namespace systemlog {

// The values a mode's "level" and "persist" take, from least to most verbose.
enum class ModeLevel { Off, Default, Info, Debug };

struct LogMode {
    ModeLevel level = ModeLevel::Debug;
    ModeLevel persist = ModeLevel::Default;
};

// "off", "default", "info", "debug"; none for any other word.
std::optional<ModeLevel> modeLevelNamed(std::string_view name);
const char* modeLevelName(ModeLevel level);

// Reads "level:<value>,persist:<value>" (either part may be left out and keeps the value
// of `base`); none, with `error` filled, for any other key, value or shape.
std::optional<LogMode> parseMode(std::string_view text, const LogMode& base, std::string* error);

// A subsystem name as it may name a setting file: letters, digits, '.', '_' and '-', not
// beginning with '.', at most 255 bytes.
bool isValidSubsystemName(std::string_view subsystem);

// Where the subsystem's setting lives on this machine (below the installation root in
// test builds).
std::string settingPath(std::string_view subsystem);

// The subsystem's mode, or none when there is no usable setting: missing, unreadable, not a
// regular file, a symbolic link, not owned by root or writable by others than its owner,
// larger than 64 KiB or malformed. A setting anyone but root could have written is never
// believed, as every program (the root daemon among them) reads it.
std::optional<LogMode> readMode(std::string_view subsystem);

// Whether the subsystem's debug messages go to the journal: level debug, or no setting.
bool debugMessagesEnabled(std::string_view subsystem);

// Writes the subsystem's mode (0644, replaced atomically; folders created as needed). False with
// `error` filled when the subsystem name is not valid or the file cannot be written.
bool writeMode(std::string_view subsystem, const LogMode& mode, std::string* error);

} // namespace systemlog
