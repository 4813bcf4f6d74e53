#pragma once

#include <QLineEdit>

// A field for a count of at most three decimal digits. An edit (typed, pasted or dropped)
// that would leave anything else in the field is refused whole. The up and down arrow keys
// are handed to the owner as `moveUp` and `moveDown`.
class KBENumberTextField : public QLineEdit {
    Q_OBJECT

public:
    static constexpr int kMaximumLength = 3;

    explicit KBENumberTextField(QWidget* parent = nullptr);

signals:
    void moveUp();
    void moveDown();

protected:
    void keyPressEvent(QKeyEvent* event) override;
};
