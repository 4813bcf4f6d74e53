#include "platform/notify/Notify.h"

#include "platform/dispatch/Source.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/inotify.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace notify {

namespace {

// sd-bus's own default for the system bus.
constexpr const char* kDefaultSystemBus = "unix:path=/run/dbus/system_bus_socket";

// A socket that appeared may not accept connections yet (bound, not yet listening): the
// subscription is tried a few more times shortly after.
constexpr auto kRetryDelay = std::chrono::milliseconds(100);
constexpr int kRetries = 20;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// A D-Bus address value with its %XX escapes undone; nothing when an escape is malformed.
std::optional<std::string> unescape(std::string_view value) {
    std::string text;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '%') {
            text += value[i];
            continue;
        }
        if (i + 2 >= value.size()) {
            return std::nullopt;
        }
        const int high = hexDigit(value[i + 1]);
        const int low = hexDigit(value[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        text += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return text;
}

std::string matchRule(const std::string& name) {
    return std::string("type='signal',path='") + kPath + "',interface='" + kInterface +
           "',member='" + kMember + "',arg0='" + name + "'";
}

} // namespace

std::string systemBusAddress() {
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    return address != nullptr && *address != '\0' ? address : kDefaultSystemBus;
}

std::optional<std::string> socketPathOf(const std::string& address) {
    std::string_view rest(address);
    while (!rest.empty()) {
        const std::size_t end = rest.find(';');
        std::string_view entry = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (!entry.starts_with("unix:")) {
            continue;
        }
        entry.remove_prefix(5);
        while (!entry.empty()) {
            const std::size_t comma = entry.find(',');
            const std::string_view pair = entry.substr(0, comma);
            entry = comma == std::string_view::npos ? std::string_view() : entry.substr(comma + 1);
            if (pair.starts_with("path=")) {
                auto path = unescape(pair.substr(5));
                if (path && !path->empty() && path->front() == '/') {
                    return path;
                }
            }
        }
    }
    return std::nullopt;
}

Poster::Poster(std::string address) : connection_(bus::busAt(std::move(address))) {}

bool post(bus::Connection& connection, const std::string& name, std::string* error) {
    return connection.with(
        [&name](sd_bus* bus, std::string* failure) {
            int r = sd_bus_emit_signal(bus, kPath, kInterface, kMember, "s", name.c_str());
            if (r >= 0) {
                r = sd_bus_flush(bus);
            }
            if (r < 0) {
                *failure = bus::errorText("cannot post " + name, r);
                return false;
            }
            return true;
        },
        error);
}

std::optional<std::string> Poster::post(const std::string& name) {
    std::string error;
    const bool sent = notify::post(connection_, name, &error);
    std::lock_guard guard(mutex_);
    if (sent) {
        failing_ = false;
        return std::nullopt;
    }
    if (failing_) {
        return std::nullopt;
    }
    failing_ = true;
    return error;
}

// The observer's machinery. Everything but construction and stop() runs on `internal`.
struct Observer::State : std::enable_shared_from_this<State> {
    State(std::string name, dispatch::QueuePtr queue, std::function<void()> handler,
          std::string address, std::function<void()> subscribed)
        : name(std::move(name)), queue(std::move(queue)), handler(std::move(handler)),
          subscribedHandler(std::move(subscribed)), socket(socketPathOf(address)),
          connection(bus::busAt(address)) {}

    const std::string name;
    const dispatch::QueuePtr queue;
    const std::function<void()> handler;
    const std::function<void()> subscribedHandler;
    const std::optional<std::string> socket;
    const dispatch::QueuePtr internal = dispatch::SerialQueue::create("com.vornhal.notify");
    bus::Connection connection;

    std::mutex mutex; // guards what follows against stop()
    bool stopped = false;
    std::unique_ptr<bus::Subscription> subscription;
    int inotifyFd = -1;
    int watch = -1;
    std::filesystem::path watched;
    std::unique_ptr<dispatch::ReadSource> folderSource;
    std::unique_ptr<dispatch::TimerSource> retryTimer;
    int retriesLeft = 0;

    void start() {
        std::lock_guard guard(mutex);
        if (socket) {
            inotifyFd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
            std::weak_ptr<State> weak = weak_from_this();
            if (inotifyFd >= 0) {
                folderSource = dispatch::ReadSource::create(inotifyFd, internal, [weak] {
                    if (auto state = weak.lock()) {
                        state->folderChanged();
                    }
                });
                retryTimer = std::make_unique<dispatch::TimerSource>(internal, [weak] {
                    if (auto state = weak.lock()) {
                        state->retry();
                    }
                });
            }
            // Watch first, then try: a bus that appears in between is not missed.
            rewatchLocked();
        }
        subscribeLocked();
    }

    void stop() {
        std::lock_guard guard(mutex);
        stopped = true;
        subscription.reset();
        if (folderSource) {
            folderSource->cancel();
        }
        if (retryTimer) {
            retryTimer->cancel();
        }
        if (inotifyFd >= 0) {
            ::close(inotifyFd);
            inotifyFd = -1;
        }
    }

    // Watches the socket's folder, or its deepest existing ancestor until the folder exists.
    void rewatchLocked() {
        if (inotifyFd < 0) {
            return;
        }
        std::filesystem::path target = std::filesystem::path(*socket).parent_path();
        std::error_code ignored;
        while (!std::filesystem::is_directory(target, ignored) && target.has_relative_path()) {
            target = target.parent_path();
        }
        if (watch >= 0 && target == watched) {
            return;
        }
        if (watch >= 0) {
            ::inotify_rm_watch(inotifyFd, watch);
        }
        watched = target;
        watch = ::inotify_add_watch(inotifyFd, target.c_str(),
                                    IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF |
                                        IN_MOVE_SELF | IN_ONLYDIR);
    }

    bool subscribeLocked() {
        if (stopped || subscription) {
            return true;
        }
        std::weak_ptr<State> weak = weak_from_this();
        auto reader = [name = name, handler = handler](sd_bus_message* signal) -> dispatch::Work {
            const char* posted = nullptr;
            if (sd_bus_message_read(signal, "s", &posted) < 0 || posted == nullptr ||
                name != posted) {
                return {};
            }
            return handler;
        };
        auto dropped = [weak] {
            if (auto state = weak.lock()) {
                state->internal->async([weak] {
                    if (auto again = weak.lock()) {
                        again->lost();
                    }
                });
            }
        };
        std::string error;
        subscription = connection.subscribe({matchRule(name)}, queue, reader, dropped, &error);
        if (!subscription) {
            return false;
        }
        retriesLeft = 0;
        if (retryTimer) {
            retryTimer->disarm();
        }
        if (subscribedHandler) {
            queue->async(subscribedHandler);
        }
        return true;
    }

    // The bus went away: try again now (it may be back already), else when its socket
    // appears.
    void lost() {
        std::lock_guard guard(mutex);
        subscription.reset();
        subscribeLocked();
    }

    void folderChanged() {
        std::lock_guard guard(mutex);
        if (stopped) {
            return;
        }
        alignas(inotify_event) char buffer[4096];
        bool socketEvent = false; // the socket's name came or changed
        bool folderEvent = false; // a folder on the way to it did
        ssize_t n;
        const std::string socketName = std::filesystem::path(*socket).filename();
        while ((n = ::read(inotifyFd, buffer, sizeof buffer)) > 0) {
            for (char* at = buffer; at < buffer + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                if (event->wd != watch) {
                    // What is left of a watch given up for another folder.
                } else if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
                    ::inotify_rm_watch(inotifyFd, watch);
                    watch = -1;
                    folderEvent = true;
                } else if (event->len > 0) {
                    folderEvent = true;
                    socketEvent = socketEvent || socketName == event->name;
                }
                at += sizeof(inotify_event) + event->len;
            }
        }
        if (folderEvent) {
            rewatchLocked();
        }
        std::error_code ignored;
        if (!subscription && (socketEvent || folderEvent) &&
            std::filesystem::exists(*socket, ignored) && !subscribeLocked()) {
            retriesLeft = kRetries;
            retryTimer->schedule(dispatch::afterNow(kRetryDelay));
        }
    }

    void retry() {
        std::lock_guard guard(mutex);
        if (!subscribeLocked() && --retriesLeft > 0) {
            retryTimer->schedule(dispatch::afterNow(kRetryDelay));
        }
    }
};

Observer::Observer(std::string name, dispatch::QueuePtr queue, std::function<void()> handler,
                   std::string address, std::function<void()> subscribed)
    : state_(std::make_shared<State>(std::move(name), std::move(queue), std::move(handler),
                                     std::move(address), std::move(subscribed))) {
    state_->start();
}

Observer::~Observer() {
    state_->stop();
}

} // namespace notify
