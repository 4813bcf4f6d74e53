#include "platform/machine-linux/LinuxFeeds.h"

#include "platform/files/Files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/genetlink.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/thermal.h>
#include <optional>
#include <sys/socket.h>
#include <systemd/sd-device.h>
#include <systemd/sd-event.h>
#include <unistd.h>
#include <utility>

namespace machine::linuxfeeds {

namespace {

std::unique_ptr<EventFeed> fail(std::string* error, const std::string& what, int code) {
    if (error) {
        *error = what + ": " + std::strerror(code);
    }
    return nullptr;
}

using files::Descriptor;

class UdevFeed final : public EventFeed {
public:
    ~UdevFeed() override {
        sd_device_monitor_unref(monitor_);
        sd_event_unref(event_);
    }

    static std::unique_ptr<EventFeed> open(const std::string& subsystem, std::string* error) {
        auto feed = std::unique_ptr<UdevFeed>(new UdevFeed());
        int r = sd_event_new(&feed->event_);
        if (r >= 0) {
            r = sd_device_monitor_new(&feed->monitor_);
        }
        if (r >= 0) {
            r = sd_device_monitor_filter_add_match_subsystem_devtype(feed->monitor_,
                                                                     subsystem.c_str(), nullptr);
        }
        if (r >= 0) {
            r = sd_device_monitor_attach_event(feed->monitor_, feed->event_);
        }
        if (r >= 0) {
            r = sd_device_monitor_start(feed->monitor_, &UdevFeed::received, feed.get());
        }
        if (r < 0) {
            return fail(error, "cannot monitor " + subsystem + " devices", -r);
        }
        return feed;
    }

    int fd() const override { return sd_event_get_fd(event_); }

    bool drain() override {
        seen_ = false;
        while (sd_event_run(event_, 0) > 0) {
        }
        return seen_;
    }

private:
    UdevFeed() = default;
    static int received(sd_device_monitor*, sd_device*, void* self) {
        static_cast<UdevFeed*>(self)->seen_ = true;
        return 0;
    }

    sd_event* event_ = nullptr;
    sd_device_monitor* monitor_ = nullptr;
    bool seen_ = false;
};

// A pressure trigger reports with POLLPRI, and the kernel clears the event as it reports
// it: every wake-up of the watch is the announcement itself, with nothing left to read.
class PressureFeed final : public EventFeed {
public:
    explicit PressureFeed(int trigger) : trigger_(trigger) {}
    int fd() const override { return trigger_.get(); }
    dispatch::ReadSource::Readiness readiness() const override {
        return dispatch::ReadSource::Readiness::Priority;
    }
    bool drain() override { return true; }

private:
    Descriptor trigger_;
};

// A netlink socket joined to multicast groups; any message means "look again".
class NetlinkFeed final : public EventFeed {
public:
    explicit NetlinkFeed(int fd) : fd_(fd) {}
    int fd() const override { return fd_.get(); }
    bool drain() override {
        char buffer[8192];
        bool any = false;
        for (;;) {
            const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                any = true;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && errno == ENOBUFS) {
                any = true; // events were dropped: look again
            } else {
                return any;
            }
        }
    }

private:
    Descriptor fd_;
};

// The multicast group id of `group` in the generic netlink family `family`; nullopt when the
// kernel has no such family or group.
std::optional<unsigned> genericNetlinkGroup(int fd, const char* family, const char* group) {
    struct {
        nlmsghdr header;
        genlmsghdr generic;
        char attributes[64];
    } request{};
    const size_t nameLength = std::strlen(family) + 1;
    auto* attribute = reinterpret_cast<nlattr*>(request.attributes);
    attribute->nla_type = CTRL_ATTR_FAMILY_NAME;
    attribute->nla_len = static_cast<__u16>(NLA_HDRLEN + nameLength);
    std::memcpy(request.attributes + NLA_HDRLEN, family, nameLength);
    request.header.nlmsg_len =
        static_cast<__u32>(NLMSG_LENGTH(GENL_HDRLEN) + NLA_ALIGN(attribute->nla_len));
    request.header.nlmsg_type = GENL_ID_CTRL;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = 1;
    request.generic.cmd = CTRL_CMD_GETFAMILY;
    request.generic.version = 1;
    if (::send(fd, &request, request.header.nlmsg_len, 0) < 0) {
        return std::nullopt;
    }
    alignas(nlmsghdr) char reply[8192];
    const ssize_t n = ::recv(fd, reply, sizeof reply, 0);
    if (n <= 0) {
        return std::nullopt;
    }
    auto* header = reinterpret_cast<nlmsghdr*>(reply);
    if (!NLMSG_OK(header, static_cast<unsigned>(n)) || header->nlmsg_type == NLMSG_ERROR) {
        return std::nullopt;
    }
    // Attributes after the generic header; the groups are nested twice.
    auto walk = [](const char* begin, size_t length, auto&& visit) {
        size_t offset = 0;
        while (offset + NLA_HDRLEN <= length) {
            nlattr a;
            std::memcpy(&a, begin + offset, sizeof a);
            if (a.nla_len < NLA_HDRLEN || offset + a.nla_len > length) {
                return;
            }
            visit(a.nla_type & NLA_TYPE_MASK, begin + offset + NLA_HDRLEN, a.nla_len - NLA_HDRLEN);
            offset += NLA_ALIGN(a.nla_len);
        }
    };
    std::optional<unsigned> id;
    const char* payload = reinterpret_cast<const char*>(NLMSG_DATA(header)) + GENL_HDRLEN;
    const size_t payloadLength = header->nlmsg_len - NLMSG_LENGTH(GENL_HDRLEN);
    walk(payload, payloadLength, [&](int type, const char* data, size_t length) {
        if (type != CTRL_ATTR_MCAST_GROUPS) {
            return;
        }
        walk(data, length, [&](int, const char* entry, size_t entryLength) {
            std::optional<std::string> name;
            std::optional<unsigned> groupId;
            walk(entry, entryLength, [&](int field, const char* value, size_t valueLength) {
                if (field == CTRL_ATTR_MCAST_GRP_NAME) {
                    name = std::string(value, strnlen(value, valueLength));
                } else if (field == CTRL_ATTR_MCAST_GRP_ID && valueLength >= sizeof(__u32)) {
                    __u32 v;
                    std::memcpy(&v, value, sizeof v);
                    groupId = v;
                }
            });
            if (name == group && groupId) {
                id = groupId;
            }
        });
    });
    return id;
}

} // namespace

EventFeedFactory udev(std::string subsystem) {
    return [subsystem](std::string* error) {
        return UdevFeed::open(subsystem, error);
    };
}

EventFeedFactory pressureTrigger(std::string pressureFile, std::string trigger) {
    return [pressureFile, trigger](std::string* error) -> std::unique_ptr<EventFeed> {
        Descriptor file(::open(pressureFile.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        if (file.get() < 0) {
            return fail(error, "cannot open " + pressureFile, errno);
        }
        if (::write(file.get(), trigger.c_str(), trigger.size() + 1) < 0) {
            return fail(error, "cannot set the trigger on " + pressureFile, errno);
        }
        return std::make_unique<PressureFeed>(file.release());
    };
}

EventFeedFactory thermalNetlink() {
    return [](std::string* error) -> std::unique_ptr<EventFeed> {
        Descriptor fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_GENERIC));
        if (fd.get() < 0) {
            return fail(error, "cannot open a generic netlink socket", errno);
        }
        timeval timeout{1, 0};
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        const auto group =
            genericNetlinkGroup(fd.get(), THERMAL_GENL_FAMILY_NAME, THERMAL_GENL_EVENT_GROUP_NAME);
        if (!group) {
            return fail(error, "the kernel has no thermal netlink events", ENOENT);
        }
        const int id = static_cast<int>(*group);
        if (::setsockopt(fd.get(), SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &id, sizeof id) < 0 ||
            ::fcntl(fd.get(), F_SETFL, O_NONBLOCK) < 0) {
            return fail(error, "cannot join the thermal events", errno);
        }
        return std::make_unique<NetlinkFeed>(fd.release());
    };
}

EventFeedFactory routeChanges() {
    return [](std::string* error) -> std::unique_ptr<EventFeed> {
        Descriptor fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
        sockaddr_nl address{};
        address.nl_family = AF_NETLINK;
        address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
        if (fd.get() < 0 ||
            ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
            return fail(error, "cannot follow route changes", errno);
        }
        return std::make_unique<NetlinkFeed>(fd.release());
    };
}

} // namespace machine::linuxfeeds
