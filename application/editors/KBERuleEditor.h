#pragma once

#include <QList>
#include <QWidget>

class KBCriterion;
class KBERuleEditor;
class QToolButton;
class QVBoxLayout;

// Where a rule editor gets its rows from: each row is one path through a tree of criteria,
// from the top level (null) down to a criterion without children, one control per criterion.
class KBERuleEditorDelegate {
public:
    virtual ~KBERuleEditorDelegate() = default;
    virtual int numberOfChildrenForCriterion(KBERuleEditor* editor, KBCriterion* criterion) = 0;
    virtual KBCriterion* child(KBERuleEditor* editor, int index, KBCriterion* criterion) = 0;
    virtual QWidget* displayValueForCriterion(KBERuleEditor* editor, KBCriterion* criterion,
                                              int row) = 0;
};

// A list of rows, each with its criteria's controls and a remove and an add button; add
// puts a new row below its own. The last row cannot be removed, so there is always an add
// button to make the next one.
class KBERuleEditor : public QWidget {
    Q_OBJECT

public:
    explicit KBERuleEditor(KBERuleEditorDelegate& delegate, QWidget* parent = nullptr);

    int numberOfRows() const { return static_cast<int>(rows_.size()); }
    // Adds a row with new controls at `index` (0 ... numberOfRows) and returns them.
    QList<QWidget*> insertRowAtIndex(int index);
    QList<QWidget*> addRow() { return insertRowAtIndex(numberOfRows()); }
    void removeRowAtIndex(int index);
    void removeAllRows();

    QList<QWidget*> displayValuesForRow(int row) const { return rows_[row].values; }
    QToolButton* addButtonForRow(int row) const { return rows_[row].add; }
    QToolButton* removeButtonForRow(int row) const { return rows_[row].remove; }

private:
    struct Row {
        QWidget* widget;
        QList<QWidget*> values;
        QToolButton* remove;
        QToolButton* add;
    };

    int indexOfRowWidget(const QWidget* widget) const;
    void updateRemoveButtons();

    KBERuleEditorDelegate& delegate_;
    QVBoxLayout* layout_;
    QList<Row> rows_;
};
