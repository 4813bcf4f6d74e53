#include "engine/core/Preferences.h"

#include "engine/core/EngineFiles.h"

namespace engine {

std::vector<std::string> defaultIncludedFolders() {
    return {"/home", "/etc"};
}

std::vector<std::string> defaultExclusions() {
    return {
        "/home/*/.cache", "/home/*/.local/share/Trash", "/root/.cache", "/root/.local/share/Trash",
        "/var/cache",     ".keelbrook-snapshots",
    };
}

Preferences::Preferences() : Preferences(preferencesFile()) {}

Preferences::Preferences(std::string file) : domain_(kDomainName, std::move(file)) {}

bool Preferences::boolean(const char* key, bool fallback) {
    const std::optional<plist::Value> value = domain_.value(key);
    if (!value || !value->isNumber()) {
        return fallback;
    }
    return value->asBoolean().value_or(fallback);
}

bool Preferences::setBoolean(const char* key, bool value, std::string* error) {
    return domain_.setValue(key, plist::Value(value), error);
}

std::optional<std::string> Preferences::repository() {
    const std::optional<plist::Value> value = domain_.value(kRepositoryKey);
    if (!value || !value->asString() || value->asString()->empty()) {
        return std::nullopt;
    }
    return *value->asString();
}

std::optional<std::string> Preferences::lastDestinationID() {
    const std::optional<plist::Value> value = domain_.value(kLastDestinationIDKey);
    if (!value || !value->asString()) {
        return std::nullopt;
    }
    return *value->asString();
}

std::optional<std::vector<std::string>> Preferences::strings(const char* key) {
    const std::optional<plist::Value> value = domain_.value(key);
    if (!value || !value->asArray()) {
        return std::nullopt;
    }
    std::vector<std::string> result;
    for (const plist::Value& item : *value->asArray()) {
        if (const std::string* text = item.asString(); text != nullptr && !text->empty()) {
            result.push_back(*text);
        }
    }
    return result;
}

bool Preferences::setStrings(const char* key, const std::vector<std::string>& values,
                             std::string* error) {
    plist::Array array(values.begin(), values.end());
    return domain_.setValue(key, plist::Value(std::move(array)), error);
}

std::vector<std::string> Preferences::includedFolders() {
    return strings(kIncludedFoldersKey).value_or(defaultIncludedFolders());
}

std::vector<std::string> Preferences::exclusions() {
    return strings(kExclusionsKey).value_or(defaultExclusions());
}

bool Preferences::setIncludedFolders(const std::vector<std::string>& folders, std::string* error) {
    return setStrings(kIncludedFoldersKey, folders, error);
}

bool Preferences::setExclusions(const std::vector<std::string>& patterns, std::string* error) {
    return setStrings(kExclusionsKey, patterns, error);
}

bool Preferences::setDestination(const std::string& repository, const std::string& id,
                                 std::string* error) {
    plist::Array destinations;
    if (const std::optional<plist::Value> value = domain_.value(kDestinationsKey);
        value && value->asArray()) {
        destinations = *value->asArray();
    }
    destinations.push_back(plist::Value(plist::Dictionary{{kDestinationIDKey, plist::Value(id)}}));
    return domain_.setValue(kRepositoryKey, plist::Value(repository), error) &&
           domain_.setValue(kDestinationsKey, plist::Value(std::move(destinations)), error) &&
           domain_.setValue(kLastDestinationIDKey, plist::Value(id), error);
}

bool Preferences::recordResult(const std::string& id, long result, double date,
                               std::string* error) {
    plist::Array destinations;
    if (const std::optional<plist::Value> value = domain_.value(kDestinationsKey);
        value && value->asArray()) {
        destinations = *value->asArray();
    }
    plist::Value* entry = nullptr;
    for (plist::Value& candidate : destinations) {
        const plist::Value* candidateID = candidate.find(kDestinationIDKey);
        if (candidateID != nullptr && candidateID->asString() && *candidateID->asString() == id) {
            entry = &candidate;
            break;
        }
    }
    if (entry == nullptr) {
        destinations.push_back(
            plist::Value(plist::Dictionary{{kDestinationIDKey, plist::Value(id)}}));
        entry = &destinations.back();
    }
    plist::Dictionary& fields = entry->mutableDictionary();
    fields.insert_or_assign(kResultKey, plist::Value(static_cast<std::int64_t>(result)));
    fields.insert_or_assign(kLastAttemptDateKey, plist::Value(plist::Date{date}));
    if (result == 0) {
        fields.insert_or_assign(kLastSuccessDateKey, plist::Value(plist::Date{date}));
    }
    return domain_.setValue(kDestinationsKey, plist::Value(std::move(destinations)), error);
}

std::optional<plist::Dictionary> Preferences::destination(const std::string& id) {
    const std::optional<plist::Value> value = domain_.value(kDestinationsKey);
    if (!value || !value->asArray()) {
        return std::nullopt;
    }
    for (const plist::Value& entry : *value->asArray()) {
        const plist::Value* entryID = entry.find(kDestinationIDKey);
        if (entryID != nullptr && entryID->asString() && *entryID->asString() == id &&
            entry.asDictionary()) {
            return *entry.asDictionary();
        }
    }
    return std::nullopt;
}

} // namespace engine
