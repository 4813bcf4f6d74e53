#include "fuzz/FuzzEntries.h"

#include "platform/socket/Frame.h"

#include <span>
#include <vector>

namespace sockets::fuzz {

namespace {

struct Reading {
    std::vector<plist::Value> frames;
    bool bad = false;
};

// Feeds `bytes` to a reader in pieces of the given sizes (cycled), taking every frame.
std::optional<std::string> read(std::span<const std::uint8_t> bytes,
                                const std::vector<std::size_t>& pieces, Reading* reading) {
    FrameReader reader;
    std::size_t at = 0;
    for (std::size_t piece = 0; at < bytes.size() && !reading->bad; ++piece) {
        const std::size_t length = std::min(pieces[piece % pieces.size()], bytes.size() - at);
        reader.append(bytes.subspan(at, length));
        at += length;
        for (;;) {
            const std::size_t wanted = reader.wanted();
            if (wanted == 0 || wanted > kFrameHeaderLength + kMaxFrameLength) {
                return "the reader asks for " + std::to_string(wanted) + " bytes";
            }
            if (reader.buffered() > kFrameHeaderLength + kMaxFrameLength + bytes.size()) {
                return "the reader holds more than a frame";
            }
            plist::Value value(false);
            std::string error;
            const auto status = reader.next(&value, &error);
            if (status == FrameReader::Status::NeedMore) {
                break;
            }
            if (status == FrameReader::Status::Bad) {
                if (error.empty()) {
                    return std::string("a bad frame without a reason");
                }
                reading->bad = true;
                break;
            }
            reading->frames.push_back(std::move(value));
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> frameInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    Reading whole;
    if (auto problem = read(bytes, {size == 0 ? 1 : size}, &whole)) {
        return problem;
    }
    std::vector<std::size_t> pieces;
    for (std::size_t i = 0; i < std::min<std::size_t>(size, 8); ++i) {
        pieces.push_back(1 + data[i] % 13);
    }
    if (pieces.empty()) {
        pieces.push_back(1);
    }
    Reading split;
    if (auto problem = read(bytes, pieces, &split)) {
        return problem;
    }
    if (whole.bad != split.bad || whole.frames.size() != split.frames.size()) {
        return "reading in pieces ends differently from reading at once";
    }
    // Values are compared by their encoding: a NaN real equals nothing, not even itself.
    for (std::size_t i = 0; i < whole.frames.size(); ++i) {
        std::string error;
        auto again = encodeFrame(whole.frames[i], &error);
        if (!again) {
            return "frame " + std::to_string(i) + " does not encode again: " + error;
        }
        if (encodeFrame(split.frames[i], &error) != again) {
            return "frame " + std::to_string(i) + " differs when read in pieces";
        }
        Reading reread;
        if (auto problem = read(*again, {again->size()}, &reread)) {
            return problem;
        }
        if (reread.bad || reread.frames.size() != 1 ||
            encodeFrame(reread.frames[0], &error) != again) {
            return "frame " + std::to_string(i) + " does not read back the same";
        }
    }
    return std::nullopt;
}

} // namespace sockets::fuzz
