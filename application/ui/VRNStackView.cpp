#include "application/ui/VRNStackView.h"

#include <QBoxLayout>
#include <typeinfo>

VRNStackView::VRNStackView(QWidget* parent) : VRNStackView({}, parent) {}

VRNStackView::VRNStackView(const QList<QWidget*>& views, QWidget* parent) : QWidget(parent) {
    setViews(views);
}

int VRNStackView::marginForView(const QWidget* view) {
    return typeid(*view) == typeid(QWidget) ? 0 : 2;
}

void VRNStackView::setViews(const QList<QWidget*>& views) {
    for (QWidget* view : views_) {
        if (!views.contains(view)) {
            view->hide();
            view->setParent(nullptr);
        }
    }
    views_ = views;
    updateLayoutForViews();
}

void VRNStackView::setOrientation(int orientation) {
    orientation_ = orientation;
    updateLayoutForViews();
}

void VRNStackView::updateLayoutForViews() {
    // A widget's layout can only be replaced once the old one is gone; the views it held
    // stay children of the stack and are put into the new layout.
    delete layout();
    auto* layout = new QBoxLayout(orientation_ == kVertical ? QBoxLayout::TopToBottom
                                                            : QBoxLayout::LeftToRight);
    layout->setSpacing(kSpacing);
    if (orientation_ == kVertical) {
        installVertical(layout);
    } else {
        installHorizontal(layout);
    }
    setLayout(layout);
    for (QWidget* view : views_) {
        view->show();
    }
}

void VRNStackView::installVertical(QBoxLayout* layout) {
    if (views_.isEmpty()) {
        layout->setContentsMargins(0, 0, 0, 0);
        return;
    }
    layout->setContentsMargins(0, marginForView(views_.first()), 0, marginForView(views_.last()));
    // The views keep their natural heights from the top; a taller stack leaves the rest empty
    // below them rather than spreading them apart.
    layout->setAlignment(Qt::AlignTop);
    for (QWidget* view : views_) {
        // Each view gets its own inset on both sides. It fills the width when its size
        // policy (as set when it joined the stack) lets it grow, else it keeps its size at
        // the leading edge instead of being centred.
        const int margin = marginForView(view);
        auto* row = new QHBoxLayout;
        row->setContentsMargins(margin, 0, margin, 0);
        const bool grows = view->sizePolicy().horizontalPolicy() & QSizePolicy::GrowFlag;
        row->addWidget(view, 0, grows ? Qt::Alignment() : Qt::AlignLeft);
        layout->addLayout(row);
    }
}

void VRNStackView::installHorizontal(QBoxLayout* layout) {
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setAlignment(Qt::AlignLeft);
    for (QWidget* view : views_) {
        layout->addWidget(view, 0, Qt::AlignVCenter);
    }
}
