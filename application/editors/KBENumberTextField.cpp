#include "application/editors/KBENumberTextField.h"

#include <QKeyEvent>
#include <QValidator>

namespace {

// Judges the text an edit would leave: digits only, at most three of them. Never
// "intermediate", so the field never holds anything else, not even for a moment.
class DigitsValidator final : public QValidator {
public:
    using QValidator::QValidator;

    State validate(QString& input, int&) const override {
        if (input.size() > KBENumberTextField::kMaximumLength) {
            return Invalid;
        }
        for (const QChar c : input) {
            if (c < u'0' || c > u'9') {
                return Invalid;
            }
        }
        return Acceptable;
    }
};

} // namespace

KBENumberTextField::KBENumberTextField(QWidget* parent) : QLineEdit(parent) {
    // No maximum length: QLineEdit would cut a long paste down instead of refusing it.
    setValidator(new DigitsValidator(this));
}

void KBENumberTextField::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Up && event->modifiers() == Qt::NoModifier) {
        emit moveUp();
        return;
    }
    if (event->key() == Qt::Key_Down && event->modifiers() == Qt::NoModifier) {
        emit moveDown();
        return;
    }
    QLineEdit::keyPressEvent(event);
}
