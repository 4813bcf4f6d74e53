#include "application/editor/KBEAlert.h"

#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>

namespace {

QMessageBox::Icon iconFor(KBEAlert::Style style) {
    switch (style) {
    case KBEAlert::Style::Warning:
        return QMessageBox::Warning;
    case KBEAlert::Style::Critical:
        return QMessageBox::Critical;
    case KBEAlert::Style::Informational:
        break;
    }
    return QMessageBox::Information;
}

} // namespace

KBEAlertResponse KBEMessageBoxPresenter::runAlert(const KBEAlert& alert, QWidget* window) {
    QMessageBox box(alert.asSheet ? window : nullptr);
    box.setIcon(iconFor(alert.style));
    box.setWindowTitle(QStringLiteral("Keelbrook"));
    box.setText(QString::fromStdString(alert.title));
    box.setInformativeText(QString::fromStdString(alert.text));
    if (alert.asSheet) {
        box.setWindowModality(Qt::WindowModal);
    }
    std::vector<QAbstractButton*> buttons;
    const std::vector<std::string> titles =
        alert.buttons.empty() ? std::vector<std::string>{"OK"} : alert.buttons;
    for (const auto& title : titles) {
        buttons.push_back(box.addButton(QString::fromStdString(title), QMessageBox::AcceptRole));
    }
    box.setDefaultButton(static_cast<QPushButton*>(buttons.front()));
    // Escape, or closing the box, answers with the last button ("Cancel", "OK", "Later").
    box.setEscapeButton(buttons.back());
    QCheckBox* checkbox = nullptr;
    if (alert.checkbox) {
        checkbox = new QCheckBox(QString::fromStdString(*alert.checkbox));
        box.setCheckBox(checkbox);
    }
    box.exec();
    KBEAlertResponse response;
    response.button = buttons.size() - 1;
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        if (box.clickedButton() == buttons[i]) {
            response.button = i;
        }
    }
    response.checkboxOn = checkbox && checkbox->isChecked();
    return response;
}
