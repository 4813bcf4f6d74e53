// Sends one notification as another user: `notify_sender ADDRESS UID NAME`. It gives up
// root for UID, proves that it can use the bus (GetId, whose answer it prints), posts NAME
// and asks GetId again on the same connection: the bus handles a connection's messages in
// order, so once that answer is back the notification has been delivered or dropped.
#include "platform/bus/Bus.h"
#include "platform/notify/Notify.h"

#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <string>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace {

bool askId(bus::Connection& connection, std::string* id, std::string* error) {
    return connection.call(
        {"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId"}, error,
        {}, [id](sd_bus_message* reply, std::string* failure) {
            const char* text = nullptr;
            if (sd_bus_message_read(reply, "s", &text) < 0 || text == nullptr) {
                *failure = "GetId: unreadable reply";
                return false;
            }
            *id = text;
            return true;
        });
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: notify_sender ADDRESS UID NAME\n");
        return 64;
    }
    const auto uid = static_cast<uid_t>(std::strtoul(argv[2], nullptr, 10));
    if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0 ||
                     ::getuid() != uid || ::geteuid() != uid)) {
        std::perror("notify_sender: cannot switch user");
        return 2;
    }
    bus::Connection connection(bus::busAt(argv[1]));
    std::string id;
    std::string error;
    if (!askId(connection, &id, &error)) {
        std::fprintf(stderr, "notify_sender: %s\n", error.c_str());
        return 3;
    }
    std::printf("connected as %u to %s\n", static_cast<unsigned>(::getuid()), id.c_str());
    if (!notify::post(connection, argv[3], &error) || !askId(connection, &id, &error)) {
        std::fprintf(stderr, "notify_sender: %s\n", error.c_str());
        return 4;
    }
    std::printf("posted\n");
    return 0;
}
