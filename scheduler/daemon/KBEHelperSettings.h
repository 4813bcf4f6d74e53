#pragma once

// The daemon's settings: the schema every settings dictionary is checked against, the
// defaults, the upgrade of older shapes, the settings file and the one operation that
// changes the settings in force.

#include "common/VRNEnvironment.h"
#include "common/VRNError.h"
#include "platform/calendar/Date.h"
#include "platform/files/Files.h"
#include "platform/plist/Limits.h"
#include "platform/plist/Value.h"
#include "platform/preferences/Domain.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

// Errors of the settings file, in the domain file errors of the system use. They carry
// their own text (VRNLocalizedDescriptionKey) and the file's path ("NSFilePath"), and are
// made without being logged: the callers log what they decide to.
inline constexpr const char* KBEFileErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* KBEFilePathKey = "NSFilePath";
inline constexpr long KBEFileReadUnknownError = 256;
inline constexpr long KBEFileReadNoPermissionError = 257; // also: refused as unsafe
inline constexpr long KBEFileReadCorruptFileError = 259;
inline constexpr long KBEFileReadNoSuchFileError = 260;
inline constexpr long KBEFileReadTooLargeError = 263;
inline constexpr long KBEFileWriteUnknownError = 512;
inline constexpr long KBEFileWriteNoPermissionError = 513;
inline constexpr long KBEFileWriteOutOfSpaceError = 640;

// The schema's type names, as the wrong-type error reports them ("expected").
inline constexpr const char* KBESettingsTypeNumber = "NSNumber";
inline constexpr const char* KBESettingsTypeString = "NSString";
inline constexpr const char* KBESettingsTypeDictionary = "NSDictionary";
inline constexpr const char* KBESettingsTypeArray = "NSArray";

// What installing settings sets in motion elsewhere in the daemon.
class KBEHelperSettingsDelegate {
public:
    virtual ~KBEHelperSettingsDelegate() = default;
    // The date the settings were submitted, for the backup activity (backup manager).
    virtual void setSubmittedDate(cal::Date date) = 0;
    // Turns the settings in force into the activities' criteria (main controller).
    virtual void applySettings() = 0;
    // Switches the backup engine's own automatic backups and local snapshots off when they
    // are on (backup manager).
    virtual void disableSystemScheduler() = 0;
};

// Owns the settings in force and their file. Used from the daemon's logic queue only.
class KBEHelperSettings {
public:
    static constexpr const char* kSettingsPath = "/Library/Keelbrook/Settings.plist";
    // The largest settings file read; a larger one is refused before it is parsed.
    static constexpr std::size_t kMaximumFileSize = plist::kSettingsSizeLimit;

    // Settings on the file at kSettingsPath in the environment's installation root, with
    // "TreatPassiveActivityAsActive" read from `defaults` (the daemon's defaults domain; null
    // reads as absent). The file is read only when owned by `fileOwner` (root; tests that
    // run as another user name their own). The settings in force are the defaults until
    // start().
    KBEHelperSettings(const VRNEnvironment& environment, std::shared_ptr<prefs::Domain> defaults,
                      KBEHelperSettingsDelegate& delegate, uid_t fileOwner = 0);

    const std::string& file() const { return _file; }
    // The settings in force.
    const plist::Dictionary& settings() const { return _settings; }

    // The start-up read: the settings in force become loadSettings().
    void start();

    // The twelve default keys ("Disabled" absent), built afresh on each call.
    plist::Dictionary defaultSettings() const;
    // An older release's dictionary in the current shape, every missing key at its default.
    // Never fails; idempotent.
    plist::Dictionary upgradedSettings(const plist::Dictionary& old) const;

    // The file's dictionary. Refused (KBEFileReadNoPermissionError) when the file is a
    // symbolic link, not a regular file, not owned by the expected owner or writable by group
    // or others; refused unparsed (KBEFileReadTooLargeError) when larger than
    // kMaximumFileSize. A missing file is KBEFileReadNoSuchFileError; one that does not parse
    // or whose root is no dictionary is KBEFileReadCorruptFileError.
    std::optional<plist::Dictionary> readSettingsWithError(VRNError* error) const;
    // Creates the file's folder when missing and replaces the file atomically with the
    // dictionary as a binary property list, mode 0644. A failure is logged ("Failed to write
    // settings. %@") and leaves the old file in place.
    bool writeSettings(const plist::Dictionary& settings, VRNError* error) const;
    // The file's settings upgraded and checked leniently, or the defaults when there is no
    // such file (silently) or it cannot be read or checked (logged). Never writes the file.
    plist::Dictionary loadSettings() const;
    // The one way to change the settings in force: checked strictly, then in force, written,
    // logged, applied; the system's own scheduler is switched off when anything is
    // scheduled. False with the validation error, nothing changed, when the check fails.
    bool installSettings(const plist::Dictionary& settings, bool resetSubmittedDate,
                         VRNError* error);

    // Checks a settings dictionary (null: missing, code 3 with "key" = "root") against the
    // settings schema.
    static bool validateSettings(const plist::Dictionary* settings, bool ignoreUnknownKeys,
                                 VRNError* error);
    // Checks `dictionary` against `schema` (shaped as settingsSchema(): every entry a
    // dictionary with a "class"), recursively. The first fault ends the check and is the one
    // reported, in `error` when given (no error is made otherwise).
    static bool validateDictionary(const plist::Dictionary& dictionary,
                                   const plist::Dictionary& schema, bool ignoreUnknownKeys,
                                   VRNError* error);
    // The settings schema: key -> {"class": type name, "optional": boolean, "schema": nested
    // schema}, built once.
    static const plist::Dictionary& settingsSchema();

    // Test seam: called at each step of a write of the file.
    void setWriteObserver(std::function<void(files::ReplaceStep)> observer);

private:
    std::string _file;
    std::shared_ptr<prefs::Domain> _defaults;
    KBEHelperSettingsDelegate& _delegate;
    uid_t _fileOwner;
    plist::Dictionary _settings;
    std::function<void(files::ReplaceStep)> _writeObserver;
};
