#pragma once

// Assembles binary property lists object by object, for files no correct writer produces.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace plist::testing {

class BinaryBuilder {
public:
    BinaryBuilder(std::size_t refSize = 1, std::size_t offsetSize = 0)
        : refSize_(refSize), offsetSize_(offsetSize) {}

    // Appends one object's bytes; returns its index.
    std::size_t add(std::vector<std::uint8_t> bytes) {
        objects_.push_back(std::move(bytes));
        return objects_.size() - 1;
    }

    // Marker byte with an inline count (below 15) followed by references (for a
    // dictionary: all keys, then all values).
    std::vector<std::uint8_t> container(std::uint8_t marker,
                                        const std::vector<std::size_t>& refs) const {
        const std::size_t count = (marker & 0xF0) == 0xD0 ? refs.size() / 2 : refs.size();
        std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(marker | count)};
        for (std::size_t ref : refs) {
            for (std::size_t i = refSize_; i-- > 0;) {
                bytes.push_back(static_cast<std::uint8_t>(ref >> (8 * i)));
            }
        }
        return bytes;
    }

    static std::vector<std::uint8_t> ascii(const std::string& s) {
        std::vector<std::uint8_t> bytes(s.size() + 1);
        bytes[0] = static_cast<std::uint8_t>(0x50 | s.size());
        std::copy(s.begin(), s.end(), bytes.begin() + 1);
        return bytes;
    }

    std::vector<std::uint8_t> build(std::size_t top = 0) const {
        std::vector<std::uint8_t> out{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
        std::vector<std::uint64_t> offsets;
        for (const auto& object : objects_) {
            offsets.push_back(out.size());
            out.insert(out.end(), object.begin(), object.end());
        }
        const std::uint64_t table = out.size();
        const std::size_t offsetSize = offsetSize_ ? offsetSize_ : (table < 256 ? 1 : 4);
        for (std::uint64_t offset : offsets) {
            append(out, offset, offsetSize);
        }
        out.insert(out.end(), 6, 0);
        out.push_back(static_cast<std::uint8_t>(offsetSize));
        out.push_back(static_cast<std::uint8_t>(refSize_));
        append(out, objects_.size(), 8);
        append(out, top, 8);
        append(out, table, 8);
        return out;
    }

    static void append(std::vector<std::uint8_t>& out, std::uint64_t value, std::size_t size) {
        for (std::size_t i = size; i-- > 0;) {
            out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        }
    }

private:
    std::size_t refSize_;
    std::size_t offsetSize_;
    std::vector<std::vector<std::uint8_t>> objects_;
};

} // namespace plist::testing
