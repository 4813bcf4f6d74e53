#include "application/ui/VRNButtonLinkCell.h"

#include <QPainter>
#include <QPalette>

namespace {

// How much darker a pressed link is drawn (percent, as QColor::darker takes it).
constexpr int kPressedDarkening = 140;

} // namespace

VRNButtonLinkCell::VRNButtonLinkCell(const QString& title, const VRNSystemVersionManager& version,
                                     QWidget* parent)
    : QAbstractButton(parent), version_(version) {
    setText(title);
    setCursor(Qt::PointingHandCursor);
}

QColor VRNButtonLinkCell::linkColor(const QPalette& palette, const VRNSystemVersionManager& version,
                                    bool highlighted) {
    if (!version.runningAtLeast(VRNSystemVersion10_10)) {
        return QColor(0, 0, 255);
    }
    const QColor link = palette.color(QPalette::Link);
    if (!highlighted) {
        return link;
    }
    if (version.runningAtLeast(VRNSystemVersion10_14)) {
        return link.darker(kPressedDarkening);
    }
    return palette.color(QPalette::WindowText);
}

QSize VRNButtonLinkCell::sizeHint() const {
    return fontMetrics().size(Qt::TextSingleLine, text());
}

void VRNButtonLinkCell::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(linkColor(palette(), version_, isDown()));
    painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text());
}
