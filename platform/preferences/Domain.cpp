#include "platform/preferences/Domain.h"

#include "platform/paths/Paths.h"
#include "platform/plist/Binary.h"
#include "platform/plist/Plist.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <utility>

namespace prefs {

namespace {

std::string systemError(const std::string& what, const std::string& path, int number) {
    return what + " " + path + ": " + std::strerror(number);
}

bool makeFolders(const std::string& folder, mode_t mode) {
    if (folder.empty() || folder == "/" || folder == ".") {
        return true;
    }
    struct stat st {};
    if (lstat(folder.c_str(), &st) == 0) {
        return S_ISDIR(st.st_mode);
    }
    if (!makeFolders(files::parentOf(folder), mode)) {
        return false;
    }
    return mkdir(folder.c_str(), mode) == 0 || errno == EEXIST;
}

// The text for a file that could not be read: the size limit's own, or the system's.
std::string readProblem(const std::string& file, const files::Error& error) {
    return error.number == EFBIG ? error.text : systemError("cannot read", file, error.number);
}

// Whether `file` lies in the user's home or the user's preferences folder (which may be
// elsewhere, by XDG_CONFIG_HOME): such files are kept private to the user.
bool isUserFile(const std::string& file) {
    for (const std::string& folder :
         {paths::homePath(""), paths::homePath("Library/Preferences")}) {
        if (!folder.empty() && file.starts_with(folder + "/")) {
            return true;
        }
    }
    return false;
}

} // namespace

Domain::Domain(std::string name, Scope scope)
    : Domain(name, scope == Scope::System
                       ? paths::path("/Library/Preferences/" + name + ".plist")
                       : paths::homePath("Library/Preferences/" + name + ".plist")) {}

Domain::Domain(std::string name, std::string file)
    : name_(std::move(name)), file_(std::move(file)), userScope_(isUserFile(file_)) {}

void Domain::setWriteObserver(std::function<void(WriteStep)> observer) {
    std::lock_guard lock(mutex_);
    writeObserver_ = std::move(observer);
}

void Domain::noteProblem(std::string problem) {
    problem_ = std::move(problem);
}

std::optional<std::string> Domain::takeFileProblem() {
    std::lock_guard lock(mutex_);
    return std::exchange(problem_, std::nullopt);
}

plist::Dictionary Domain::load(bool* sound) {
    if (sound) {
        *sound = false;
    }
    files::Error readError;
    const auto bytes =
        files::readFile(file_, kMaxFileSize, files::Symlinks::DoNotFollow, &readError);
    if (!bytes) {
        if (readError.number == ENOENT) {
            return {};
        }
        // Unreadable for lack of permission is not damage: leave such a file alone.
        moveAsideBeforeWrite_ = readError.number != EACCES && readError.number != EPERM;
        noteProblem(readProblem(file_, readError));
        return {};
    }
    std::string error;
    auto value = plist::read(*bytes, plist::kPreferencesSizeLimit, &error);
    if (value && value->isDictionary()) {
        moveAsideBeforeWrite_ = false;
        if (sound) {
            *sound = true;
        }
        return *value->asDictionary();
    }
    noteProblem(file_ + " is not a property-list dictionary (" +
                (value ? std::string("top-level object is not a dictionary") : error) + ")");
    moveAsideBeforeWrite_ = true;
    return {};
}

std::optional<plist::Value> Domain::value(std::string_view key) {
    std::lock_guard lock(mutex_);
    plist::Dictionary contents = load();
    auto it = contents.find(key);
    if (it == contents.end()) {
        return std::nullopt;
    }
    return it->second;
}

plist::Dictionary Domain::dictionary() {
    std::lock_guard lock(mutex_);
    return load();
}

bool Domain::setValue(const std::string& key, plist::Value value, std::string* error) {
    return change(
        [&](plist::Dictionary& contents) { contents.insert_or_assign(key, std::move(value)); },
        error);
}

bool Domain::removeValue(const std::string& key, std::string* error) {
    return change([&](plist::Dictionary& contents) { contents.erase(key); }, error);
}

bool Domain::synchronize(std::string* error) {
    std::lock_guard lock(mutex_);
    files::Error readError;
    if (!files::readFile(file_, kMaxFileSize, files::Symlinks::DoNotFollow, &readError) &&
        readError.number != ENOENT) {
        if (error) {
            *error = readProblem(file_, readError);
        }
        return false;
    }
    return true;
}

bool Domain::change(const std::function<void(plist::Dictionary&)>& edit, std::string* error) {
    std::lock_guard lock(mutex_);
    const std::string folder = files::parentOf(file_);
    if (!makeFolders(folder, userScope_ ? 0700 : 0755)) {
        if (error) {
            *error = systemError("cannot create", folder, errno);
        }
        return false;
    }
    // A lock on the file itself would stay on the old inode after the rename.
    const std::string lockPath = file_ + ".lock";
    files::Error openError;
    const files::Descriptor lockFd =
        files::openFile(lockPath, O_RDWR | O_CREAT, userScope_ ? 0600 : 0644,
                        files::Symlinks::DoNotFollow, &openError);
    if (!lockFd.valid()) {
        if (error) {
            *error = openError.text;
        }
        return false;
    }
    while (flock(lockFd.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            if (error) {
                *error = systemError("cannot lock", lockPath, errno);
            }
            return false;
        }
    }
    // Under the lock no writer of this domain is between its temporary and its rename, and
    // a dead writer's temporary is never renamed: remove those. A folder that cannot be
    // listed only keeps them for now; the write itself does not depend on it.
    files::removeStaleTemporaries(file_);
    bool sound = false;
    plist::Dictionary contents = load(&sound);
    if (moveAsideBeforeWrite_) {
        // Keep what could not be read rather than destroying it.
        const std::string aside = file_ + ".corrupt";
        if (rename(file_.c_str(), aside.c_str()) == 0) {
            noteProblem(file_ + " could not be read and was moved aside to " + aside);
        }
        moveAsideBeforeWrite_ = false;
    }
    const plist::Dictionary before = sound ? contents : plist::Dictionary{};
    edit(contents);
    if (sound && contents == before) {
        return true;
    }
    return write(contents, error);
}

bool Domain::write(const plist::Dictionary& contents, std::string* error) {
    auto fail = [&](const std::string& text) {
        if (error) {
            *error = text;
        }
        return false;
    };
    std::string encodeError;
    auto bytes = plist::writeBinary(plist::Value(contents), &encodeError);
    if (!bytes) {
        return fail("cannot encode " + file_ + ": " + encodeError);
    }
    files::ReplaceOptions options;
    options.modeIfNew = userScope_ ? 0600 : 0644;
    options.observer = writeObserver_;
    files::Error replaceError;
    if (!files::replaceFile(file_, *bytes, options, &replaceError)) {
        return fail(replaceError.text);
    }
    return true;
}

} // namespace prefs
