#include "application/editors/KBEStepper.h"

#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

namespace {

QToolButton* makeArrow(Qt::ArrowType arrow, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setArrowType(arrow);
    button->setAutoRepeat(true);
    button->setFixedSize(18, 12);
    return button;
}

} // namespace

KBEStepper::KBEStepper(int minimum, int maximum, QWidget* parent)
    : QWidget(parent), minimum_(minimum), maximum_(maximum), value_(minimum),
      up_(makeArrow(Qt::UpArrow, this)), down_(makeArrow(Qt::DownArrow, this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(up_);
    layout->addWidget(down_);
    connect(up_, &QToolButton::clicked, this, [this] { step(1); });
    connect(down_, &QToolButton::clicked, this, [this] { step(-1); });
}

void KBEStepper::setValue(int value) {
    value_ = std::clamp(value, minimum_, maximum_);
}

void KBEStepper::step(int by) {
    setValue(value_ + by);
    emit valueChanged(value_);
}
