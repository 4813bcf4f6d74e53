#include "platform/calendar/DateComponents.h"

namespace cal {

std::string DateComponents::description() const {
    std::string text = "{";
    auto add = [&text](const char* name, const std::optional<long>& value) {
        if (value) {
            text += "\n    ";
            text += name;
            text += " = " + std::to_string(*value) + ";";
        }
    };
    add("year", year);
    add("month", month);
    add("day", day);
    add("hour", hour);
    add("minute", minute);
    add("second", second);
    add("weekday", weekday);
    add("weekOfMonth", weekOfMonth);
    add("weekOfYear", weekOfYear);
    text += text.size() > 1 ? "\n}" : "}";
    return text;
}

} // namespace cal
