#include "scheduler/activity/VRNActivityLeeway.h"

std::shared_ptr<VRNActivityLeeway> VRNActivityLeeway::none() {
    return std::make_shared<VRNActivityLeeway>(None, std::nullopt);
}

std::shared_ptr<VRNActivityLeeway> VRNActivityLeeway::infinite() {
    return std::make_shared<VRNActivityLeeway>(Infinite, std::nullopt);
}

std::shared_ptr<VRNActivityLeeway>
VRNActivityLeeway::activityLeewayWithDateComponents(const cal::DateComponents& dateComponents) {
    return std::make_shared<VRNActivityLeeway>(DateComponents, dateComponents);
}

VRNActivityLeeway::VRNActivityLeeway(unsigned type,
                                     std::optional<cal::DateComponents> dateComponents)
    : type_(type), dateComponents_(std::move(dateComponents)) {}

unsigned VRNActivityLeeway::type() const {
    std::lock_guard lock(mutex_);
    return type_;
}

void VRNActivityLeeway::setType(unsigned type) {
    std::lock_guard lock(mutex_);
    type_ = type;
}

std::optional<cal::DateComponents> VRNActivityLeeway::dateComponents() const {
    std::lock_guard lock(mutex_);
    return dateComponents_;
}

void VRNActivityLeeway::setDateComponents(std::optional<cal::DateComponents> dateComponents) {
    std::lock_guard lock(mutex_);
    dateComponents_ = std::move(dateComponents);
}

std::shared_ptr<VRNActivityLeeway> VRNActivityLeeway::copy() const {
    std::lock_guard lock(mutex_);
    return std::make_shared<VRNActivityLeeway>(type_, dateComponents_);
}
