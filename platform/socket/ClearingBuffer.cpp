#include "platform/socket/ClearingBuffer.h"

#include <algorithm>
#include <cstring>
#include <string.h>
#include <utility>

namespace sockets {

namespace {
constexpr std::size_t kInitialCapacity = 4096;
} // namespace

ClearingBuffer::~ClearingBuffer() {
    clear();
}

ClearingBuffer::ClearingBuffer(ClearingBuffer&& other) noexcept
    : storage_(std::move(other.storage_)), capacity_(std::exchange(other.capacity_, 0)),
      begin_(std::exchange(other.begin_, 0)), end_(std::exchange(other.end_, 0)) {}

ClearingBuffer& ClearingBuffer::operator=(ClearingBuffer&& other) noexcept {
    if (this != &other) {
        clear();
        storage_ = std::move(other.storage_);
        capacity_ = std::exchange(other.capacity_, 0);
        begin_ = std::exchange(other.begin_, 0);
        end_ = std::exchange(other.end_, 0);
    }
    return *this;
}

void ClearingBuffer::append(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) {
        return;
    }
    const std::size_t held = size();
    if (end_ + bytes.size() > capacity_) {
        if (held + bytes.size() <= capacity_) {
            // Room enough once the consumed front is gone: move the rest down and zero the
            // place it left.
            std::memmove(storage_.get(), data(), held);
            ::explicit_bzero(storage_.get() + held, end_ - held);
        } else {
            const std::size_t capacity =
                std::max({kInitialCapacity, capacity_ * 2, held + bytes.size()});
            auto grown = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
            if (held > 0) {
                std::memcpy(grown.get(), data(), held);
            }
            std::memset(grown.get() + held, 0, capacity - held);
            clear();
            storage_ = std::move(grown);
            capacity_ = capacity;
        }
        begin_ = 0;
        end_ = held;
    }
    std::memcpy(storage_.get() + end_, bytes.data(), bytes.size());
    end_ += bytes.size();
}

void ClearingBuffer::consume(std::size_t count) {
    count = std::min(count, size());
    if (count == 0) {
        return;
    }
    ::explicit_bzero(storage_.get() + begin_, count);
    begin_ += count;
    if (begin_ == end_) {
        begin_ = end_ = 0;
    }
}

void ClearingBuffer::clear() {
    if (storage_) {
        ::explicit_bzero(storage_.get(), capacity_);
    }
    storage_.reset();
    capacity_ = begin_ = end_ = 0;
}

} // namespace sockets
