#include "application/editors/KBERuleEditor.h"

#include <QHBoxLayout>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

QToolButton* makeRowButton(const QString& title, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setText(title);
    button->setFixedSize(22, 22);
    return button;
}

} // namespace

KBERuleEditor::KBERuleEditor(KBERuleEditorDelegate& delegate, QWidget* parent)
    : QWidget(parent), delegate_(delegate), layout_(new QVBoxLayout(this)) {
    layout_->setContentsMargins(6, 6, 6, 6);
    layout_->setSpacing(4);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
}

QList<QWidget*> KBERuleEditor::insertRowAtIndex(int index) {
    Row row;
    row.widget = new QWidget(this);
    auto* line = new QHBoxLayout(row.widget);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(6);
    KBCriterion* criterion = nullptr;
    while (delegate_.numberOfChildrenForCriterion(this, criterion) > 0) {
        criterion = delegate_.child(this, 0, criterion);
        QWidget* value = delegate_.displayValueForCriterion(this, criterion, index);
        line->addWidget(value);
        row.values.append(value);
    }
    line->addStretch();
    // Unicode minus and plus, the usual marks of these buttons.
    row.remove = makeRowButton(QStringLiteral("\u2212"), row.widget);
    row.add = makeRowButton(QStringLiteral("+"), row.widget);
    line->addWidget(row.remove);
    line->addWidget(row.add);
    QWidget* widget = row.widget;
    connect(row.remove, &QToolButton::clicked, this,
            [this, widget] { removeRowAtIndex(indexOfRowWidget(widget)); });
    connect(row.add, &QToolButton::clicked, this,
            [this, widget] { insertRowAtIndex(indexOfRowWidget(widget) + 1); });

    rows_.insert(index, row);
    layout_->insertWidget(index, row.widget);
    updateRemoveButtons();
    return row.values;
}

void KBERuleEditor::removeRowAtIndex(int index) {
    if (index < 0 || index >= numberOfRows()) {
        return;
    }
    // Later: the button that asked may still be inside its clicked signal.
    layout_->removeWidget(rows_[index].widget);
    rows_[index].widget->hide();
    rows_[index].widget->deleteLater();
    rows_.removeAt(index);
    updateRemoveButtons();
}

void KBERuleEditor::removeAllRows() {
    for (const Row& row : rows_) {
        layout_->removeWidget(row.widget);
        row.widget->hide();
        row.widget->deleteLater();
    }
    rows_.clear();
}

int KBERuleEditor::indexOfRowWidget(const QWidget* widget) const {
    for (int i = 0; i < numberOfRows(); ++i) {
        if (rows_[i].widget == widget) {
            return i;
        }
    }
    return -1;
}

void KBERuleEditor::updateRemoveButtons() {
    for (const Row& row : rows_) {
        row.remove->setEnabled(numberOfRows() > 1);
    }
}
