#pragma once

#include "platform/calendar/DateComponents.h"

// Date components with exactly one unit set.
cal::DateComponents componentsWithMinutes(long minutes);
cal::DateComponents componentsWithHours(long hours);
cal::DateComponents componentsWithDays(long days);
// The week-of-month unit, not week-of-year.
cal::DateComponents componentsWithWeeks(long weeks);
