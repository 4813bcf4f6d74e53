#pragma once

#include <QWidget>

class QToolButton;

// A pair of small up and down arrows that step a number within bounds. `valueChanged` is
// emitted only for the user's clicks, not for `setValue`.
class KBEStepper : public QWidget {
    Q_OBJECT

public:
    KBEStepper(int minimum, int maximum, QWidget* parent = nullptr);

    int value() const { return value_; }
    // Clamped to the bounds.
    void setValue(int value);

    QToolButton* upButton() const { return up_; }
    QToolButton* downButton() const { return down_; }

signals:
    void valueChanged(int value);

private:
    void step(int by);

    const int minimum_;
    const int maximum_;
    int value_;
    QToolButton* up_;
    QToolButton* down_;
};
