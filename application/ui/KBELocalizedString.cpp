#include "application/ui/KBELocalizedString.h"

#include <cstring>

namespace {

struct Entry {
    const char* key;
    const char* text;
};

// Keys whose English text differs from the key.
constexpr Entry kStrings[] = {
    {"Back up every-minutes", "Back up every"},
    {"Back up every-hours", "Back up every"},
    {"Back up every-days", "Back up every"},
    {"Back up every-weeks", "Back up every"},
};

} // namespace

QString KBELocalizedString(const char* key) {
    for (const Entry& entry : kStrings) {
        if (std::strcmp(entry.key, key) == 0) {
            return QString::fromUtf8(entry.text);
        }
    }
    return QString::fromUtf8(key);
}
