#pragma once

// A stand-in login manager served on a private D-Bus bus that the test starts: it answers
// Inhibit, ListInhibitors and ListSessions, serves sessions' Type and IdleHint, and emits
// PrepareForSleep and property changes when the test asks. Its bus is processed on a queue
// of its own; the test reaches its state only through that queue.

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"
#include "tests/support/PrivateBus.h"

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <poll.h>
#include <signal.h>
#include <string>
#include <systemd/sd-bus.h>
#include <unistd.h>
#include <vector>

namespace machinetest {

using testsupport::PrivateBus;

class LogindStandIn {
public:
    struct Inhibitor {
        std::string what, who, why, mode;
        std::uint32_t uid = 0, pid = 0;
        int released = -1; // read end of the pipe handed out; hangs up once closed
    };
    struct Session {
        std::string id;
        std::uint32_t uid = 0;
        std::string type;
        bool idle = false;
        std::string path;
        sd_bus_slot* slot = nullptr;
        bool active = true;
    };

    explicit LogindStandIn(const std::string& address) {
        if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, address.c_str()) < 0 ||
            sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_negotiate_fds(bus_, 1) < 0 ||
            sd_bus_start(bus_) < 0 ||
            sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/login1",
                                     "org.freedesktop.login1.Manager", managerVtable(), this) < 0 ||
            sd_bus_request_name(bus_, "org.freedesktop.login1", 0) < 0) {
            return;
        }
        source_ = dispatch::ReadSource::create(sd_bus_get_fd(bus_), queue_, [this] { process(); });
        ready_ = source_ != nullptr;
    }
    ~LogindStandIn() {
        if (source_) {
            source_->cancel();
            queue_->sync([] {}); // a handler that was running has finished
        }
        for (auto& session : sessions_) {
            sd_bus_slot_unref(session.slot);
        }
        for (auto& inhibitor : inhibitors_) {
            if (inhibitor.released >= 0) {
                ::close(inhibitor.released);
            }
        }
        sd_bus_flush_close_unref(bus_);
    }

    bool ready() const { return ready_; }

    // Runs `work` on the stand-in's queue, where its state lives.
    template <class F>
    void on(F work) {
        queue_->sync([&] {
            work();
            sd_bus_flush(bus_);
        });
    }

    // The inhibitors whose holders still keep them (the test's own included).
    std::vector<Inhibitor> liveInhibitors() {
        std::vector<Inhibitor> live;
        on([&] { live = live_(); });
        return live;
    }

    // Waits up to `timeoutMs` for a holder to let go of an inhibitor: the bus daemon passes
    // the descriptor on and closes its own copy a moment later.
    void waitForRelease(int timeoutMs) {
        on([&] {
            std::vector<pollfd> waits;
            for (const auto& inhibitor : live_()) {
                if (inhibitor.released >= 0) {
                    waits.push_back(pollfd{inhibitor.released, POLLIN, 0});
                }
            }
            ::poll(waits.data(), waits.size(), timeoutMs);
        });
    }

    void addSession(std::string id, std::uint32_t uid, std::string type, bool idle,
                    bool active = true) {
        on([&] {
            Session session{id,      uid,   type, idle, "/org/freedesktop/login1/session/" + id,
                            nullptr, active};
            sessions_.push_back(session);
            Session& added = sessions_.back();
            sd_bus_add_object_vtable(bus_, &added.slot, added.path.c_str(),
                                     "org.freedesktop.login1.Session", sessionVtable(),
                                     reinterpret_cast<void*>(sessions_.size() - 1));
        });
    }
    void setIdle(std::size_t session, bool idle) {
        on([&] { setIdleNow(session, idle); });
    }
    // Another process's inhibitor, listed as it is (never released by the test).
    void addInhibitor(Inhibitor inhibitor) {
        on([&] {
            inhibitors_.push_back(std::move(inhibitor));
            sd_bus_emit_properties_changed(bus_, "/org/freedesktop/login1",
                                           "org.freedesktop.login1.Manager", "BlockInhibited",
                                           nullptr);
        });
    }
    void prepareForSleep(bool sleeping) {
        on([&] { prepareForSleepNow(sleeping); });
    }

    // Runs `action` on the stand-in's queue when the next call of `member` ("Inhibit",
    // "ListInhibitors") arrives, before it is answered: what it emits reaches the caller
    // while the caller waits for its reply.
    void whileAnswering(std::string member, std::function<void(LogindStandIn&)> action) {
        on([&] { pendingActions_.emplace_back(std::move(member), std::move(action)); });
    }
    // For actions: the same changes, made on the stand-in's queue.
    void setIdleNow(std::size_t session, bool idle) {
        sessions_[session].idle = idle;
        sd_bus_emit_properties_changed(bus_, sessions_[session].path.c_str(),
                                       "org.freedesktop.login1.Session", "IdleHint", nullptr);
    }
    void prepareForSleepNow(bool sleeping) {
        sd_bus_emit_signal(bus_, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           "PrepareForSleep", "b", static_cast<int>(sleeping));
    }
    // How many calls of `member` were answered.
    int answered(const std::string& member) {
        int count = 0;
        on([&] { count = answered_[member]; });
        return count;
    }

private:
    void process() {
        while (sd_bus_process(bus_, nullptr) > 0) {
        }
        sd_bus_flush(bus_);
    }

    std::vector<Inhibitor> live_() {
        std::vector<Inhibitor> live;
        for (const auto& inhibitor : inhibitors_) {
            if (inhibitor.released >= 0) {
                pollfd p{inhibitor.released, POLLIN, 0};
                if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLIN))) {
                    continue;
                }
            }
            live.push_back(inhibitor);
        }
        return live;
    }

    static LogindStandIn* self(void* userdata) { return static_cast<LogindStandIn*>(userdata); }

    // Before answering a call of `member`: its count, and the actions waiting for it.
    void answering(const std::string& member) {
        ++answered_[member];
        for (auto it = pendingActions_.begin(); it != pendingActions_.end();) {
            if (it->first == member) {
                auto action = std::move(it->second);
                it = pendingActions_.erase(it);
                action(*this);
            } else {
                ++it;
            }
        }
    }

    static int inhibit(sd_bus_message* m, void* userdata, sd_bus_error*) {
        const char *what, *who, *why, *mode;
        int r = sd_bus_message_read(m, "ssss", &what, &who, &why, &mode);
        if (r < 0) {
            return r;
        }
        self(userdata)->answering("Inhibit");
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return -errno;
        }
        sd_bus_creds* creds = nullptr;
        pid_t pid = 0;
        uid_t uid = 0;
        if (sd_bus_query_sender_creds(m, SD_BUS_CREDS_PID | SD_BUS_CREDS_EUID, &creds) >= 0) {
            sd_bus_creds_get_pid(creds, &pid);
            sd_bus_creds_get_euid(creds, &uid);
            sd_bus_creds_unref(creds);
        }
        self(userdata)->inhibitors_.push_back(Inhibitor{what, who, why, mode,
                                                        static_cast<std::uint32_t>(uid),
                                                        static_cast<std::uint32_t>(pid), fds[0]});
        r = sd_bus_reply_method_return(m, "h", fds[1]);
        ::close(fds[1]);
        return r;
    }

    static int listInhibitors(sd_bus_message* m, void* userdata, sd_bus_error*) {
        self(userdata)->answering("ListInhibitors");
        sd_bus_message* reply = nullptr;
        int r = sd_bus_message_new_method_return(m, &reply);
        r = r < 0 ? r : sd_bus_message_open_container(reply, 'a', "(ssssuu)");
        for (const auto& i : self(userdata)->live_()) {
            r = r < 0 ? r
                      : sd_bus_message_append(reply, "(ssssuu)", i.what.c_str(), i.who.c_str(),
                                              i.why.c_str(), i.mode.c_str(), i.uid, i.pid);
        }
        r = r < 0 ? r : sd_bus_message_close_container(reply);
        r = r < 0 ? r : sd_bus_send(nullptr, reply, nullptr);
        sd_bus_message_unref(reply);
        return r;
    }

    static int listSessions(sd_bus_message* m, void* userdata, sd_bus_error*) {
        sd_bus_message* reply = nullptr;
        int r = sd_bus_message_new_method_return(m, &reply);
        r = r < 0 ? r : sd_bus_message_open_container(reply, 'a', "(susso)");
        for (const auto& s : self(userdata)->sessions_) {
            r = r < 0 ? r
                      : sd_bus_message_append(reply, "(susso)", s.id.c_str(), s.uid, "user",
                                              "seat0", s.path.c_str());
        }
        r = r < 0 ? r : sd_bus_message_close_container(reply);
        r = r < 0 ? r : sd_bus_send(nullptr, reply, nullptr);
        sd_bus_message_unref(reply);
        return r;
    }

    static int sessionProperty(sd_bus*, const char*, const char*, const char* property,
                               sd_bus_message* reply, void* userdata, sd_bus_error*);

    static const sd_bus_vtable* managerVtable() {
        static const sd_bus_vtable table[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("Inhibit", "ssss", "h", &LogindStandIn::inhibit, 0),
            SD_BUS_METHOD("ListInhibitors", "", "a(ssssuu)", &LogindStandIn::listInhibitors, 0),
            SD_BUS_METHOD("ListSessions", "", "a(susso)", &LogindStandIn::listSessions, 0),
            SD_BUS_PROPERTY("BlockInhibited", "s", &LogindStandIn::blockInhibited, 0,
                            SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
            SD_BUS_SIGNAL("PrepareForSleep", "b", 0),
            SD_BUS_VTABLE_END};
        return table;
    }
    static const sd_bus_vtable* sessionVtable() {
        static const sd_bus_vtable table[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_PROPERTY("Type", "s", &LogindStandIn::sessionProperty, 0,
                            SD_BUS_VTABLE_PROPERTY_CONST),
            SD_BUS_PROPERTY("IdleHint", "b", &LogindStandIn::sessionProperty, 0,
                            SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
            SD_BUS_PROPERTY("Active", "b", &LogindStandIn::sessionProperty, 0,
                            SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
            SD_BUS_VTABLE_END};
        return table;
    }
    static int blockInhibited(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                              void*, sd_bus_error*) {
        return sd_bus_message_append(reply, "s", "idle");
    }

    static LogindStandIn*& current() {
        static LogindStandIn* instance = nullptr;
        return instance;
    }

public:
    // Session properties find the stand-in through this (one stand-in per test).
    void makeCurrent() { current() = this; }

private:
    sd_bus* bus_ = nullptr;
    dispatch::QueuePtr queue_ = dispatch::SerialQueue::create("com.vornhal.test.logind");
    std::unique_ptr<dispatch::ReadSource> source_;
    std::vector<Inhibitor> inhibitors_;
    std::vector<Session> sessions_;
    std::vector<std::pair<std::string, std::function<void(LogindStandIn&)>>> pendingActions_;
    std::map<std::string, int> answered_;
    bool ready_ = false;
};

inline int LogindStandIn::sessionProperty(sd_bus*, const char*, const char*, const char* property,
                                          sd_bus_message* reply, void* userdata, sd_bus_error*) {
    const auto index = reinterpret_cast<std::uintptr_t>(userdata);
    const Session& session = current()->sessions_.at(index);
    if (std::string_view(property) == "Type") {
        return sd_bus_message_append(reply, "s", session.type.c_str());
    }
    if (std::string_view(property) == "Active") {
        return sd_bus_message_append(reply, "b", static_cast<int>(session.active));
    }
    return sd_bus_message_append(reply, "b", static_cast<int>(session.idle));
}

} // namespace machinetest
