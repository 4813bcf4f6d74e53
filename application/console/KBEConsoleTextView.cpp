#include "application/console/KBEConsoleTextView.h"

#include <QAbstractTextDocumentLayout>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>

KBEConsoleTextView::KBEConsoleTextView(QWidget* parent)
    : QTextEdit(parent), selectionBackground_(palette().color(QPalette::Highlight)) {
    setReadOnly(true);
}

void KBEConsoleTextView::setSelectionBackground(const QColor& color) {
    selectionBackground_ = color;
    viewport()->update();
}

void KBEConsoleTextView::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    const QPoint offset(horizontalScrollBar()->value(), verticalScrollBar()->value());
    painter.translate(-offset);
    const QRect area = event->rect().translated(offset);
    painter.setClipRect(area);

    QAbstractTextDocumentLayout::PaintContext context;
    context.clip = area;
    context.palette = palette();
    context.cursorPosition = -1; // read-only: no caret
    if (textCursor().hasSelection()) {
        QAbstractTextDocumentLayout::Selection selection;
        selection.cursor = textCursor();
        selection.format.setBackground(selectionBackground_);
        context.selections.append(selection);
    }
    document()->documentLayout()->draw(&painter, context);
}
