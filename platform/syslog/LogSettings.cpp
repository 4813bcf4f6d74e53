#include "platform/syslog/LogSettings.h"

#include "platform/files/Files.h"
#include "platform/paths/Paths.h"
#include "platform/plist/Plist.h"

#include <array>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>

namespace systemlog {

namespace {

constexpr std::size_t kMaxSettingSize = 64 * 1024;
constexpr std::array<std::pair<ModeLevel, const char*>, 4> kLevelNames{{
    {ModeLevel::Off, "off"},
    {ModeLevel::Default, "default"},
    {ModeLevel::Info, "info"},
    {ModeLevel::Debug, "debug"},
}};

std::optional<ModeLevel> levelIn(const plist::Value& dictionary, std::string_view key) {
    const plist::Value* value = dictionary.find(key);
    const std::string* text = value ? value->asString() : nullptr;
    return text ? modeLevelNamed(*text) : std::nullopt;
}

// The setting's bytes when the file is one only root can have written.
std::optional<std::vector<std::uint8_t>> readTrustedFile(const std::string& path) {
    files::Descriptor fd =
        files::openFile(path, O_RDONLY | O_NONBLOCK, 0, files::Symlinks::DoNotFollow);
    struct stat status {};
    if (!fd.valid() || fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_uid != 0 || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return std::nullopt;
    }
    return files::readAll(fd.get(), kMaxSettingSize, path);
}

} // namespace

std::optional<ModeLevel> modeLevelNamed(std::string_view name) {
    for (const auto& [level, levelName] : kLevelNames) {
        if (name == levelName) {
            return level;
        }
    }
    return std::nullopt;
}

const char* modeLevelName(ModeLevel level) {
    for (const auto& [candidate, name] : kLevelNames) {
        if (candidate == level) {
            return name;
        }
    }
    return "default";
}

std::optional<LogMode> parseMode(std::string_view text, const LogMode& base, std::string* error) {
    LogMode mode = base;
    const auto fail = [&](std::string message) -> std::optional<LogMode> {
        if (error) {
            *error = std::move(message);
        }
        return std::nullopt;
    };
    if (text.empty()) {
        return fail("the mode is empty");
    }
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view part = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        const std::size_t colon = part.find(':');
        if (colon == std::string_view::npos) {
            return fail("'" + std::string(part) + "' is not <key>:<value>");
        }
        const std::string_view key = part.substr(0, colon);
        const std::string_view value = part.substr(colon + 1);
        const std::optional<ModeLevel> level = modeLevelNamed(value);
        if (!level) {
            return fail("'" + std::string(value) + "' is not off, default, info or debug");
        }
        if (key == "level") {
            mode.level = *level;
        } else if (key == "persist") {
            mode.persist = *level;
        } else {
            return fail("unknown mode key '" + std::string(key) + "' (level or persist)");
        }
    }
    return mode;
}

bool isValidSubsystemName(std::string_view subsystem) {
    if (subsystem.empty() || subsystem.size() > 255 || subsystem.front() == '.') {
        return false;
    }
    for (const char c : subsystem) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

std::string settingPath(std::string_view subsystem) {
    return paths::path("/Library/Keelbrook/logging/" + std::string(subsystem) + ".plist");
}

std::optional<LogMode> readMode(std::string_view subsystem) {
    if (!isValidSubsystemName(subsystem)) {
        return std::nullopt;
    }
    const auto bytes = readTrustedFile(settingPath(subsystem));
    if (!bytes) {
        return std::nullopt;
    }
    const auto value = plist::read(*bytes, kMaxSettingSize, nullptr);
    if (!value) {
        return std::nullopt;
    }
    const auto level = levelIn(*value, "Level");
    const auto persist = levelIn(*value, "Persist");
    if (!level || !persist) {
        return std::nullopt;
    }
    return LogMode{*level, *persist};
}

bool debugMessagesEnabled(std::string_view subsystem) {
    const auto mode = readMode(subsystem);
    return !mode || mode->level == ModeLevel::Debug;
}

bool writeMode(std::string_view subsystem, const LogMode& mode, std::string* error) {
    if (!isValidSubsystemName(subsystem)) {
        if (error) {
            *error = "'" + std::string(subsystem) + "' is not a subsystem name";
        }
        return false;
    }
    const std::string path = settingPath(subsystem);
    std::error_code created;
    std::filesystem::create_directories(files::parentOf(path), created);
    if (created) {
        if (error) {
            *error = "cannot create " + files::parentOf(path) + ": " + created.message();
        }
        return false;
    }
    const plist::Value value(plist::Dictionary{{"Level", modeLevelName(mode.level)},
                                               {"Persist", modeLevelName(mode.persist)}});
    const auto text = plist::writeXml(value, error);
    if (!text) {
        return false;
    }
    files::Error failure;
    files::ReplaceOptions options;
    options.mode = 0644;
    if (!files::replaceFile(path, plist::bytesOf(*text), options, &failure)) {
        if (error) {
            *error = failure.text;
        }
        return false;
    }
    return true;
}

} // namespace systemlog
