#pragma once

// A local HTTPS server for the update tests: Python's http.server with ssl on 127.0.0.1,
// started by the test, with a test CA made in the test by the openssl command. The trusted
// CA's certificate is the only file of `trustFolder()`; a second server presents a
// certificate from a CA outside it.
//
// Paths: /files/<name> serves a file of `files()`; /status/<n> answers n; /redirect?to=<url>
// answers 302 to the URL; /stall sends headers and a few bytes, then nothing; /endless sends
// a body that never ends.

#include "tests/support/ChildProcess.h"
#include "tests/support/TempFolder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace testserver {

inline constexpr const char* kScript = R"PY(
import http.server, ssl, sys, urllib.parse
certificate, key, root = sys.argv[1], sys.argv[2], sys.argv[3]

class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, body=b"", headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        url = urllib.parse.urlparse(self.path)
        if url.path.startswith("/files/"):
            try:
                with open(root + "/" + url.path[len("/files/"):], "rb") as f:
                    self.answer(200, f.read())
            except OSError:
                self.answer(404, b"missing")
        elif url.path.startswith("/status/"):
            self.answer(int(url.path[len("/status/"):]), b"status")
        elif url.path == "/redirect":
            self.answer(302, b"", [("Location", urllib.parse.parse_qs(url.query)["to"][0])])
        elif url.path == "/stall":
            self.send_response(200)
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(b"0123456789")
            self.wfile.flush()
            # Sends nothing more until the client gives up and closes.
            self.rfile.read()
        elif url.path == "/endless":
            self.send_response(200)
            self.send_header("Connection", "close")
            self.end_headers()
            chunk = b"x" * 65536
            try:
                while True:
                    self.wfile.write(chunk)
            except OSError:
                pass
        else:
            self.answer(404, b"unknown")

class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

server = Server(("127.0.0.1", 0), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(certificate, key)
server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_port, flush=True)
server.serve_forever()
)PY";

inline bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A CA and a server certificate for 127.0.0.1 signed by it, in `folder` as
// <name>-ca.crt, <name>.crt and <name>.key.
inline bool makeCertificates(const std::filesystem::path& folder, const std::string& name) {
    const std::string base = (folder / name).string();
    const std::string curve = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    return run("openssl req -x509" + curve + " -keyout " + base + "-ca.key -out " + base +
               "-ca.crt -subj '/CN=" + name + " test CA' -days 2") &&
           run("openssl req -new" + curve + " -keyout " + base + ".key -out " + base +
               ".csr -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1") &&
           run("openssl x509 -req -in " + base + ".csr -CA " + base + "-ca.crt -CAkey " + base +
               "-ca.key -CAcreateserial -copy_extensions copy -days 2 -out " + base + ".crt");
}

class Servers {
public:
    Servers() {
        std::filesystem::create_directories(trustFolder());
        std::filesystem::create_directories(files());
        std::ofstream(folder_.path() / "server.py") << kScript;
        ok_ = makeCertificates(folder_.path(), "trusted") &&
              makeCertificates(folder_.path(), "other");
        if (!ok_) {
            return;
        }
        std::filesystem::copy_file(folder_.path() / "trusted-ca.crt",
                                   trustFolder() / "trusted-ca.crt");
        trusted_ = start("trusted", &trustedPort_);
        other_ = start("other", &otherPort_);
        ok_ = trusted_ && other_;
    }

    bool ok() const { return ok_; }
    std::filesystem::path trustFolder() const { return folder_.path() / "trust"; }
    std::filesystem::path files() const { return folder_.path() / "files"; }
    // The trusted server's URL for `path`, and the one whose CA is not trusted.
    std::string url(const std::string& path) const {
        return "https://127.0.0.1:" + trustedPort_ + path;
    }
    std::string untrustedURL(const std::string& path) const {
        return "https://127.0.0.1:" + otherPort_ + path;
    }
    std::string plainURL(const std::string& path) const {
        return "http://127.0.0.1:" + trustedPort_ + path;
    }
    void serve(const std::string& name, const std::string& bytes) const {
        std::ofstream(files() / name, std::ios::binary) << bytes;
    }

private:
    std::unique_ptr<testsupport::ChildProcess> start(const std::string& name, std::string* port) {
        const std::string base = (folder_.path() / name).string();
        auto child = std::make_unique<testsupport::ChildProcess>(
            std::vector<std::string>{"python3", (folder_.path() / "server.py").string(),
                                     base + ".crt", base + ".key", files().string()},
            testsupport::ChildProcess::Errors::Inherit, true);
        auto line = child->started() ? child->line() : std::nullopt;
        if (!line || line->empty()) {
            return nullptr;
        }
        *port = *line;
        return child;
    }

    testsupport::TempFolder folder_;
    bool ok_ = false;
    std::string trustedPort_;
    std::string otherPort_;
    std::unique_ptr<testsupport::ChildProcess> trusted_;
    std::unique_ptr<testsupport::ChildProcess> other_;
};

} // namespace testserver
