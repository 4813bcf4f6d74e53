#pragma once

#include <string>
#include <string_view>

namespace logtool {

// Buffered output to a descriptor. A reader that has gone away (EPIPE) ends the output
// quietly: later writes are dropped and closedByReader() tells the caller to stop. Any
// other write error is kept in failure().
class Output {
public:
    explicit Output(int fd) : fd_(fd) {}
    ~Output() { flush(); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // False once the output has ended (closed by its reader or failed).
    bool write(std::string_view text);
    bool flush();

    bool ended() const { return closedByReader_ || !failure_.empty(); }
    bool closedByReader() const { return closedByReader_; }
    const std::string& failure() const { return failure_; }

private:
    static constexpr std::size_t kBufferSize = 64 * 1024;

    int fd_;
    std::string buffer_;
    bool closedByReader_ = false;
    std::string failure_;
};

} // namespace logtool
