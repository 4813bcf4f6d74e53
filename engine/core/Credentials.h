#pragma once

// What a remote repository needs besides its password (keys, accounts, tokens): the
// variables restic's back ends read, kept as "NAME=VALUE" lines in a root-only file and
// handed to every restic run in its environment, never on its command line.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

// Far above any real set of keys; a bigger file is a mistake.
inline constexpr std::size_t kMaxCredentialsSize = 64 * 1024;

// Parses "NAME=VALUE" lines (blank lines and lines starting with "#" are skipped) into
// "NAME=VALUE" entries. A name is made of A-Z, 0-9 and "_"; the repository's own location
// and password, and the variables that choose which program or libraries run, are refused,
// as is a name given twice. On a refusal `error` names the line and the reason, never a
// value.
std::optional<std::vector<std::string>> parseCredentials(std::string_view text, std::string* error);

// The credentials stored in `file`; none when it is missing, unreadable or not valid.
std::vector<std::string> readCredentials(const std::string& file);

} // namespace engine
