#pragma once

#include "common/VRNFormat.h"

#include <QString>
#include <QTextCharFormat>
#include <QTextCursor>
#include <string>

// Appends `text` with `attributes` at the end of the cursor's document.
void VRNAppendString(QTextCursor& cursor, const QString& text, const QTextCharFormat& attributes);

// Formats the product's format string with `args` and appends the text with `attributes`.
// A format that does not fit its arguments appends nothing and returns false.
template <class... Args>
bool VRNAppendAttributes(QTextCursor& cursor, const QTextCharFormat& attributes,
                         VRNFormatFor<Args...> format, const Args&... args) {
    std::string text;
    if (!VRNFormatAppend<Args...>(text, format, args...)) {
        return false;
    }
    VRNAppendString(cursor, QString::fromStdString(text), attributes);
    return true;
}
