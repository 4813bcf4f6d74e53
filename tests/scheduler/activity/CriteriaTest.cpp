#include "common/VRNDateComponents.h"
#include "scheduler/activity/VRNActivityCriteria.h"

#include <gtest/gtest.h>

namespace {

TEST(VRNActivityCriteriaTest, DefaultsAreFalseNullAndZero) {
    VRNActivityCriteria c;
    EXPECT_FALSE(c.allowBattery() || c.runASAPIfMissed() || c.powerNap() ||
                 c.dontRunWhenPassive() || c.dontRunWithSleepPreventers() ||
                 c.dontRunWhenNotNetworkWired());
    EXPECT_FALSE(c.interval() || c.delay() || c.failureDelay() || c.dateComponents() ||
                 c.suspendFromDateComponents() || c.suspendToDateComponents());
    EXPECT_EQ(c.leeway(), nullptr);
    EXPECT_EQ(c.startRange(), 0.0);
    EXPECT_EQ(c.scheduleMode(), VRNActivityScheduleMode::None);
}

TEST(VRNActivityCriteriaTest, ModeIsChosenByTheFieldsPresentInOrder) {
    VRNActivityCriteria c;
    c.setDelay(componentsWithHours(1));
    EXPECT_EQ(c.scheduleMode(), VRNActivityScheduleMode::DelayOnly);
    c.setInterval(componentsWithDays(1));
    EXPECT_EQ(c.scheduleMode(), VRNActivityScheduleMode::Interval);
    c.setDateComponents(std::vector<cal::DateComponents>{}); // present even when empty
    EXPECT_EQ(c.scheduleMode(), VRNActivityScheduleMode::Calendar);
    c.setDateComponents(std::nullopt);
    EXPECT_EQ(c.scheduleMode(), VRNActivityScheduleMode::Interval);
}

TEST(VRNActivityCriteriaTest, ASuspensionWindowNeedsBothEnds) {
    VRNActivityCriteria c;
    cal::DateComponents ten;
    ten.hour = 22;
    ten.minute = 0;
    c.setSuspendFromDateComponents(ten);
    EXPECT_FALSE(c.hasSuspensionWindow());
    c.setSuspendToDateComponents(componentsWithHours(6));
    EXPECT_TRUE(c.hasSuspensionWindow());
    c.setSuspendFromDateComponents(std::nullopt);
    EXPECT_FALSE(c.hasSuspensionWindow());
}

TEST(VRNActivityCriteriaTest, ACopyHasItsOwnLeewayAndTheSameEverythingElse) {
    VRNActivityCriteria source;
    source.setLeeway(VRNActivityLeeway::infinite());
    source.setInterval(componentsWithWeeks(2));
    source.setDateComponents(std::vector{componentsWithMinutes(30)});
    source.setStartRange(0.33);
    source.setAllowBattery(true);
    source.setPowerNap(true);

    auto copy = source.copy();
    source.leeway()->setType(VRNActivityLeeway::None);
    EXPECT_EQ(copy->leeway()->type(), VRNActivityLeeway::Infinite);
    EXPECT_EQ(copy->interval(), componentsWithWeeks(2));
    EXPECT_EQ(copy->dateComponents(), std::vector{componentsWithMinutes(30)});
    EXPECT_EQ(copy->startRange(), 0.33);
    EXPECT_TRUE(copy->allowBattery());
    EXPECT_TRUE(copy->powerNap());
    EXPECT_FALSE(copy->runASAPIfMissed());

    VRNActivityCriteria noLeeway;
    EXPECT_EQ(noLeeway.copy()->leeway(), nullptr);
}

TEST(VRNActivityLeewayTest, ConstructorsAndCopies) {
    EXPECT_EQ(VRNActivityLeeway::none()->type(), VRNActivityLeeway::None);
    EXPECT_EQ(VRNActivityLeeway::infinite()->type(), VRNActivityLeeway::Infinite);
    auto window = VRNActivityLeeway::activityLeewayWithDateComponents(componentsWithHours(2));
    EXPECT_EQ(window->type(), VRNActivityLeeway::DateComponents);
    EXPECT_EQ(window->dateComponents(), componentsWithHours(2));
    auto copy = window->copy();
    window->setDateComponents(componentsWithHours(5));
    EXPECT_EQ(copy->dateComponents(), componentsWithHours(2));
    EXPECT_EQ(VRNActivityLeeway::none()->dateComponents(), std::nullopt);
}

} // namespace
