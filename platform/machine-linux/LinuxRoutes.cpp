#include "platform/machine-linux/LinuxRoutes.h"

#include "platform/machine-linux/LinuxReadings.h"

#include <cstring>
#include <functional>
#include <linux/if_arp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace machine::linuxroutes {

namespace {

// A blocking rtnetlink socket for one request and its answer.
class RouteSocket {
public:
    RouteSocket() : fd_(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {
        timeval timeout{1, 0};
        if (fd_ >= 0) {
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        }
    }
    ~RouteSocket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    RouteSocket(const RouteSocket&) = delete;
    RouteSocket& operator=(const RouteSocket&) = delete;

    // Sends `request` and calls `visit` with every answering message until the answer ends.
    // False when the socket fails or the kernel answers with an error.
    template <class Request>
    bool exchange(Request& request, const std::function<void(const nlmsghdr&)>& visit) {
        if (fd_ < 0 || ::send(fd_, &request, request.header.nlmsg_len, 0) < 0) {
            return false;
        }
        const bool dump = (request.header.nlmsg_flags & NLM_F_DUMP) != 0;
        alignas(nlmsghdr) char buffer[16384];
        for (;;) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return false;
            }
            unsigned remaining = static_cast<unsigned>(n);
            for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, remaining);
                 h = NLMSG_NEXT(h, remaining)) {
                if (h->nlmsg_seq != request.header.nlmsg_seq) {
                    continue;
                }
                if (h->nlmsg_type == NLMSG_DONE) {
                    return true;
                }
                if (h->nlmsg_type == NLMSG_ERROR) {
                    return false;
                }
                visit(*h);
                if (!dump) {
                    return true;
                }
            }
        }
    }

private:
    int fd_;
};

// Calls `visit(type, data, length)` for each attribute of a message after its `fixed` part.
void attributes(const nlmsghdr& h, size_t fixed,
                const std::function<void(int, const char*, size_t)>& visit) {
    if (h.nlmsg_len < NLMSG_LENGTH(fixed)) {
        return;
    }
    const char* begin = reinterpret_cast<const char*>(NLMSG_DATA(&h)) + NLMSG_ALIGN(fixed);
    const size_t length = h.nlmsg_len - NLMSG_LENGTH(NLMSG_ALIGN(fixed));
    size_t offset = 0;
    while (offset + sizeof(rtattr) <= length) {
        rtattr a;
        std::memcpy(&a, begin + offset, sizeof a);
        if (a.rta_len < sizeof(rtattr) || offset + a.rta_len > length) {
            return;
        }
        visit(a.rta_type, begin + offset + RTA_LENGTH(0), a.rta_len - RTA_LENGTH(0));
        offset += RTA_ALIGN(a.rta_len);
    }
}

unsigned u32(const char* data, size_t length) {
    __u32 v = 0;
    std::memcpy(&v, data, std::min(length, sizeof v));
    return v;
}

// The interface index of the main table's default unicast route of `family` with the
// lowest metric; 0 when there is none.
int defaultRouteInterface(unsigned char family) {
    struct {
        nlmsghdr header;
        rtmsg route;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.route.rtm_family = family;
    int best = 0;
    unsigned bestMetric = 0;
    RouteSocket socket;
    socket.exchange(request, [&](const nlmsghdr& h) {
        if (h.nlmsg_type != RTM_NEWROUTE || h.nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) {
            return;
        }
        rtmsg route;
        std::memcpy(&route, NLMSG_DATA(&h), sizeof route);
        if (route.rtm_dst_len != 0 || route.rtm_type != RTN_UNICAST) {
            return;
        }
        unsigned table = route.rtm_table;
        unsigned metric = 0;
        int interface = 0;
        attributes(h, sizeof(rtmsg), [&](int type, const char* data, size_t length) {
            if (type == RTA_TABLE) {
                table = u32(data, length);
            } else if (type == RTA_PRIORITY) {
                metric = u32(data, length);
            } else if (type == RTA_OIF) {
                interface = static_cast<int>(u32(data, length));
            } else if (type == RTA_MULTIPATH && interface == 0 && length >= sizeof(rtnexthop)) {
                rtnexthop hop;
                std::memcpy(&hop, data, sizeof hop);
                interface = hop.rtnh_ifindex;
            }
        });
        if (table == RT_TABLE_MAIN && interface > 0 && (best == 0 || metric < bestMetric)) {
            best = interface;
            bestMetric = metric;
        }
    });
    return best;
}

std::optional<DefaultInterface> linkOf(int index) {
    struct {
        nlmsghdr header;
        ifinfomsg link;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = 2;
    request.link.ifi_family = AF_UNSPEC;
    request.link.ifi_index = index;
    std::optional<DefaultInterface> result;
    RouteSocket socket;
    socket.exchange(request, [&](const nlmsghdr& h) {
        if (h.nlmsg_type != RTM_NEWLINK || h.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) {
            return;
        }
        ifinfomsg link;
        std::memcpy(&link, NLMSG_DATA(&h), sizeof link);
        DefaultInterface found;
        found.ethernet = link.ifi_type == ARPHRD_ETHER;
        attributes(h, sizeof(ifinfomsg), [&](int type, const char* data, size_t length) {
            if (type == IFLA_IFNAME) {
                found.name.assign(data, strnlen(data, length));
            }
        });
        result = found;
    });
    return result;
}

} // namespace

std::optional<DefaultInterface> defaultInterface() {
    int index = defaultRouteInterface(AF_INET);
    if (index == 0) {
        index = defaultRouteInterface(AF_INET6);
    }
    return index == 0 ? std::nullopt : linkOf(index);
}

NetworkType readNetworkType(const std::string& netFolder) {
    const auto interface = defaultInterface();
    if (!interface) {
        return NetworkType::Unknown;
    }
    if (linuxfs::isWirelessInterface(netFolder, interface->name)) {
        return NetworkType::WiFi;
    }
    return interface->ethernet ? NetworkType::Wired : NetworkType::Unknown;
}

} // namespace machine::linuxroutes
