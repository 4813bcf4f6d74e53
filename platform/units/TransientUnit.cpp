#include "platform/units/TransientUnit.h"

#include "platform/paths/Paths.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>

namespace units {

namespace {

constexpr const char* kSystemd = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManager = "org.freedesktop.systemd1.Manager";
constexpr const char* kServiceInterface = "org.freedesktop.systemd1.Service";

// What the signals told about the unit so far; the subscription's queue writes it, the
// starter waits on it.
struct Progress {
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<std::string> jobResult; // "done", "failed", "canceled"...
    std::optional<int> exitCode;          // CLD_EXITED, CLD_KILLED...
    std::optional<int> exitStatus;
    bool dropped = false;

    void update(const std::function<void(Progress&)>& change) {
        std::lock_guard guard(mutex);
        change(*this);
        changed.notify_all();
    }
};

// Appends ("name", variant of `type`) with the contents `fill` appends.
int appendProperty(sd_bus_message* m, const char* name, const char* type,
                   const std::function<int(sd_bus_message*)>& fill) {
    int r = sd_bus_message_open_container(m, 'r', "sv");
    r = r < 0 ? r : sd_bus_message_append(m, "s", name);
    r = r < 0 ? r : sd_bus_message_open_container(m, 'v', type);
    r = r < 0 ? r : fill(m);
    r = r < 0 ? r : sd_bus_message_close_container(m);
    return r < 0 ? r : sd_bus_message_close_container(m);
}

int appendText(sd_bus_message* m, const char* name, const std::string& value) {
    return appendProperty(m, name, "s", [&](sd_bus_message* v) {
        return sd_bus_message_append(v, "s", value.c_str());
    });
}

int appendStrings(sd_bus_message* m, const std::vector<std::string>& values) {
    std::vector<char*> strv;
    for (const std::string& value : values) {
        strv.push_back(const_cast<char*>(value.c_str()));
    }
    strv.push_back(nullptr);
    return sd_bus_message_append_strv(m, strv.data());
}

int appendStartArguments(sd_bus_message* m, const TransientService& service) {
    int r = sd_bus_message_append(m, "ss", service.name.c_str(), "fail");
    r = r < 0 ? r : sd_bus_message_open_container(m, 'a', "(sv)");
    r = r < 0 ? r : appendText(m, "Description", service.description);
    // The start job ends when the command has, so its result is the command's.
    r = r < 0 ? r : appendText(m, "Type", "oneshot");
    r = r < 0 ? r : appendText(m, "CollectMode", "inactive-or-failed");
    r = r < 0 ? r : appendProperty(m, "Environment", "as", [&](sd_bus_message* v) {
        return appendStrings(v, service.environment);
    });
    r = r < 0 ? r : appendProperty(m, "ExecStart", "a(sasb)", [&](sd_bus_message* v) {
        int s = sd_bus_message_open_container(v, 'a', "(sasb)");
        s = s < 0 ? s : sd_bus_message_open_container(v, 'r', "sasb");
        s = s < 0 ? s : sd_bus_message_append(v, "s", service.command.front().c_str());
        s = s < 0 ? s : appendStrings(v, service.command);
        s = s < 0 ? s : sd_bus_message_append(v, "b", 0);
        s = s < 0 ? s : sd_bus_message_close_container(v);
        return s < 0 ? s : sd_bus_message_close_container(v);
    });
    r = r < 0 ? r : sd_bus_message_close_container(m);
    return r < 0 ? r : sd_bus_message_append(m, "a(sa(sv))", 0);
}

// The service's ExecMainCode and ExecMainStatus among the changed properties of a
// PropertiesChanged signal.
void readExitProperties(sd_bus_message* signal, std::optional<int>* code,
                        std::optional<int>* status) {
    const char* interface = nullptr;
    if (sd_bus_message_read(signal, "s", &interface) < 0 ||
        std::strcmp(interface, kServiceInterface) != 0 ||
        sd_bus_message_enter_container(signal, 'a', "{sv}") <= 0) {
        return;
    }
    while (sd_bus_message_enter_container(signal, 'e', "sv") > 0) {
        const char* name = nullptr;
        if (sd_bus_message_read(signal, "s", &name) < 0) {
            return;
        }
        std::optional<int>* target = std::strcmp(name, "ExecMainCode") == 0     ? code
                                     : std::strcmp(name, "ExecMainStatus") == 0 ? status
                                                                                : nullptr;
        int value = 0;
        if (!target) {
            if (sd_bus_message_skip(signal, "v") < 0) {
                return;
            }
        } else if (sd_bus_message_read(signal, "v", "i", &value) < 0) {
            return;
        } else {
            *target = value;
        }
        sd_bus_message_exit_container(signal);
    }
}

std::string signalRule(const std::string& path, const char* interface, const char* member,
                       const std::string& extra = {}) {
    return std::string("type='signal',sender='") + kSystemd + "',path='" + path + "',interface='" +
           interface + "',member='" + member + "'" + extra;
}

// An integer property of the service, while systemd still has the unit.
std::optional<int> serviceProperty(bus::Connection& systemBus, const std::string& path,
                                   const char* name) {
    std::optional<int> value;
    std::string ignored;
    systemBus.call(
        {kSystemd, path.c_str(), "org.freedesktop.DBus.Properties", "Get"}, &ignored,
        [&](sd_bus_message* call) {
            return sd_bus_message_append(call, "ss", kServiceInterface, name);
        },
        [&](sd_bus_message* reply, std::string*) {
            int read = 0;
            if (sd_bus_message_read(reply, "v", "i", &read) < 0) {
                return false;
            }
            value = read;
            return true;
        });
    return value;
}

} // namespace

std::optional<int> runTransientService(bus::Connection& systemBus, const TransientService& service,
                                       std::string* error) {
    if (service.command.empty()) {
        *error = "no command to run";
        return std::nullopt;
    }
    const std::string path = unitObjectPath(service.name);
    auto progress = std::make_shared<Progress>();
    // Subscribed before the unit starts: no signal of it can be missed. The unit's name is
    // unique to this process, so its job is recognised by it before the start's reply.
    auto subscription = systemBus.subscribe(
        {signalRule(kManagerPath, kManager, "JobRemoved"),
         signalRule(path, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                    std::string(",arg0='") + kServiceInterface + "'")},
        dispatch::SerialQueue::create("com.vornhal.transient-unit"),
        [progress, name = service.name](sd_bus_message* signal) -> dispatch::Work {
            if (sd_bus_message_is_signal(signal, kManager, "JobRemoved")) {
                std::uint32_t id = 0;
                const char *job = nullptr, *unit = nullptr, *result = nullptr;
                if (sd_bus_message_read(signal, "uoss", &id, &job, &unit, &result) < 0 ||
                    name != unit) {
                    return {};
                }
                return [progress, done = std::string(result)] {
                    progress->update([&](Progress& p) { p.jobResult = done; });
                };
            }
            std::optional<int> code, status;
            readExitProperties(signal, &code, &status);
            if (!code && !status) {
                return {};
            }
            return [progress, code, status] {
                progress->update([&](Progress& p) {
                    p.exitCode = code ? code : p.exitCode;
                    p.exitStatus = status ? status : p.exitStatus;
                });
            };
        },
        [progress] { progress->update([](Progress& p) { p.dropped = true; }); }, error);
    if (!subscription) {
        return std::nullopt;
    }
    // systemd sends its signals only to clients that asked for them.
    if (!systemBus.call({kSystemd, kManagerPath, kManager, "Subscribe"}, error) ||
        !systemBus.call(
            {kSystemd, kManagerPath, kManager, "StartTransientUnit"}, error,
            [&](sd_bus_message* call) { return appendStartArguments(call, service); })) {
        return std::nullopt;
    }

    std::unique_lock lock(progress->mutex);
    progress->changed.wait(lock, [&] { return progress->jobResult || progress->dropped; });
    if (!progress->jobResult) {
        *error = "the system bus went away while " + service.name + " ran";
        return std::nullopt;
    }
    if (*progress->jobResult == "done") {
        return 0;
    }
    std::optional<int> code = progress->exitCode, status = progress->exitStatus;
    lock.unlock();
    // systemd reports the unit's change before its job's end; should it not have, the unit
    // may still be there to ask.
    if (!status) {
        code = serviceProperty(systemBus, path, "ExecMainCode");
        status = serviceProperty(systemBus, path, "ExecMainStatus");
    }
    return code == CLD_EXITED && status && *status != 0 ? *status : 1;
}

bool systemdRunning() {
    struct stat st {};
    return ::lstat(paths::path("/run/systemd/system").c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string unitOfControlGroup(std::string_view cgroupText) {
    while (!cgroupText.empty()) {
        const std::size_t end = cgroupText.find('\n');
        const std::string_view line = cgroupText.substr(0, end);
        cgroupText =
            end == std::string_view::npos ? std::string_view{} : cgroupText.substr(end + 1);
        if (line.starts_with("0::")) {
            const std::size_t slash = line.rfind('/');
            return slash == std::string_view::npos ? std::string{}
                                                   : std::string(line.substr(slash + 1));
        }
    }
    return {};
}

std::string unitObjectPath(std::string_view name) {
    // systemd's bus label escaping: anything but ASCII letters and digits (and a leading
    // digit) becomes "_" and two lower-case hex digits.
    static constexpr char kHex[] = "0123456789abcdef";
    std::string path = "/org/freedesktop/systemd1/unit/";
    for (std::size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        const bool digit = c >= '0' && c <= '9';
        if (letter || (digit && i > 0)) {
            path += static_cast<char>(c);
        } else {
            path += {'_', kHex[c >> 4], kHex[c & 15]};
        }
    }
    return path;
}

} // namespace units
