#include "application/ui/VRNRichText.h"

void VRNAppendString(QTextCursor& cursor, const QString& text, const QTextCharFormat& attributes) {
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text, attributes);
}
