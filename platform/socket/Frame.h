#pragma once

// Frames of the local service sockets: a 4-byte big-endian length, then that many bytes of
// a binary property list. A frame longer than kMaxFrameLength is refused as soon as its
// length is read, before any of it is buffered.

#include "platform/plist/Limits.h"
#include "platform/plist/Value.h"
#include "platform/socket/ClearingBuffer.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sockets {

inline constexpr std::size_t kFrameHeaderLength = 4;
inline constexpr std::size_t kMaxFrameLength = plist::kMessageSizeLimit;

// The frame carrying `value`, header included; nullopt with `error` set when the value
// cannot be written or its encoding is longer than kMaxFrameLength.
std::optional<std::vector<std::uint8_t>> encodeFrame(const plist::Value& value, std::string* error);

// Cuts a byte stream into frames and decodes each. Once a frame is bad the reader stays
// failed: the stream has lost its framing and the connection must end.
class FrameReader {
public:
    enum class Status { NeedMore, Frame, Bad };

    void append(std::span<const std::uint8_t> bytes);
    // The next complete frame's value in `value`; Bad with `error` set for a frame that is
    // too long, empty or not a binary property list.
    Status next(plist::Value* value, std::string* error);
    // The length, header included, of the frame next() returned last.
    std::size_t lastFrameLength() const { return lastFrameLength_; }
    // Bytes received and not yet returned as frames.
    std::size_t buffered() const { return buffer_.size(); }
    // Room to read into without growing past what the current frame can need; at least 1.
    std::size_t wanted() const;

private:
    // Each frame's bytes are zeroed once decoded (requests carry passwords).
    ClearingBuffer buffer_;
    std::size_t lastFrameLength_ = 0;
    bool failed_ = false;
    std::string failure_;
};

} // namespace sockets
