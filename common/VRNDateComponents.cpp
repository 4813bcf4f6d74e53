#include "common/VRNDateComponents.h"

cal::DateComponents componentsWithMinutes(long minutes) {
    cal::DateComponents c;
    c.minute = minutes;
    return c;
}

cal::DateComponents componentsWithHours(long hours) {
    cal::DateComponents c;
    c.hour = hours;
    return c;
}

cal::DateComponents componentsWithDays(long days) {
    cal::DateComponents c;
    c.day = days;
    return c;
}

cal::DateComponents componentsWithWeeks(long weeks) {
    cal::DateComponents c;
    c.weekOfMonth = weeks;
    return c;
}
