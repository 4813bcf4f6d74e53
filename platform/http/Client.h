#pragma once

// HTTPS requests for the self-updater on libcurl's multi interface, driven by the runtime:
// sockets are watched by the reactor, curl's timers are runtime timers, and every curl call
// runs on the client's queue, so a transfer never blocks a queue. Only https is spoken,
// redirects included; TLS 1.2 is the minimum; the server must chain to a root of the trust
// folder (the distribution's own roots, never ones an administrator added).

#include "platform/dispatch/Queue.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace http {

// The distribution's own roots ("/usr/share/ca-certificates/mozilla", relocated under
// $KEELBROOK_ROOT in development and test builds only).
std::string distributionTrustFolder();

struct Options {
    // Every certificate file ("*.crt", "*.pem") in this folder is a trusted root; no other.
    std::string trustFolder = distributionTrustFolder();
    // The longest wait for a connection, and the longest a transfer may go without receiving
    // a byte; neither limits the length of a whole transfer.
    std::chrono::milliseconds connectTimeout = std::chrono::seconds(60);
    std::chrono::milliseconds stallTimeout = std::chrono::seconds(60);
};

struct Request {
    std::string url;
    // The body is refused once it grows past this size.
    std::size_t maxSize = 0;
    // Where the body goes: an open descriptor the caller owns (written from its current
    // offset), or memory when it is -1.
    int bodyFd = -1;
};

struct Response {
    // 0 when the transfer failed.
    long status = 0;
    // The body when it was kept in memory.
    std::vector<std::uint8_t> body;
    // A failed transfer: curl's code and text ("" on success).
    int errorCode = 0;
    std::string error;
    // The server's certificate chain was refused; `error` says why.
    bool untrusted = false;

    bool failed() const { return errorCode != 0; }
};

class Client {
public:
    virtual ~Client() = default;
    // Starts a GET; `completion` runs once, on the client's queue.
    virtual void get(Request request, std::function<void(Response)> completion) = 0;
};

// The host part of an absolute URL ("https://a.example:8443/x" → "a.example"); nullopt when
// the text is not an absolute URL with a host.
std::optional<std::string> hostOfURL(const std::string& url);

// A client whose curl work and completions run on `queue` (a serial queue).
std::shared_ptr<Client> createClient(dispatch::QueuePtr queue, Options options = {});

} // namespace http
