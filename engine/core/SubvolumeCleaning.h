#pragma once

// Waiting for btrfs's cleaner: a deleted subvolume's space is returned only once the
// cleaner has dropped it, some time after the deletion itself.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace engine {

// Waits until every deleted subvolume in `ids` on the file system of `top` has been
// cleaned and the space it held is committed as free, at most `limit` in all. False with
// `error` filled when the limit passed first or the wait failed.
bool waitForCleaning(const std::string& top, const std::vector<std::uint64_t>& ids,
                     std::chrono::milliseconds limit, std::string* error);

} // namespace engine
