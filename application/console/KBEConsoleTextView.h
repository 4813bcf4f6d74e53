#pragma once

#include <QColor>
#include <QTextEdit>

// The console's read-only text view. Selected text keeps its own colours: the selection is
// marked by its background alone, which Qt's text edit cannot do (it redraws selected runs
// in one highlighted-text colour), so the view paints its document itself.
class KBEConsoleTextView final : public QTextEdit {
    Q_OBJECT

public:
    explicit KBEConsoleTextView(QWidget* parent = nullptr);

    // The background of selected text.
    void setSelectionBackground(const QColor& color);
    QColor selectionBackground() const { return selectionBackground_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor selectionBackground_;
};
