#pragma once

// The dialog that asks for a user name and password when a right needs them: the
// authorization manager's prompt, shown on the user-interface thread.

#include "common/VRNAuthorizationManager.h"

#include <QDialog>

class QLabel;
class QLineEdit;

class KBEAuthenticationDialog final : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* kRefusedText = "The user name or password was not accepted.";

    explicit KBEAuthenticationDialog(const VRNAuthorizationPromptRequest& request,
                                     QWidget* parent = nullptr);

    QLineEdit* userField() const { return _userField; }
    QLineEdit* passwordField() const { return _passwordField; }
    QLabel* promptLabel() const { return _promptLabel; }

    // The answer once accepted; none when cancelled.
    std::optional<VRNAuthorizationPromptAnswer> run();

    // A prompt handler that shows the dialog over `parent` (which may be null), modally, on
    // the user-interface thread, whichever thread asks.
    static VRNAuthorizationPromptHandler promptHandler(QWidget* parent);

private:
    QLabel* _promptLabel;
    QLineEdit* _userField;
    QLineEdit* _passwordField;
};
