#pragma once

#include <QColor>
#include <QFont>
#include <QTextCharFormat>

class QPalette;
class VRNSystemVersionManager;

// The console's text attributes: every run in the user's fixed-pitch font, in one of five
// opaque colours. The palette stands for the system colours; where it has no such colour
// (green, orange, red) and before 10.14 for blue, the classic values are used.
struct KBEConsoleStyle {
    QFont font;
    QColor plain;
    QColor blue;
    QColor green;
    QColor orange;
    QColor red;

    static KBEConsoleStyle forPalette(const QPalette& palette, const QFont& fixedPitchFont,
                                      const VRNSystemVersionManager& versions);

    // The attributes of a run in `color`.
    QTextCharFormat attributes(const QColor& color) const;
};
