#include "scheduler/daemon/KBEHelperSettings.h"

#include "common/VRNLog.h"
#include "platform/paths/Paths.h"
#include "platform/plist/Plist.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>

namespace {

constexpr const char* kTreatPassiveActivityAsActiveKey = "TreatPassiveActivityAsActive";

VRNError fileError(long code, const std::string& path, const std::string& text) {
    return VRNError(KBEFileErrorDomain, code,
                    {{VRNLocalizedDescriptionKey, text}, {KBEFilePathKey, path}});
}

bool failRead(VRNError* error, long code, const std::string& path, const std::string& reason) {
    if (error) {
        *error = fileError(code, path, "The settings file " + path + " " + reason + ".");
    }
    return false;
}

long writeCode(int number) {
    switch (number) {
    case ENOSPC:
    case EDQUOT:
        return KBEFileWriteOutOfSpaceError;
    case EACCES:
    case EPERM:
    case EROFS:
        return KBEFileWriteNoPermissionError;
    default:
        return KBEFileWriteUnknownError;
    }
}

std::string octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string ownerName(uid_t uid) {
    return uid == 0 ? std::string("root") : "uid " + std::to_string(uid);
}

} // namespace

KBEHelperSettings::KBEHelperSettings(const VRNEnvironment& environment,
                                     std::shared_ptr<prefs::Domain> defaults,
                                     KBEHelperSettingsDelegate& delegate, uid_t fileOwner)
    : _file(paths::locate(kSettingsPath, environment.installationRoot)),
      _defaults(std::move(defaults)), _delegate(delegate), _fileOwner(fileOwner),
      _settings(defaultSettings()) {}

void KBEHelperSettings::start() {
    _settings = loadSettings();
}

void KBEHelperSettings::setWriteObserver(std::function<void(files::ReplaceStep)> observer) {
    _writeObserver = std::move(observer);
}

plist::Dictionary KBEHelperSettings::defaultSettings() const {
    bool passiveIsActive = false;
    if (_defaults) {
        if (auto value = _defaults->value(kTreatPassiveActivityAsActiveKey)) {
            passiveIsActive = value->asBoolean().value_or(false);
        }
    }
    return {
        {"Backups", false},
        {"Snapshots", false},
        {"AllowBattery", false},
        {"DontRunWhenPassive", passiveIsActive},
        {"DontRunWithSleepPreventers", false},
        {"DontRunWhenNotNetworkWired", false},
        {"Suspend", false},
        {"SuspendSettings",
         plist::Dictionary{
             {"StartHour", 23}, {"StartMinute", 0}, {"EndHour", 8}, {"EndMinute", 0}}},
        {"BackupsMode", "WhenInactive"},
        {"WhenInactive", plist::Dictionary{}},
        {"Interval", plist::Dictionary{{"Hours", 1}}},
        {"CalendarIntervals", plist::Dictionary{{"Intervals", plist::Array{plist::Dictionary{
                                                                  {"Hour", 12}, {"Minute", 0}}}},
                                                {"ASAP", false}}},
    };
}

// Every test reads `old`; only the assignments go to `m`, so the order of the steps matters
// only where two of them assign one key (the later wins).
plist::Dictionary KBEHelperSettings::upgradedSettings(const plist::Dictionary& old) const {
    plist::Dictionary m = old;
    auto has = [&old](const char* key) {
        return old.contains(key);
    };
    auto get = [&old](const char* key) -> const plist::Value* {
        const auto found = old.find(key);
        return found == old.end() ? nullptr : &found->second;
    };

    if (has("WhenInactive") || has("Interval") || has("IntervalComponents") ||
        has("CalendarIntervals")) {
        if (!has("Backups")) {
            m.insert_or_assign("Backups", true);
        }
        if (!has("Snapshots")) {
            m.insert_or_assign("Snapshots", m.at("Backups"));
        }
    }
    if (!has("BackupsMode")) {
        if (has("WhenInactive")) {
            m.insert_or_assign("BackupsMode", "WhenInactive");
        }
        if (has("Interval") || has("IntervalComponents")) {
            m.insert_or_assign("BackupsMode", "Interval");
        }
        if (has("CalendarIntervals")) {
            m.insert_or_assign("BackupsMode", "CalendarIntervals");
        }
    }
    if (const plist::Value* whenInactive = get("WhenInactive");
        whenInactive && whenInactive->isNumber()) {
        m.insert_or_assign("WhenInactive", plist::Dictionary{});
    }
    if (const plist::Value* interval = get("Interval"); interval && interval->isNumber()) {
        const std::int64_t seconds = *interval->asInteger();
        if (seconds % 86400 == 0) {
            m.insert_or_assign("Interval", plist::Dictionary{{"Days", seconds / 86400}});
        } else {
            m.insert_or_assign("Interval", plist::Dictionary{{"Hours", seconds / 3600}});
        }
    }
    if (const plist::Value* components = get("IntervalComponents")) {
        m.insert_or_assign("Interval", *components);
        m.erase("IntervalComponents");
    }
    if (const plist::Value* calendar = get("CalendarIntervals"); calendar && calendar->isArray()) {
        const plist::Value* asap = get("BackupASAP");
        plist::Array intervals = *calendar->asArray();
        if (intervals.empty()) {
            intervals.push_back(plist::Dictionary{{"Hour", 12}, {"Minute", 0}});
        }
        m.insert_or_assign("CalendarIntervals",
                           plist::Dictionary{{"Intervals", std::move(intervals)},
                                             {"ASAP", asap ? *asap : plist::Value(false)}});
        m.erase("BackupASAP");
    }
    if (const plist::Value* suspend = get("Suspend"); suspend && suspend->isDictionary()) {
        m.insert_or_assign("Suspend", true);
        m.insert_or_assign("SuspendSettings", *suspend);
    }
    for (auto& [key, value] : defaultSettings()) {
        m.try_emplace(key, std::move(value));
    }
    return m;
}

std::optional<plist::Dictionary> KBEHelperSettings::readSettingsWithError(VRNError* error) const {
    // Opened without following a symbolic link, and without blocking on a FIFO put there.
    files::Error failure;
    files::Descriptor fd =
        files::openFile(_file, O_RDONLY | O_NONBLOCK, 0, files::Symlinks::DoNotFollow, &failure);
    if (!fd.valid()) {
        switch (failure.number) {
        case ENOENT:
            if (error) {
                *error = fileError(KBEFileReadNoSuchFileError, _file,
                                   "The settings file " + _file + " does not exist.");
            }
            break;
        case ELOOP:
            failRead(error, KBEFileReadNoPermissionError, _file,
                     "is a symbolic link and is not read");
            break;
        case EACCES:
        case EPERM:
            failRead(error, KBEFileReadNoPermissionError, _file,
                     "could not be opened: " + std::string(std::strerror(failure.number)));
            break;
        default:
            failRead(error, KBEFileReadUnknownError, _file,
                     "could not be opened: " + std::string(std::strerror(failure.number)));
        }
        return std::nullopt;
    }

    // Only root may have written what the daemon takes as its settings.
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        failRead(error, KBEFileReadUnknownError, _file,
                 "could not be examined: " + std::string(std::strerror(errno)));
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        failRead(error, KBEFileReadNoPermissionError, _file, "is not a regular file");
        return std::nullopt;
    }
    if (status.st_uid != _fileOwner) {
        failRead(error, KBEFileReadNoPermissionError, _file,
                 "is owned by " + ownerName(status.st_uid) + ", not by " + ownerName(_fileOwner));
        return std::nullopt;
    }
    if (status.st_mode & (S_IWGRP | S_IWOTH)) {
        failRead(error, KBEFileReadNoPermissionError, _file,
                 "is writable by group or others (mode " + octal(status.st_mode) + ")");
        return std::nullopt;
    }
    const std::string tooLarge = "is larger than " + std::to_string(kMaximumFileSize) + " bytes";
    if (static_cast<std::uint64_t>(status.st_size) > kMaximumFileSize) {
        failRead(error, KBEFileReadTooLargeError, _file, tooLarge);
        return std::nullopt;
    }

    auto bytes = files::readAll(fd.get(), kMaximumFileSize, _file, &failure);
    if (!bytes) {
        if (failure.number == EFBIG) { // grew while being read
            failRead(error, KBEFileReadTooLargeError, _file, tooLarge);
        } else {
            failRead(error, KBEFileReadUnknownError, _file, "could not be read: " + failure.text);
        }
        return std::nullopt;
    }
    std::string reason;
    auto value = plist::read(*bytes, kMaximumFileSize, &reason);
    if (!value) {
        failRead(error, KBEFileReadCorruptFileError, _file,
                 "is not a valid property list: " + reason);
        return std::nullopt;
    }
    if (!value->isDictionary()) {
        failRead(error, KBEFileReadCorruptFileError, _file, "does not hold a dictionary");
        return std::nullopt;
    }
    return *value->asDictionary();
}

bool KBEHelperSettings::writeSettings(const plist::Dictionary& settings, VRNError* error) const {
    auto failed = [&](long code, const std::string& text) {
        const VRNError made = fileError(code, _file, text);
        VRNLog(VRNLogLevelError, "Failed to write settings. %@",
               VRNError::localizedDescriptionForError(made));
        if (error) {
            *error = made;
        }
        return false;
    };

    const std::string folder = files::parentOf(_file);
    std::error_code created;
    std::filesystem::create_directories(folder, created);
    if (created) {
        return failed(writeCode(created.value()),
                      "Could not create the folder " + folder + ": " + created.message() + ".");
    }
    std::string reason;
    auto bytes = plist::writeBinary(plist::Value(settings), &reason);
    if (!bytes) {
        return failed(KBEFileWriteUnknownError,
                      "Could not encode the settings as a property list: " + reason + ".");
    }
    // The temporaries of writers killed before their rename would otherwise pile up.
    files::removeStaleTemporaries(_file);
    files::ReplaceOptions options;
    options.mode = 0644;
    options.observer = _writeObserver;
    files::Error failure;
    if (!files::replaceFile(_file, *bytes, options, &failure)) {
        return failed(writeCode(failure.number),
                      "Could not write the settings file: " + failure.text + ".");
    }
    return true;
}

plist::Dictionary KBEHelperSettings::loadSettings() const {
    VRNError error(KBEFileErrorDomain, KBEFileReadUnknownError);
    auto read = readSettingsWithError(&error);
    if (!read) {
        const bool missing =
            error.domain() == KBEFileErrorDomain && error.code() == KBEFileReadNoSuchFileError;
        if (!missing) {
            VRNLog(VRNLogLevelError, "Failed to read settings. %@",
                   VRNError::localizedDescriptionForError(error));
        }
        return defaultSettings();
    }
    plist::Dictionary upgraded = upgradedSettings(*read);
    if (!validateSettings(&upgraded, true, &error)) {
        VRNLog(VRNLogLevelError, "Failed to validate settings. %@",
               VRNError::localizedDescriptionForError(error));
        return defaultSettings();
    }
    return upgraded;
}

bool KBEHelperSettings::installSettings(const plist::Dictionary& settings, bool resetSubmittedDate,
                                        VRNError* error) {
    if (!validateSettings(&settings, false, error)) {
        return false;
    }
    _settings = settings;
    writeSettings(_settings, nullptr); // a failure is logged; the settings stay in force
    VRNLog(VRNLogLevelDefault, "Installed settings: %@", plist::Value(_settings));
    if (resetSubmittedDate) {
        _delegate.setSubmittedDate(cal::now());
    }
    _delegate.applySettings();

    auto flag = [this](const char* key) {
        const auto found = _settings.find(key);
        return found != _settings.end() && found->second.asBoolean().value_or(false);
    };
    if (!flag("Disabled") && (flag("Backups") || flag("Snapshots"))) {
        _delegate.disableSystemScheduler();
    }
    return true;
}
