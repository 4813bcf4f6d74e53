// A client process of the transport tests, speaking the frames directly.
//   xpc_peer <socket> request   sends a request, prints "sent", then the reply's "text" or
//                               "closed"
#include "platform/socket/Frame.h"
#include "platform/socket/UnixSocket.h"

#include <cstdio>
#include <poll.h>
#include <string>
#include <sys/socket.h>

int main(int argc, char** argv) {
    if (argc != 3 || std::string(argv[2]) != "request") {
        return 2;
    }
    int number = 0;
    files::Descriptor socket = sockets::connectTo(argv[1], &number);
    if (!socket.valid()) {
        std::printf("unreachable\n");
        return 1;
    }
    plist::Dictionary message{{"text", "from child"}};
    plist::Dictionary request{{"id", 1}, {"wantsReply", true}, {"message", message}};
    std::string error;
    auto frame = sockets::encodeFrame(plist::Value(request), &error);
    pollfd room{socket.get(), POLLOUT, 0};
    ::poll(&room, 1, -1);
    if (!frame || ::send(socket.get(), frame->data(), frame->size(), MSG_NOSIGNAL) !=
                      static_cast<ssize_t>(frame->size())) {
        std::printf("closed\n");
        return 1;
    }
    std::printf("sent\n");
    std::fflush(stdout);
    sockets::FrameReader reader;
    for (;;) {
        pollfd ready{socket.get(), POLLIN, 0};
        ::poll(&ready, 1, -1);
        std::uint8_t chunk[4096];
        const ssize_t n = ::recv(socket.get(), chunk, sizeof chunk, 0);
        if (n <= 0) {
            std::printf("closed\n");
            return 1;
        }
        reader.append(std::span(chunk, static_cast<std::size_t>(n)));
        plist::Value reply(false);
        if (reader.next(&reply, &error) == sockets::FrameReader::Status::Frame) {
            const plist::Value* text =
                reply.find("message") ? reply.find("message")->find("text") : nullptr;
            std::printf("%s\n", text && text->asString() ? text->asString()->c_str() : "?");
            return 0;
        }
    }
}
