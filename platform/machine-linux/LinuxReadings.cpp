#include "platform/machine-linux/LinuxReadings.h"

#include "platform/files/Files.h"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <system_error>
#include <vector>

namespace machine::linuxfs {

namespace fs = std::filesystem;

namespace {

// The kernel's attribute and pressure files are a page at most.
constexpr std::size_t kMaxReadingSize = 64 * 1024;

std::optional<std::string> readText(const std::string& path) {
    const auto bytes = files::readFile(path, kMaxReadingSize);
    if (!bytes) {
        return std::nullopt;
    }
    return std::string(bytes->begin(), bytes->end());
}

} // namespace

std::optional<std::string> readFirstLine(const std::string& path) {
    const auto text = readText(path);
    if (!text || text->empty()) {
        return std::nullopt;
    }
    return text->substr(0, text->find('\n'));
}

namespace {

std::optional<long long> readInteger(const std::string& path) {
    const auto line = readFirstLine(path);
    if (!line) {
        return std::nullopt;
    }
    long long value = 0;
    const char* end = line->data() + line->size();
    auto [at, ec] = std::from_chars(line->data(), end, value);
    if (ec != std::errc() || at == line->data()) {
        return std::nullopt;
    }
    return value;
}

// The entries of a folder, empty when it cannot be listed.
std::vector<fs::path> entries(const std::string& folder) {
    std::vector<fs::path> result;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        result.push_back(it->path());
    }
    return result;
}

} // namespace

namespace {

// A present battery that powers the system (not a peripheral's).
bool isSystemBattery(const fs::path& supply) {
    if (readFirstLine(supply / "type") != "Battery") {
        return false;
    }
    // Without a "present" or "scope" attribute the battery is a present system one.
    const bool present = readInteger(supply / "present").value_or(1) == 1;
    const bool device = readFirstLine(supply / "scope") == "Device";
    return present && !device;
}

} // namespace

PowerSource readPowerSource(const std::string& powerSupplyFolder) {
    bool systemBattery = false;
    for (const auto& supply : entries(powerSupplyFolder)) {
        if (readFirstLine(supply / "type") == "Mains") {
            if (readInteger(supply / "online").value_or(0) == 1) {
                return PowerSource::AC;
            }
        } else {
            systemBattery = systemBattery || isSystemBattery(supply);
        }
    }
    return systemBattery ? PowerSource::Battery : PowerSource::AC;
}

bool hasSystemBattery(const std::string& powerSupplyFolder) {
    for (const auto& supply : entries(powerSupplyFolder)) {
        if (isSystemBattery(supply)) {
            return true;
        }
    }
    return false;
}

SystemLoad systemLoadFromPressure(std::string_view text) {
    std::istringstream in{std::string(text)};
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("some ", 0) != 0) {
            continue;
        }
        const auto at = line.find("avg10=");
        if (at == std::string::npos) {
            return SystemLoad::Great;
        }
        const char* begin = line.data() + at + 6;
        double percent = 0;
        auto [end, ec] = std::from_chars(begin, line.data() + line.size(), percent);
        if (ec != std::errc() || end == begin || !std::isfinite(percent)) {
            return SystemLoad::Great;
        }
        if (percent < 20) {
            return SystemLoad::Great;
        }
        return percent < 60 ? SystemLoad::OK : SystemLoad::Bad;
    }
    return SystemLoad::Great;
}

SystemLoad readSystemLoad(const std::string& pressureFile) {
    return systemLoadFromPressure(readText(pressureFile).value_or(""));
}

ThermalLevel readThermalLevel(const std::string& thermalFolder) {
    ThermalLevel level = ThermalLevel::Nominal;
    for (const auto& zone : entries(thermalFolder)) {
        if (zone.filename().string().rfind("thermal_zone", 0) != 0) {
            continue; // cooling devices share the folder
        }
        const auto temperature = readInteger(zone / "temp");
        if (!temperature) {
            continue;
        }
        for (int trip = 0;; ++trip) {
            const std::string prefix = "trip_point_" + std::to_string(trip);
            const auto type = readFirstLine(zone / (prefix + "_type"));
            if (!type) {
                break;
            }
            const auto tripTemperature = readInteger(zone / (prefix + "_temp"));
            if (!tripTemperature || *temperature < *tripTemperature) {
                continue;
            }
            if (*type == "hot" || *type == "critical") {
                return ThermalLevel::Heavy;
            }
            if (*type == "passive") {
                level = ThermalLevel::Moderate;
            }
        }
    }
    return level;
}

bool isWirelessInterface(const std::string& netFolder, std::string_view interface) {
    if (interface.empty() || interface.find('/') != std::string_view::npos || interface == "." ||
        interface == "..") {
        return false;
    }
    const fs::path device = fs::path(netFolder) / std::string(interface);
    std::error_code ec;
    return fs::exists(device / "wireless", ec) || fs::exists(device / "phy80211", ec);
}

std::string processName(const std::string& procFolder, int pid) {
    if (pid <= 0) {
        return {};
    }
    return readFirstLine(procFolder + "/" + std::to_string(pid) + "/comm").value_or("");
}

} // namespace machine::linuxfs
