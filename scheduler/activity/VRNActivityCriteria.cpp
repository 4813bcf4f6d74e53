#include "scheduler/activity/VRNActivityCriteria.h"

bool VRNActivityCriteria::allowBattery() const {
    return get(allowBattery_);
}

void VRNActivityCriteria::setAllowBattery(bool value) {
    set(allowBattery_, std::move(value));
}

bool VRNActivityCriteria::runASAPIfMissed() const {
    return get(runASAPIfMissed_);
}

void VRNActivityCriteria::setRunASAPIfMissed(bool value) {
    set(runASAPIfMissed_, std::move(value));
}

bool VRNActivityCriteria::powerNap() const {
    return get(powerNap_);
}

void VRNActivityCriteria::setPowerNap(bool value) {
    set(powerNap_, std::move(value));
}

bool VRNActivityCriteria::dontRunWhenPassive() const {
    return get(dontRunWhenPassive_);
}

void VRNActivityCriteria::setDontRunWhenPassive(bool value) {
    set(dontRunWhenPassive_, std::move(value));
}

bool VRNActivityCriteria::dontRunWithSleepPreventers() const {
    return get(dontRunWithSleepPreventers_);
}

void VRNActivityCriteria::setDontRunWithSleepPreventers(bool value) {
    set(dontRunWithSleepPreventers_, std::move(value));
}

bool VRNActivityCriteria::dontRunWhenNotNetworkWired() const {
    return get(dontRunWhenNotNetworkWired_);
}

void VRNActivityCriteria::setDontRunWhenNotNetworkWired(bool value) {
    set(dontRunWhenNotNetworkWired_, std::move(value));
}

VRNActivityCriteria::Components VRNActivityCriteria::interval() const {
    return get(interval_);
}

void VRNActivityCriteria::setInterval(Components value) {
    set(interval_, std::move(value));
}

std::shared_ptr<VRNActivityLeeway> VRNActivityCriteria::leeway() const {
    return get(leeway_);
}

void VRNActivityCriteria::setLeeway(std::shared_ptr<VRNActivityLeeway> value) {
    set(leeway_, std::move(value));
}

VRNActivityCriteria::Components VRNActivityCriteria::delay() const {
    return get(delay_);
}

void VRNActivityCriteria::setDelay(Components value) {
    set(delay_, std::move(value));
}

VRNActivityCriteria::Components VRNActivityCriteria::failureDelay() const {
    return get(failureDelay_);
}

void VRNActivityCriteria::setFailureDelay(Components value) {
    set(failureDelay_, std::move(value));
}

VRNActivityCriteria::ComponentsArray VRNActivityCriteria::dateComponents() const {
    return get(dateComponents_);
}

void VRNActivityCriteria::setDateComponents(ComponentsArray value) {
    set(dateComponents_, std::move(value));
}

VRNActivityCriteria::Components VRNActivityCriteria::suspendFromDateComponents() const {
    return get(suspendFromDateComponents_);
}

void VRNActivityCriteria::setSuspendFromDateComponents(Components value) {
    set(suspendFromDateComponents_, std::move(value));
}

VRNActivityCriteria::Components VRNActivityCriteria::suspendToDateComponents() const {
    return get(suspendToDateComponents_);
}

void VRNActivityCriteria::setSuspendToDateComponents(Components value) {
    set(suspendToDateComponents_, std::move(value));
}

double VRNActivityCriteria::startRange() const {
    return get(startRange_);
}

void VRNActivityCriteria::setStartRange(double value) {
    set(startRange_, std::move(value));
}

std::shared_ptr<VRNActivityCriteria> VRNActivityCriteria::copy() const {
    auto copy = std::make_shared<VRNActivityCriteria>();
    std::lock_guard lock(mutex_);
    copy->allowBattery_ = allowBattery_;
    copy->runASAPIfMissed_ = runASAPIfMissed_;
    copy->powerNap_ = powerNap_;
    copy->dontRunWhenPassive_ = dontRunWhenPassive_;
    copy->dontRunWithSleepPreventers_ = dontRunWithSleepPreventers_;
    copy->dontRunWhenNotNetworkWired_ = dontRunWhenNotNetworkWired_;
    copy->interval_ = interval_;
    copy->leeway_ = leeway_ ? leeway_->copy() : nullptr;
    copy->delay_ = delay_;
    copy->failureDelay_ = failureDelay_;
    copy->dateComponents_ = dateComponents_;
    copy->suspendFromDateComponents_ = suspendFromDateComponents_;
    copy->suspendToDateComponents_ = suspendToDateComponents_;
    copy->startRange_ = startRange_;
    return copy;
}

VRNActivityScheduleMode VRNActivityCriteria::scheduleMode() const {
    std::lock_guard lock(mutex_);
    if (dateComponents_) {
        return VRNActivityScheduleMode::Calendar;
    }
    if (interval_) {
        return VRNActivityScheduleMode::Interval;
    }
    if (delay_) {
        return VRNActivityScheduleMode::DelayOnly;
    }
    return VRNActivityScheduleMode::None;
}

bool VRNActivityCriteria::hasSuspensionWindow() const {
    std::lock_guard lock(mutex_);
    return suspendFromDateComponents_.has_value() && suspendToDateComponents_.has_value();
}
