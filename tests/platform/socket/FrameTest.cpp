#include "platform/socket/Frame.h"

#include "platform/plist/Binary.h"

#include <gtest/gtest.h>

namespace {

using sockets::FrameReader;

plist::Value request(std::int64_t id) {
    return plist::Value(plist::Dictionary{{"id", id}, {"message", plist::Dictionary{}}});
}

std::vector<std::uint8_t> header(std::uint32_t length) {
    return {static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
            static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
}

TEST(FrameTest, FramesSurviveAnySplitOfTheStream) {
    std::vector<std::uint8_t> stream;
    for (std::int64_t id = 1; id <= 3; ++id) {
        std::string error;
        auto frame = sockets::encodeFrame(request(id), &error);
        ASSERT_TRUE(frame) << error;
        EXPECT_EQ(frame->size() - sockets::kFrameHeaderLength,
                  (std::size_t{(*frame)[2]} << 8) | (*frame)[3]);
        stream.insert(stream.end(), frame->begin(), frame->end());
    }
    for (std::size_t step : {std::size_t{1}, std::size_t{3}, std::size_t{7}, stream.size()}) {
        FrameReader reader;
        std::vector<std::int64_t> ids;
        for (std::size_t at = 0; at < stream.size(); at += step) {
            reader.append(std::span(stream).subspan(at, std::min(step, stream.size() - at)));
            plist::Value value(false);
            std::string error;
            FrameReader::Status status;
            while ((status = reader.next(&value, &error)) == FrameReader::Status::Frame) {
                ids.push_back(*value.find("id")->asInteger());
                EXPECT_EQ(reader.lastFrameLength(), stream.size() / 3);
            }
            ASSERT_EQ(status, FrameReader::Status::NeedMore) << error;
        }
        EXPECT_EQ(ids, (std::vector<std::int64_t>{1, 2, 3})) << "step " << step;
        EXPECT_EQ(reader.buffered(), 0u);
    }
}

TEST(FrameTest, ReaderAsksOnlyForTheCurrentFrame) {
    FrameReader reader;
    EXPECT_EQ(reader.wanted(), 4u);
    reader.append(header(10));
    EXPECT_EQ(reader.wanted(), 10u);
    // A huge announced length never makes the reader ask for more than the limit.
    FrameReader huge;
    huge.append(header(0xffffffff));
    EXPECT_LE(huge.wanted(), sockets::kMaxFrameLength);
}

TEST(FrameTest, BadFramesFailTheStreamForGood) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<std::uint8_t> garbage = header(8);
    garbage.insert(garbage.end(), {'b', 'p', 'l', 'i', 's', 't', '0', '0'});
    std::vector<std::uint8_t> text = header(5);
    text.insert(text.end(), {'h', 'e', 'l', 'l', 'o'});
    const std::vector<Case> cases = {
        // Refused from the header alone, before 1 MiB + 1 bytes are buffered.
        {"oversize", header(static_cast<std::uint32_t>(sockets::kMaxFrameLength + 1))},
        {"empty", header(0)},
        {"truncated property list", garbage},
        {"not a property list", text},
    };
    for (const Case& bad : cases) {
        FrameReader reader;
        reader.append(bad.bytes);
        plist::Value value(false);
        std::string error;
        EXPECT_EQ(reader.next(&value, &error), FrameReader::Status::Bad) << bad.name;
        EXPECT_FALSE(error.empty()) << bad.name;
        // Whatever follows is not read as frames any more.
        std::string more;
        auto good = sockets::encodeFrame(request(1), &more);
        reader.append(*good);
        EXPECT_EQ(reader.next(&value, &error), FrameReader::Status::Bad) << bad.name;
        EXPECT_EQ(reader.buffered(), 0u) << bad.name;
    }
}

TEST(FrameTest, ValuesLongerThanTheLimitAreNotFramed) {
    plist::Data big(sockets::kMaxFrameLength, 0x5a);
    std::string error;
    EXPECT_FALSE(sockets::encodeFrame(plist::Value(std::move(big)), &error));
    EXPECT_NE(error.find("longer than the limit"), std::string::npos) << error;
    // The largest value that fits is framed and read back.
    plist::Data fits(sockets::kMaxFrameLength - 64, 0x5a);
    auto frame = sockets::encodeFrame(plist::Value(fits), &error);
    ASSERT_TRUE(frame) << error;
    FrameReader reader;
    reader.append(*frame);
    plist::Value value(false);
    ASSERT_EQ(reader.next(&value, &error), FrameReader::Status::Frame) << error;
    EXPECT_EQ(*value.asData(), fits);
}

} // namespace
