#pragma once

#include <QTimeEdit>

class VRNSystemVersionManager;

// A time-of-day picker of hours and minutes. Systems before 10.10 drew the control two
// points taller than its standard height; the picker keeps that one metric. (Their larger
// baseline offset has no counterpart: Qt layouts do not align on baselines.)
class KBEDatePicker : public QTimeEdit {
    Q_OBJECT

public:
    explicit KBEDatePicker(const VRNSystemVersionManager& version, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

private:
    int extraHeight_ = 0;
};
