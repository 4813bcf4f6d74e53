#include "engine/core/Credentials.h"

#include "platform/files/Files.h"

#include <algorithm>
#include <array>

namespace engine {

namespace {

bool validName(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    });
}

// Why `name` may not be set, or nullptr when it may.
const char* refusal(std::string_view name) {
    static constexpr std::array<std::string_view, 2> kEngineOwned = {"RESTIC_PASSWORD",
                                                                     "RESTIC_REPOSITORY"};
    for (std::string_view prefix : kEngineOwned) {
        if (name.starts_with(prefix)) {
            return "is set by the engine itself";
        }
    }
    static constexpr std::array<std::string_view, 3> kProgramChoosing = {"PATH", "GCONV_PATH",
                                                                         "LD_"};
    for (std::string_view chosen : kProgramChoosing) {
        if (chosen.ends_with('_') ? name.starts_with(chosen) : name == chosen) {
            return "would change which program runs";
        }
    }
    return nullptr;
}

} // namespace

std::optional<std::vector<std::string>> parseCredentials(std::string_view text,
                                                         std::string* error) {
    std::vector<std::string> entries;
    std::vector<std::string_view> names;
    std::size_t number = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        if (line.empty() || line.starts_with('#')) {
            continue;
        }
        const std::string where = "line " + std::to_string(number) + ": ";
        const std::size_t equals = line.find('=');
        const std::string_view name = line.substr(0, equals);
        if (equals == std::string_view::npos || !validName(name)) {
            *error = where + "not NAME=VALUE with a name of A-Z, 0-9 and _";
            return std::nullopt;
        }
        if (line.find('\0') != std::string_view::npos) {
            *error = where + "the value of " + std::string(name) + " holds a NUL byte";
            return std::nullopt;
        }
        if (const char* reason = refusal(name)) {
            *error = where + std::string(name) + " " + reason;
            return std::nullopt;
        }
        if (std::find(names.begin(), names.end(), name) != names.end()) {
            *error = where + std::string(name) + " is given twice";
            return std::nullopt;
        }
        names.push_back(name);
        entries.emplace_back(line);
    }
    return entries;
}

std::vector<std::string> readCredentials(const std::string& file) {
    const auto bytes = files::readFile(file, kMaxCredentialsSize);
    if (!bytes) {
        return {};
    }
    std::string ignored;
    return parseCredentials(
               std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()),
               &ignored)
        .value_or(std::vector<std::string>{});
}

} // namespace engine
