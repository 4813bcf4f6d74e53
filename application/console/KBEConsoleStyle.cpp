#include "application/console/KBEConsoleStyle.h"

#include "common/VRNSystemVersionManager.h"

#include <QPalette>

KBEConsoleStyle KBEConsoleStyle::forPalette(const QPalette& palette, const QFont& fixedPitchFont,
                                            const VRNSystemVersionManager& versions) {
    const bool systemColors = versions.runningAtLeast(VRNSystemVersion10_14);
    KBEConsoleStyle style;
    style.font = fixedPitchFont;
    style.plain = palette.color(QPalette::Active, QPalette::Text);
    style.blue =
        systemColors ? palette.color(QPalette::Active, QPalette::Link) : QColor::fromRgbF(0, 0, 1);
    style.green = QColor::fromRgbF(0, 0.58f, 0);
    style.orange = QColor::fromRgbF(0.81f, 0.41f, 0);
    style.red = QColor::fromRgbF(0.96f, 0, 0);
    for (QColor* color : {&style.plain, &style.blue}) {
        color->setAlpha(255);
    }
    return style;
}

QTextCharFormat KBEConsoleStyle::attributes(const QColor& color) const {
    QTextCharFormat format;
    format.setFont(font);
    format.setForeground(color);
    return format;
}
