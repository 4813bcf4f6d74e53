#pragma once

#include "tests/support/WaitLimit.h"

#include <gtest/gtest.h>
#include <memory>
#include <semaphore>

namespace testsupport {

// Holds a thread (a queue item, an observer) until the test opens the gate. The hold is
// bounded: a test that stops early leaves no thread blocked for good, and the gate opens
// when it goes out of scope.
class Gate {
public:
    ~Gate() { open(); }

    void open() { state_->release(); }

    // On the held thread: waits for open(); a failure when it does not come in time.
    void pass() {
        const std::shared_ptr<std::binary_semaphore> state = state_;
        if (!state->try_acquire_for(kWaitLimit)) {
            ADD_FAILURE() << "the gate was not opened within " << kWaitLimit.count() << " s";
        }
    }

private:
    std::shared_ptr<std::binary_semaphore> state_ = std::make_shared<std::binary_semaphore>(0);
};

} // namespace testsupport
