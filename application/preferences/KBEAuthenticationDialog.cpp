#include "application/preferences/KBEAuthenticationDialog.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

KBEAuthenticationDialog::KBEAuthenticationDialog(const VRNAuthorizationPromptRequest& request,
                                                 QWidget* parent)
    : QDialog(parent), _promptLabel(new QLabel(QString::fromStdString(request.prompt), this)),
      _userField(new QLineEdit(QString::fromStdString(request.defaultUser), this)),
      _passwordField(new QLineEdit(this)) {
    setWindowTitle(tr("Authentication"));
    setModal(true);
    QFont bold = _promptLabel->font();
    bold.setBold(true);
    _promptLabel->setFont(bold);
    _promptLabel->setWordWrap(true);
    _passwordField->setEchoMode(QLineEdit::Password);

    auto* detail = new QLabel(tr("Enter the name and password of a user in the group \"%1\".")
                                  .arg(QString::fromStdString(request.group)),
                              this);
    detail->setWordWrap(true);
    auto* form = new QFormLayout;
    form->addRow(tr("User name:"), _userField);
    form->addRow(tr("Password:"), _passwordField);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(_promptLabel);
    layout->addWidget(detail);
    if (request.failedAttempts > 0) {
        auto* refused = new QLabel(tr(kRefusedText), this);
        QPalette red = refused->palette();
        red.setColor(QPalette::WindowText, QColor(Qt::red));
        refused->setPalette(red);
        layout->addWidget(refused);
    }
    layout->addLayout(form);
    layout->addWidget(buttons);
    (request.defaultUser.empty() ? _userField : _passwordField)->setFocus();
}

std::optional<VRNAuthorizationPromptAnswer> KBEAuthenticationDialog::run() {
    const bool accepted = exec() == QDialog::Accepted;
    VRNAuthorizationPromptAnswer answer{_userField->text().toStdString(),
                                        _passwordField->text().toStdString()};
    _passwordField->clear();
    if (!accepted) {
        return std::nullopt;
    }
    return answer;
}

VRNAuthorizationPromptHandler KBEAuthenticationDialog::promptHandler(QWidget* parent) {
    QPointer<QWidget> owner(parent);
    return [owner](const VRNAuthorizationPromptRequest& request) {
        std::optional<VRNAuthorizationPromptAnswer> answer;
        const auto ask = [&] {
            KBEAuthenticationDialog dialog(request, owner.data());
            answer = dialog.run();
        };
        QObject* context = qApp;
        if (!context || QThread::currentThread() == context->thread()) {
            ask();
        } else {
            QMetaObject::invokeMethod(context, ask, Qt::BlockingQueuedConnection);
        }
        return answer;
    };
}
