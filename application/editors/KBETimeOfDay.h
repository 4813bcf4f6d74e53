#pragma once

#include <QTime>

// The local time of day now, to the minute, from the runtime's clock.
QTime KBECurrentTimeOfDay();

// The time of day `hour`:`minute` as a lenient calendar forms it: minutes past 59 and hours
// past 23 carry over, and a whole day more or less is the same time of day.
QTime KBETimeOfDay(long long hour, long long minute);
