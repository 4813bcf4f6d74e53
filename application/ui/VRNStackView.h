#pragma once

#include <QList>
#include <QWidget>

class QBoxLayout;

// Lays out a changing list of views one after another, 8 points apart. Vertically each view
// is inset on both sides by its margin (`marginForView`), the first view's margin above it
// and the last view's below it; horizontally the views touch the stack's ends and are
// centred on one line. The stack owns the views it shows.
class VRNStackView : public QWidget {
    Q_OBJECT

public:
    static constexpr int kVertical = 1;
    static constexpr int kSpacing = 8;

    explicit VRNStackView(QWidget* parent = nullptr);
    explicit VRNStackView(const QList<QWidget*>& views, QWidget* parent = nullptr);

    const QList<QWidget*>& views() const { return views_; }
    // Removes the previous views from the stack (hidden and detached, still alive for the
    // caller to reuse or delete) and shows `views` in order.
    void setViews(const QList<QWidget*>& views);

    int orientation() const { return orientation_; }
    void setOrientation(int orientation);

    // 0 for a view of exactly the plain widget class (a container that draws nothing), 2 for
    // any control, whose frame would otherwise touch the stack's edge.
    static int marginForView(const QWidget* view);

private:
    void updateLayoutForViews();
    void installVertical(QBoxLayout* layout);
    void installHorizontal(QBoxLayout* layout);

    QList<QWidget*> views_;
    int orientation_ = 0;
};
