#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace paths {

// The installation root taken from KEELBROOK_ROOT: empty when unset, the folder when it is
// an absolute path, nullopt (with `error` filled) when it is set to anything else.
std::optional<std::string> rootFromEnvironment(std::string* error);

// `absolute` as it is found on this machine: below $KEELBROOK_ROOT when that is set.
// A malformed KEELBROOK_ROOT ends the process with exit status 78 and a message on stderr.
std::string path(std::string_view absolute);

// `relative` below the user's home ($HOME, else the password database). Never relocated.
std::string homePath(std::string_view relative);

} // namespace paths
