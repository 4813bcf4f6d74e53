#pragma once

#include "platform/files/Files.h"
#include "platform/plist/Limits.h"
#include "platform/plist/Value.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace prefs {

enum class Scope {
    System, // /Library/Preferences/<domain>.plist: /var/lib/keelbrook/preferences (paths::path)
    User,   // ~/Library/Preferences/<domain>.plist: $XDG_CONFIG_HOME/keelbrook (paths::homePath)
};

// A file larger than this reads as empty and is reported like one that does not parse.
inline constexpr std::size_t kMaxFileSize = plist::kPreferencesSizeLimit;

// Where a write may be interrupted, for tests that check a crash never tears the file.
using WriteStep = files::ReplaceStep;

// A defaults domain: a dictionary kept in a binary property-list file. Every change is
// written through at once, atomically (temporary file in the same folder, fsync, rename,
// fsync of the folder), as a read-modify-write under an advisory lock of "<file>.lock", so
// that two processes writing one domain do not lose each other's keys. A missing file is
// an empty domain; a file that does not parse reads as empty and is moved aside to
// "<file>.corrupt" before the next write replaces it; so does a file larger than
// kMaxFileSize. Each write first removes the temporaries that writers killed before their
// rename left beside the file. An edit that leaves a sound file's contents as they are (a
// value set to what it is, a missing key removed) writes nothing. Files are never opened
// through a symbolic link. Safe to use from several threads.
class Domain {
public:
    Domain(std::string name, Scope scope);
    // A domain kept in `file` (tests, tools).
    Domain(std::string name, std::string file);

    const std::string& name() const { return name_; }
    const std::string& file() const { return file_; }

    std::optional<plist::Value> value(std::string_view key);
    plist::Dictionary dictionary();
    bool setValue(const std::string& key, plist::Value value, std::string* error = nullptr);
    bool removeValue(const std::string& key, std::string* error = nullptr);
    // Changes are written through when made; this only reports whether the file can be
    // read now, so callers that synchronise before exiting learn of trouble.
    bool synchronize(std::string* error = nullptr);

    // What went wrong with the file since the last call (an unreadable file read as empty
    // and its move aside), for the caller to log; nullopt when nothing did.
    std::optional<std::string> takeFileProblem();

    // Test seam: called at each step of a write.
    void setWriteObserver(std::function<void(WriteStep)> observer);

private:
    // `sound`, when given, tells whether the file exists and parsed.
    plist::Dictionary load(bool* sound = nullptr);
    bool change(const std::function<void(plist::Dictionary&)>& edit, std::string* error);
    bool write(const plist::Dictionary& contents, std::string* error);
    void noteProblem(std::string problem);

    const std::string name_;
    const std::string file_;
    const bool userScope_;
    std::mutex mutex_;
    bool moveAsideBeforeWrite_ = false;
    std::optional<std::string> problem_;
    std::function<void(WriteStep)> writeObserver_;
};

} // namespace prefs
