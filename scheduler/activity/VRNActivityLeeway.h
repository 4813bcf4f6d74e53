#pragma once

#include "platform/calendar/DateComponents.h"

#include <memory>
#include <mutex>
#include <optional>

// How long after its earliest start an activity may still wait for a good moment.
class VRNActivityLeeway {
public:
    enum Type : unsigned {
        None = 0,           // due at its start date, runs as soon as nothing defers it
        Infinite = 1,       // waits for an idle user from its start date on, with no end
        DateComponents = 2, // waits for an idle user until start + dateComponents, then asap
    };

    static std::shared_ptr<VRNActivityLeeway> none();
    static std::shared_ptr<VRNActivityLeeway> infinite();
    static std::shared_ptr<VRNActivityLeeway>
    activityLeewayWithDateComponents(const cal::DateComponents& dateComponents);

    VRNActivityLeeway(unsigned type, std::optional<cal::DateComponents> dateComponents);

    unsigned type() const;
    void setType(unsigned type);
    std::optional<cal::DateComponents> dateComponents() const;
    void setDateComponents(std::optional<cal::DateComponents> dateComponents);

    // A new leeway with the same type and components.
    std::shared_ptr<VRNActivityLeeway> copy() const;

private:
    mutable std::mutex mutex_; // the accessors are atomic
    unsigned type_;
    std::optional<cal::DateComponents> dateComponents_;
};
