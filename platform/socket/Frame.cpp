#include "platform/socket/Frame.h"

#include "platform/plist/Binary.h"

#include <algorithm>
#include <string.h>

namespace sockets {

namespace {

std::size_t lengthAt(const std::uint8_t* p) {
    return (std::size_t{p[0]} << 24) | (std::size_t{p[1]} << 16) | (std::size_t{p[2]} << 8) |
           std::size_t{p[3]};
}

} // namespace

std::optional<std::vector<std::uint8_t>> encodeFrame(const plist::Value& value,
                                                     std::string* error) {
    std::optional<std::vector<std::uint8_t>> body = plist::writeBinary(value, error);
    if (!body) {
        return std::nullopt;
    }
    const std::size_t length = body->size();
    if (length > kMaxFrameLength) {
        *error = "frame of " + std::to_string(length) + " bytes is longer than the limit of " +
                 std::to_string(kMaxFrameLength) + " bytes";
        return std::nullopt;
    }
    std::vector<std::uint8_t> frame(kFrameHeaderLength + length);
    frame[0] = static_cast<std::uint8_t>(length >> 24);
    frame[1] = static_cast<std::uint8_t>(length >> 16);
    frame[2] = static_cast<std::uint8_t>(length >> 8);
    frame[3] = static_cast<std::uint8_t>(length);
    std::copy(body->begin(), body->end(), frame.begin() + kFrameHeaderLength);
    ::explicit_bzero(body->data(), body->size());
    return frame;
}

void FrameReader::append(std::span<const std::uint8_t> bytes) {
    if (failed_) {
        return;
    }
    buffer_.append(bytes);
}

std::size_t FrameReader::wanted() const {
    const std::size_t have = buffered();
    if (have < kFrameHeaderLength) {
        return kFrameHeaderLength - have;
    }
    const std::size_t length = std::min(lengthAt(buffer_.data()), kMaxFrameLength);
    const std::size_t frame = kFrameHeaderLength + length;
    return frame > have ? frame - have : 1;
}

FrameReader::Status FrameReader::next(plist::Value* value, std::string* error) {
    if (failed_) {
        *error = failure_;
        return Status::Bad;
    }
    const std::size_t have = buffered();
    if (have < kFrameHeaderLength) {
        return Status::NeedMore;
    }
    const std::uint8_t* start = buffer_.data();
    const std::size_t length = lengthAt(start);
    std::string problem;
    if (length > kMaxFrameLength) {
        problem = "frame of " + std::to_string(length) + " bytes is longer than the limit of " +
                  std::to_string(kMaxFrameLength) + " bytes";
    } else if (length == 0) {
        problem = "empty frame";
    } else if (have < kFrameHeaderLength + length) {
        return Status::NeedMore;
    } else {
        std::optional<plist::Value> decoded = plist::readBinary(
            std::span(start + kFrameHeaderLength, length), kMaxFrameLength, &problem);
        if (decoded) {
            lastFrameLength_ = kFrameHeaderLength + length;
            buffer_.consume(lastFrameLength_);
            *value = std::move(*decoded);
            return Status::Frame;
        }
    }
    failed_ = true;
    failure_ = std::move(problem);
    buffer_.clear();
    *error = failure_;
    return Status::Bad;
}

} // namespace sockets
