#include "platform/notice/Notice.h"

#include "platform/machine-linux/Logind.h"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <set>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace notice {

namespace {

constexpr bus::Method kNotify{"org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                              "org.freedesktop.Notifications", "Notify"};
// The child gives up on a session bus that does not answer.
constexpr unsigned kChildSeconds = 5;

enum ChildStatus { kShown = 0, kNotShown = 1, kNotThatUser = 2 };

} // namespace

std::vector<Session> activeGraphicalSessions(bus::Connection& system, std::string* error,
                                             const std::string& runtimeFolder) {
    std::vector<machine::logind::Session> listed;
    std::vector<Session> sessions;
    if (!machine::logind::readSessions(system, &listed, error)) {
        return sessions;
    }
    std::set<uid_t> seen;
    for (const auto& session : listed) {
        if (session.active && (session.type == "x11" || session.type == "wayland") &&
            seen.insert(session.uid).second) {
            sessions.push_back({session.uid, "unix:path=" + runtimeFolder + "/" +
                                                 std::to_string(session.uid) + "/bus"});
        }
    }
    return sessions;
}

bool show(const Session& session, const std::string& header, const std::string& message,
          std::string* error) {
    // Everything the child needs is looked up here: after fork only the calls below run.
    std::vector<gid_t> groups;
    gid_t group = 0;
    {
        std::vector<char> buffer(16384);
        passwd entry{};
        passwd* found = nullptr;
        if (::getpwuid_r(session.uid, &entry, buffer.data(), buffer.size(), &found) != 0 ||
            found == nullptr) {
            *error = "user " + std::to_string(session.uid) + " has no account";
            return false;
        }
        group = entry.pw_gid;
        int count = 64;
        groups.resize(count);
        if (::getgrouplist(entry.pw_name, group, groups.data(), &count) < 0) {
            groups.resize(count);
            ::getgrouplist(entry.pw_name, group, groups.data(), &count);
        }
        groups.resize(count);
    }
    const pid_t child = ::fork();
    if (child < 0) {
        *error = std::string("cannot start the notice: ") + std::strerror(errno);
        return false;
    }
    if (child == 0) {
        ::alarm(kChildSeconds);
        if (::geteuid() == 0 && session.uid != 0) {
            if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(group) != 0 ||
                ::setuid(session.uid) != 0) {
                ::_exit(kNotThatUser);
            }
        } else if (::geteuid() != session.uid) {
            ::_exit(kNotThatUser);
        }
        std::string ignored;
        const bool shown =
            bus::callOnce(session.busAddress, kNotify, &ignored, [&](sd_bus_message* call) {
                return sd_bus_message_append(call, "susssasa{sv}i", "Keelbrook", 0u, "",
                                             header.c_str(), message.c_str(), 0, 0, 0);
            });
        ::_exit(shown ? kShown : kNotShown);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == kShown) {
        return true;
    }
    *error = WIFEXITED(status) && WEXITSTATUS(status) == kNotThatUser
                 ? "cannot become user " + std::to_string(session.uid)
                 : "the session bus of user " + std::to_string(session.uid) + " did not take it";
    return false;
}

} // namespace notice
