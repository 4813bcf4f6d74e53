#pragma once

// A byte buffer that zeroes every byte it lets go of: bytes consumed from its front, its old
// storage when it grows or compacts, and all it holds when cleared or destroyed. The
// sockets carry passwords; no copy of one should outlive the frame that carried it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace sockets {

class ClearingBuffer {
public:
    ClearingBuffer() = default;
    ~ClearingBuffer();
    ClearingBuffer(ClearingBuffer&& other) noexcept;
    ClearingBuffer& operator=(ClearingBuffer&& other) noexcept;
    ClearingBuffer(const ClearingBuffer&) = delete;
    ClearingBuffer& operator=(const ClearingBuffer&) = delete;

    void append(std::span<const std::uint8_t> bytes);
    // Drops the first `count` bytes held (at most all of them), zeroed.
    void consume(std::size_t count);
    // Zeroes everything and releases the storage.
    void clear();

    const std::uint8_t* data() const { return storage_.get() + begin_; }
    std::size_t size() const { return end_ - begin_; }
    // Every byte of the storage, consumed and unused ones included: what a dump of the
    // process would find.
    std::span<const std::uint8_t> storage() const { return {storage_.get(), capacity_}; }

private:
    std::unique_ptr<std::uint8_t[]> storage_;
    std::size_t capacity_ = 0;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

} // namespace sockets
