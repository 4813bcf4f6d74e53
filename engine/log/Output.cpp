#include "engine/log/Output.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace logtool {

bool Output::write(std::string_view text) {
    if (ended()) {
        return false;
    }
    buffer_.append(text);
    return buffer_.size() < kBufferSize || flush();
}

bool Output::flush() {
    std::size_t written = 0;
    while (!ended() && written < buffer_.size()) {
        const ssize_t count = ::write(fd_, buffer_.data() + written, buffer_.size() - written);
        if (count >= 0) {
            written += static_cast<std::size_t>(count);
        } else if (errno == EPIPE) {
            closedByReader_ = true;
        } else if (errno != EINTR) {
            failure_ = std::string("cannot write the output: ") + std::strerror(errno);
        }
    }
    buffer_.clear();
    return !ended();
}

} // namespace logtool
