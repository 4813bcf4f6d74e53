#include "application/ui/KBEDatePicker.h"

#include "common/VRNSystemVersionManager.h"

namespace {

constexpr int kLegacyExtraHeight = 2;

} // namespace

KBEDatePicker::KBEDatePicker(const VRNSystemVersionManager& version, QWidget* parent)
    : QTimeEdit(parent),
      extraHeight_(version.runningAtLeast(VRNSystemVersion10_10) ? 0 : kLegacyExtraHeight) {
    setDisplayFormat("HH:mm");
}

QSize KBEDatePicker::sizeHint() const {
    return QTimeEdit::sizeHint() + QSize(0, extraHeight_);
}

QSize KBEDatePicker::minimumSizeHint() const {
    return QTimeEdit::minimumSizeHint() + QSize(0, extraHeight_);
}
