#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace paths {

// Where a product path lives on Linux: the row of the location table whose product path
// is the longest one made of whole leading components of `productPath` ("/Library/Keelbrook"
// covers "/Library/Keelbrook/Settings.plist" but not "/Library/KeelbrookX"), with the rest
// of the path kept. Paths that no row covers ("/proc", "/bin/sh") are returned unchanged.
std::string linuxLocation(std::string_view productPath);

// linuxLocation() of an absolute `productPath` with `root` in front ("" for none).
// A relative path is returned as it is: there is no location to relocate.
std::string locate(std::string_view productPath, std::string_view root);

// The folders a user's files live in. `stateHome` and `configHome` are the XDG base
// folders; empty only when `home` is unknown and no absolute XDG value was given.
struct UserFolders {
    std::string home;
    std::string stateHome;
    std::string configHome;
};

// The user's folders from the values of HOME, XDG_STATE_HOME and XDG_CONFIG_HOME (null when
// unset). An XDG value that is empty or relative is ignored, as the XDG rules say, and the
// default below `home` is used (~/.local/state, ~/.config).
UserFolders userFolders(const char* home, const char* stateHome, const char* configHome);

// The location of "~/<relative>": "Library/Logs/Keelbrook" is "<stateHome>/keelbrook/log",
// "Library/Preferences" is "<configHome>/keelbrook" (both with what follows them); anything
// else stays below `home`.
std::string userLocation(std::string_view relative, const UserFolders& folders);

// The installation root taken from KEELBROOK_ROOT: empty when unset, the folder when it is
// an absolute path, nullopt (with `error` filled) when it is set to anything else. In a
// build without KEELBROOK_RELOCATABLE the variable is ignored and the root is always empty.
std::optional<std::string> rootFromEnvironment(std::string* error);

// Whether this build honours KEELBROOK_ROOT (development and test builds).
bool relocatable();

// `productPath` as it is found on this machine: its Linux location, below the installation
// root when there is one. The root is read once per process; a malformed KEELBROOK_ROOT
// ends the process with exit status 78 and a message on stderr.
std::string path(std::string_view productPath);

// "~/<relative>" for this process's user (userLocation() of the user's folders, from the
// environment, HOME falling back to the password database). Never relocated by the root.
std::string homePath(std::string_view relative);

// Test seam: the next path() reads KEELBROOK_ROOT again. Results handed out before stay
// valid.
void rereadRootForTesting();

} // namespace paths
