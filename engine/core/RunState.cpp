#include "engine/core/RunState.h"

#include "engine/core/EngineFiles.h"
#include "platform/plist/Binary.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>

namespace engine {

namespace {

constexpr std::size_t kStatusSizeLimit = 64 * 1024;
constexpr const char* kAutomaticKey = "Automatic";
constexpr const char* kRotationKey = "Rotation";

std::optional<plist::Dictionary> readDictionary(const std::string& file) {
    const auto bytes = files::readFile(file, kStatusSizeLimit, files::Symlinks::DoNotFollow);
    if (!bytes) {
        return std::nullopt;
    }
    std::string ignored;
    const std::optional<plist::Value> value = plist::readBinary(*bytes, kStatusSizeLimit, &ignored);
    if (!value || !value->asDictionary()) {
        return std::nullopt;
    }
    return *value->asDictionary();
}

bool writeDictionary(const std::string& file, const plist::Dictionary& contents,
                     std::string* error) {
    const auto bytes = plist::writeBinary(plist::Value(contents), error);
    return bytes && writeFile(file, *bytes, 0644, error);
}

} // namespace

files::Descriptor takeRunLock(std::string* error) {
    const std::string file = lockFile();
    if (!makeFolders(files::parentOf(file), 0755, error)) {
        return {};
    }
    files::Error failure;
    files::Descriptor lock =
        files::openFile(file, O_RDWR | O_CREAT, 0644, files::Symlinks::DoNotFollow, &failure);
    if (!lock.valid()) {
        *error = failure.text;
        return {};
    }
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(lock.get(), F_SETLK, &whole) != 0) {
        *error = errno == EAGAIN || errno == EACCES
                     ? ""
                     : std::string("cannot lock ") + file + ": " + std::strerror(errno);
        return {};
    }
    return lock;
}

std::optional<pid_t> runningWorker() {
    files::Descriptor lock = files::openFile(lockFile(), O_RDWR, 0, files::Symlinks::DoNotFollow);
    if (!lock.valid()) {
        return std::nullopt;
    }
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    if (::fcntl(lock.get(), F_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) {
        return std::nullopt;
    }
    return probe.l_pid;
}

std::optional<plist::Dictionary> readStatus() {
    return readDictionary(statusFile());
}

bool writeStatus(const plist::Dictionary& status, std::string* error) {
    return writeDictionary(statusFile(), status, error);
}

bool writeRequest(const Request& request, std::string* error) {
    return writeDictionary(requestFile(),
                           {{kAutomaticKey, plist::Value(request.automatic)},
                            {kRotationKey, plist::Value(request.rotation)}},
                           error);
}

Request readRequest() {
    Request request;
    if (const auto contents = readDictionary(requestFile())) {
        const auto flag = [&](const char* key) {
            const auto found = contents->find(key);
            return found != contents->end() && found->second.asBoolean().value_or(false);
        };
        request.automatic = flag(kAutomaticKey);
        request.rotation = flag(kRotationKey);
    }
    return request;
}

} // namespace engine
