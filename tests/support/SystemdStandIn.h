#pragma once

// A stand-in systemd on a private D-Bus bus: it records Subscribe and StartTransientUnit
// calls and runs each transient unit's ExecStart with exactly the unit's Environment, then
// reports its end as systemd does (the service's PropertiesChanged, then JobRemoved). Its
// bus and the units' ends are handled on a queue of its own; the test reaches its state
// only through that queue, or waits for a unit's command to start.

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"
#include "tests/support/Waiter.h"

#include <csignal>
#include <map>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <vector>

namespace testsupport {

class SystemdStandIn {
public:
    // One StartTransientUnit request as received.
    struct Start {
        std::string name, mode;
        std::map<std::string, std::string> texts;              // "s" properties
        std::map<std::string, std::vector<std::string>> lists; // "as" properties
        std::string execPath;                                  // ExecStart's one command
        std::vector<std::string> execArguments;
        bool execIgnoresFailure = false;
        int otherProperties = 0; // of any other type
        pid_t pid = -1;          // the command, once started
    };

    explicit SystemdStandIn(const std::string& address) {
        if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, address.c_str()) < 0 ||
            sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_start(bus_) < 0 ||
            sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/systemd1",
                                     "org.freedesktop.systemd1.Manager", vtable(), this) < 0 ||
            sd_bus_request_name(bus_, "org.freedesktop.systemd1", 0) < 0) {
            return;
        }
        source_ = dispatch::ReadSource::create(sd_bus_get_fd(bus_), queue_, [this] { process(); });
        ready_ = source_ != nullptr;
    }
    ~SystemdStandIn() {
        on([&] {
            for (auto& [pid, source] : running_) {
                source->cancel();
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
            running_.clear();
        });
        if (source_) {
            source_->cancel();
            queue_->sync([] {});
        }
        sd_bus_flush_close_unref(bus_);
    }

    bool ready() const { return ready_; }

    // The next start is refused with systemd's error for a unit that exists.
    void refuseNextStart() {
        on([&] { refuse_ = true; });
    }
    // Units end without the service's PropertiesChanged (only JobRemoved).
    void omitPropertiesSignal() {
        on([&] { omitProperties_ = true; });
    }

    std::vector<Start> starts() {
        std::vector<Start> copy;
        on([&] { copy = starts_; });
        return copy;
    }
    int subscribed() {
        int count = 0;
        on([&] { count = subscribed_; });
        return count;
    }
    // Whether a unit's command is running now.
    bool running() {
        bool any = false;
        on([&] { any = !running_.empty(); });
        return any;
    }
    // Waits until `count` units' commands have been started since creation; false when
    // they are not within the wait limit.
    bool waitForCommands(int count) { return commandsStarted_.waitFor(count); }

private:
    template <class F>
    void on(F work) {
        queue_->sync([&] {
            work();
            sd_bus_flush(bus_);
        });
    }

    void process() {
        while (sd_bus_process(bus_, nullptr) > 0) {
        }
        sd_bus_flush(bus_);
    }

    static SystemdStandIn* self(void* userdata) { return static_cast<SystemdStandIn*>(userdata); }

    static int subscribe(sd_bus_message* m, void* userdata, sd_bus_error*) {
        ++self(userdata)->subscribed_;
        return sd_bus_reply_method_return(m, "");
    }

    static int readStrings(sd_bus_message* m, std::vector<std::string>* into) {
        char** strv = nullptr;
        const int r = sd_bus_message_read_strv(m, &strv);
        for (char** s = strv; s && *s; ++s) {
            into->push_back(*s);
            std::free(*s);
        }
        std::free(strv);
        return r;
    }

    static int readProperty(sd_bus_message* m, Start* start) {
        const char* name = nullptr;
        char type = 0;
        const char* contents = nullptr;
        int r = sd_bus_message_read(m, "s", &name);
        r = r < 0 ? r : sd_bus_message_peek_type(m, &type, &contents);
        if (r < 0) {
            return r;
        }
        const std::string signature = contents;
        if (signature == "s") {
            const char* value = nullptr;
            r = sd_bus_message_read(m, "v", "s", &value);
            start->texts[name] = value ? value : "";
        } else if (signature == "as") {
            r = sd_bus_message_enter_container(m, 'v', "as");
            r = r < 0 ? r : readStrings(m, &start->lists[name]);
            r = r < 0 ? r : sd_bus_message_exit_container(m);
        } else if (signature == "a(sasb)" && std::string(name) == "ExecStart") {
            const char* path = nullptr;
            int ignore = 0;
            r = sd_bus_message_enter_container(m, 'v', "a(sasb)");
            r = r < 0 ? r : sd_bus_message_enter_container(m, 'a', "(sasb)");
            r = r < 0 ? r : sd_bus_message_enter_container(m, 'r', "sasb");
            r = r < 0 ? r : sd_bus_message_read(m, "s", &path);
            start->execPath = path ? path : "";
            r = r < 0 ? r : readStrings(m, &start->execArguments);
            r = r < 0 ? r : sd_bus_message_read(m, "b", &ignore);
            start->execIgnoresFailure = ignore != 0;
            r = r < 0 ? r : sd_bus_message_exit_container(m);
            r = r < 0 ? r : sd_bus_message_exit_container(m);
            r = r < 0 ? r : sd_bus_message_exit_container(m);
        } else {
            ++start->otherProperties;
            r = sd_bus_message_skip(m, "v");
        }
        return r;
    }

    static int startTransientUnit(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        SystemdStandIn& stand = *self(userdata);
        Start start;
        const char *name = nullptr, *mode = nullptr;
        int r = sd_bus_message_read(m, "ss", &name, &mode);
        start.name = name ? name : "";
        start.mode = mode ? mode : "";
        r = r < 0 ? r : sd_bus_message_enter_container(m, 'a', "(sv)");
        while (r >= 0 && (r = sd_bus_message_enter_container(m, 'r', "sv")) > 0) {
            r = readProperty(m, &start);
            r = r < 0 ? r : sd_bus_message_exit_container(m);
        }
        if (r < 0) {
            return r;
        }
        if (stand.refuse_) {
            stand.refuse_ = false;
            stand.starts_.push_back(start);
            return sd_bus_error_setf(error, "org.freedesktop.systemd1.UnitExists",
                                     "Unit %s was already loaded or has a fragment file.", name);
        }
        const std::string job = "/org/freedesktop/systemd1/job/" + std::to_string(++stand.jobs_);
        r = sd_bus_reply_method_return(m, "o", job.c_str());
        stand.run(std::move(start), job);
        return r;
    }

    // Starts the unit's command with the unit's environment alone, as systemd would.
    void run(Start start, const std::string& job) {
        std::vector<char*> argv, envp;
        for (auto& a : start.execArguments) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        for (auto& e : start.lists["Environment"]) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        const std::uint32_t id = jobs_;
        pid_t pid = -1;
        if (::posix_spawn(&pid, start.execPath.c_str(), nullptr, nullptr, argv.data(),
                          envp.data()) != 0) {
            pid = -1;
        }
        start.pid = pid;
        starts_.push_back(start);
        if (pid < 0) {
            ended(start.name, id, job, W_EXITCODE(203, 0));
            return;
        }
        running_[pid] = dispatch::ProcessSource::create(
            pid, queue_, [this, pid, name = start.name, id, job](int status) {
                running_.erase(pid);
                ended(name, id, job, status);
            });
        commandsStarted_.notify();
    }

    void ended(const std::string& name, std::uint32_t id, const std::string& job, int status) {
        const bool exited = WIFEXITED(status);
        const int code = exited ? CLD_EXITED : CLD_KILLED;
        const int value = exited ? WEXITSTATUS(status) : WTERMSIG(status);
        if (!omitProperties_) {
            sd_bus_message* signal = nullptr;
            const std::string path = unitPath(name);
            sd_bus_message_new_signal(bus_, &signal, path.c_str(),
                                      "org.freedesktop.DBus.Properties", "PropertiesChanged");
            sd_bus_message_append(signal, "s", "org.freedesktop.systemd1.Service");
            sd_bus_message_append(signal, "a{sv}", 3, "Result", "s",
                                  exited && value == 0 ? "success"
                                  : exited             ? "exit-code"
                                                       : "signal",
                                  "ExecMainCode", "i", code, "ExecMainStatus", "i", value);
            sd_bus_message_append(signal, "as", 0);
            sd_bus_send(bus_, signal, nullptr);
            sd_bus_message_unref(signal);
        }
        sd_bus_emit_signal(bus_, "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager",
                           "JobRemoved", "uoss", id, job.c_str(), name.c_str(),
                           exited && value == 0 ? "done" : "failed");
        sd_bus_flush(bus_);
    }

    // systemd's escaping of unit names in object paths, written out here independently.
    static std::string unitPath(const std::string& name) {
        std::string path = "/org/freedesktop/systemd1/unit/";
        for (std::size_t i = 0; i < name.size(); ++i) {
            const unsigned char c = name[i];
            if (std::isalpha(c) || (i > 0 && std::isdigit(c))) {
                path += static_cast<char>(c);
            } else {
                char escaped[4];
                std::snprintf(escaped, sizeof escaped, "_%02x", c);
                path += escaped;
            }
        }
        return path;
    }

    static const sd_bus_vtable* vtable() {
        static const sd_bus_vtable table[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("Subscribe", "", "", &SystemdStandIn::subscribe, 0),
            SD_BUS_METHOD("StartTransientUnit", "ssa(sv)a(sa(sv))", "o",
                          &SystemdStandIn::startTransientUnit, 0),
            SD_BUS_SIGNAL("JobRemoved", "uoss", 0), SD_BUS_VTABLE_END};
        return table;
    }

    sd_bus* bus_ = nullptr;
    dispatch::QueuePtr queue_ = dispatch::SerialQueue::create("com.vornhal.test.systemd");
    std::unique_ptr<dispatch::ReadSource> source_;
    std::map<pid_t, std::unique_ptr<dispatch::ProcessSource>> running_;
    std::vector<Start> starts_;
    Waiter commandsStarted_;
    int subscribed_ = 0;
    std::uint32_t jobs_ = 0;
    bool refuse_ = false;
    bool omitProperties_ = false;
    bool ready_ = false;
};

} // namespace testsupport
