// The frame reader's buffer: no byte it has let go of may stay readable in its storage.

#include "platform/socket/ClearingBuffer.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using sockets::ClearingBuffer;

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

// Whether `needle` still appears anywhere in the buffer's storage.
bool storageHolds(const ClearingBuffer& buffer, const std::string& needle) {
    const auto storage = buffer.storage();
    return std::search(storage.begin(), storage.end(), needle.begin(), needle.end()) !=
           storage.end();
}

std::string held(const ClearingBuffer& buffer) {
    return {reinterpret_cast<const char*>(buffer.data()), buffer.size()};
}

TEST(ClearingBufferTest, ConsumedBytesAreZeroedWhereverTheRestMoves) {
    ClearingBuffer buffer;
    const std::string secret = "password=correct horse battery staple;";
    buffer.append(bytesOf(secret + "next frame's start"));
    buffer.consume(secret.size());
    EXPECT_FALSE(storageHolds(buffer, "correct horse"));
    EXPECT_EQ(held(buffer), "next frame's start");

    // Compacting in place (the rest moves to the front) leaves no copy behind it.
    const std::size_t capacity = buffer.storage().size();
    const std::string filler(capacity - 40, 'x');
    buffer.append(bytesOf(filler));
    buffer.consume(buffer.size() - 10);
    buffer.append(bytesOf(std::string(30, 'y')));
    EXPECT_EQ(buffer.storage().size(), capacity);
    EXPECT_EQ(held(buffer), std::string(10, 'x') + std::string(30, 'y'));
    const auto storage = buffer.storage();
    EXPECT_TRUE(std::all_of(storage.begin() + 40, storage.end(), [](auto b) { return b == 0; }));

    // Growing moves everything to new storage; the old is zeroed before it is freed, and
    // the new holds only what is still unconsumed.
    buffer.append(bytesOf(secret));
    buffer.append(bytesOf(std::string(capacity * 3, 'z')));
    EXPECT_GT(buffer.storage().size(), capacity);
    EXPECT_EQ(held(buffer).substr(0, 40), std::string(10, 'x') + std::string(30, 'y'));
    buffer.consume(40 + secret.size());
    EXPECT_FALSE(storageHolds(buffer, "correct horse"));
    EXPECT_EQ(held(buffer), std::string(capacity * 3, 'z'));
}

TEST(ClearingBufferTest, ClearingAndMovingLeaveNothingBehind) {
    ClearingBuffer buffer;
    buffer.append(bytesOf("secret"));
    ClearingBuffer moved = std::move(buffer);
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_TRUE(buffer.storage().empty());
    EXPECT_EQ(held(moved), "secret");

    ClearingBuffer other;
    other.append(bytesOf("older"));
    other = std::move(moved);
    EXPECT_EQ(held(other), "secret");
    other.clear();
    EXPECT_EQ(other.size(), 0u);
    EXPECT_TRUE(other.storage().empty());
    other.append(bytesOf("again"));
    EXPECT_EQ(held(other), "again");
}

} // namespace
