#pragma once

#include "common/VRNSystemVersionManager.h"

#include <QAbstractButton>
#include <QColor>

class QPalette;

// A button drawn as a hyperlink: its title alone, in the link colour, with a pointing hand.
class VRNButtonLinkCell : public QAbstractButton {
    Q_OBJECT

public:
    VRNButtonLinkCell(const QString& title, const VRNSystemVersionManager& version,
                      QWidget* parent = nullptr);

    // The title's colour: the classic blue before 10.10; from then on the palette's link
    // colour, and while pressed that colour darkened (the pressed effect of 10.14 and later)
    // or the window-text colour (10.10 to 10.13).
    static QColor linkColor(const QPalette& palette, const VRNSystemVersionManager& version,
                            bool highlighted);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const VRNSystemVersionManager version_;
};
