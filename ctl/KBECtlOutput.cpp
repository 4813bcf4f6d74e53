#include "ctl/KBECtlOutput.h"

#include "platform/calendar/DateFormatter.h"
#include "platform/plist/Plist.h"

#include <cctype>

bool KBECtlBoolValue(std::string_view word) {
    std::size_t i = 0;
    while (i < word.size() && std::isspace(static_cast<unsigned char>(word[i]))) {
        ++i;
    }
    if (i < word.size() && (word[i] == '+' || word[i] == '-')) {
        ++i;
    }
    while (i < word.size() && word[i] == '0') {
        ++i;
    }
    if (i == word.size()) {
        return false;
    }
    const char c = word[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

void KBECtlPrintDictionary(std::FILE* out, const plist::Dictionary& dictionary,
                           std::string_view option) {
    std::optional<std::string> text;
    std::string error;
    if (option == "-x") {
        text = plist::writeXml(plist::Value(dictionary), &error);
    } else if (option == "-j") {
        text = plist::writeJson(plist::Value(dictionary), &error);
    } else {
        text = plist::description(plist::Value(dictionary)) + "\n";
    }
    if (text) {
        std::fwrite(text->data(), 1, text->size(), out);
    }
}

namespace {

std::optional<plist::Date> dateOf(const plist::Dictionary& activity, const char* key) {
    const auto it = activity.find(key);
    return it == activity.end() ? std::nullopt : it->second.asDate();
}

std::string dateText(plist::Date date) {
    return cal::shortDateShortTimeText(date.secondsSinceReferenceDate);
}

} // namespace

void KBECtlPrintInfo(std::FILE* out, const plist::Dictionary* activity) {
    if (activity == nullptr) {
        return;
    }
    const auto lastRun = dateOf(*activity, "LastRun");
    const auto lastTry = dateOf(*activity, "LastTry");
    if (lastRun) {
        std::fprintf(out, "Last run: %s\n", dateText(*lastRun).c_str());
    }
    if (lastTry &&
        (!lastRun || lastTry->secondsSinceReferenceDate > lastRun->secondsSinceReferenceDate)) {
        std::fprintf(out, "Last try: %s\n", dateText(*lastTry).c_str());
    }
    const auto running = activity->find("Running");
    const auto nextRun = dateOf(*activity, "NextRun");
    const auto reason = activity->find("DeferReason");
    if (running != activity->end() && running->second.asBoolean().value_or(false)) {
        std::fputs("\nRunning now.\n", out);
    } else if (nextRun) {
        std::fprintf(out, "Next run: %s\n", dateText(*nextRun).c_str());
    } else if (reason != activity->end() && reason->second.asString()) {
        std::fprintf(out, "\nDeferred: %s.\n", reason->second.asString()->c_str());
    }
}
