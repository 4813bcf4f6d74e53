// The settings schema and the recursive check of a dictionary against a schema.

#include "common/KBEErrors.h"
#include "scheduler/daemon/KBEHelperSettings.h"

namespace {

plist::Value entry(const char* type, bool optional = false,
                   std::optional<plist::Dictionary> schema = std::nullopt) {
    plist::Dictionary made{{"class", type}};
    if (optional) {
        made.emplace("optional", true);
    }
    if (schema) {
        made.emplace("schema", std::move(*schema));
    }
    return plist::Value(std::move(made));
}

plist::Dictionary buildSettingsSchema() {
    const plist::Value number = entry(KBESettingsTypeNumber);
    return {
        {"Disabled", entry(KBESettingsTypeNumber, true)},
        {"Backups", number},
        {"Snapshots", number},
        {"AllowBattery", number},
        {"DontRunWhenPassive", number},
        {"DontRunWithSleepPreventers", number},
        {"DontRunWhenNotNetworkWired", number},
        {"Suspend", number},
        {"SuspendSettings", entry(KBESettingsTypeDictionary, false,
                                  plist::Dictionary{{"StartHour", number},
                                                    {"StartMinute", number},
                                                    {"EndHour", number},
                                                    {"EndMinute", number}})},
        {"BackupsMode", entry(KBESettingsTypeString)},
        {"WhenInactive", entry(KBESettingsTypeDictionary, false, plist::Dictionary{})},
        {"Interval", entry(KBESettingsTypeDictionary, false,
                           plist::Dictionary{{"Minutes", entry(KBESettingsTypeNumber, true)},
                                             {"Hours", entry(KBESettingsTypeNumber, true)},
                                             {"Days", entry(KBESettingsTypeNumber, true)},
                                             {"Weeks", entry(KBESettingsTypeNumber, true)}})},
        {"CalendarIntervals",
         entry(KBESettingsTypeDictionary, false,
               plist::Dictionary{
                   {"Intervals",
                    entry(KBESettingsTypeArray, false,
                          plist::Dictionary{{"Hour", number},
                                            {"Minute", number},
                                            {"Weekday", entry(KBESettingsTypeNumber, true)}})},
                   {"ASAP", number}})},
    };
}

bool hasType(const plist::Value& value, const std::string& type) {
    if (type == KBESettingsTypeNumber) {
        return value.isNumber(); // booleans, integers and reals alike
    }
    if (type == KBESettingsTypeString) {
        return value.isString();
    }
    if (type == KBESettingsTypeDictionary) {
        return value.isDictionary();
    }
    return type == KBESettingsTypeArray && value.isArray();
}

bool fail(VRNError* error, long code, VRNUserInfo info) {
    if (error) {
        *error = VRNError::errorWithDomain(KBEErrorDomain, code, std::move(info));
    }
    return false;
}

bool wrongType(VRNError* error, const std::string& key, const char* expected) {
    return fail(error, KBEErrorWrongType, {{"key", key}, {"expected", expected}});
}

const plist::Dictionary& nestedSchema(const plist::Dictionary& entry) {
    static const plist::Dictionary none;
    const auto found = entry.find("schema");
    const plist::Dictionary* schema = found == entry.end() ? nullptr : found->second.asDictionary();
    return schema ? *schema : none;
}

} // namespace

const plist::Dictionary& KBEHelperSettings::settingsSchema() {
    static const plist::Dictionary schema = buildSettingsSchema();
    return schema;
}

bool KBEHelperSettings::validateSettings(const plist::Dictionary* settings, bool ignoreUnknownKeys,
                                         VRNError* error) {
    if (!settings) {
        return fail(error, KBEErrorMissingValue, {{"key", "root"}});
    }
    return validateDictionary(*settings, settingsSchema(), ignoreUnknownKeys, error);
}

// Both passes walk their dictionary in its enumeration order, which for plist::Dictionary is
// ascending key order: of several faults, the first in that order is the one reported.
bool KBEHelperSettings::validateDictionary(const plist::Dictionary& dictionary,
                                           const plist::Dictionary& schema, bool ignoreUnknownKeys,
                                           VRNError* error) {
    if (!ignoreUnknownKeys) {
        for (const auto& [key, value] : dictionary) {
            if (!schema.contains(key)) {
                return fail(error, KBEErrorUnknownKey, {{"key", key}});
            }
        }
    }
    for (const auto& [key, entryValue] : schema) {
        const plist::Dictionary& entry = *entryValue.asDictionary();
        const auto found = dictionary.find(key);
        if (found == dictionary.end()) {
            const plist::Value* optional = entryValue.find("optional");
            if (!(optional && optional->asBoolean().value_or(false))) {
                return fail(error, KBEErrorMissingValue, {{"key", key}});
            }
            continue;
        }
        const plist::Value& value = found->second;
        const std::string& type = *entryValue.find("class")->asString();
        if (!hasType(value, type)) {
            return wrongType(error, key, type.c_str());
        }
        if (const plist::Dictionary* nested = value.asDictionary()) {
            if (!validateDictionary(*nested, nestedSchema(entry), ignoreUnknownKeys, error)) {
                return false;
            }
        } else if (const plist::Array* elements = value.asArray()) {
            for (const plist::Value& element : *elements) {
                // Every element must itself be a dictionary; anything else is reported
                // against the array's key.
                const plist::Dictionary* nested = element.asDictionary();
                if (!nested) {
                    return wrongType(error, key, KBESettingsTypeDictionary);
                }
                if (!validateDictionary(*nested, nestedSchema(entry), ignoreUnknownKeys, error)) {
                    return false;
                }
            }
        }
    }
    return true;
}
