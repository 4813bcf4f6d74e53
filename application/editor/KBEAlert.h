#pragma once

#include <QString>
#include <optional>
#include <string>
#include <vector>

class QWidget;

// One alert of the application: what it says and which buttons it offers. Every alert goes
// through a presenter, so that tests answer alerts without a person.
struct KBEAlert {
    enum class Style { Informational, Warning, Critical };

    Style style = Style::Informational;
    std::string title;
    std::string text;
    // In order, the first being the default; none means a single "OK".
    std::vector<std::string> buttons;
    // A checkbox below the text, with this title.
    std::optional<std::string> checkbox;
    // Window-modal on the main window rather than application-modal.
    bool asSheet = false;
};

struct KBEAlertResponse {
    // Index of the chosen button in KBEAlert::buttons (0 for the single "OK").
    std::size_t button = 0;
    bool checkboxOn = false;
};

class KBEAlertPresenter {
public:
    virtual ~KBEAlertPresenter() = default;
    // Shows `alert` (over `window` when it is a sheet) and returns once it is answered.
    virtual KBEAlertResponse runAlert(const KBEAlert& alert, QWidget* window) = 0;
};

// The presenter of the running application: message boxes.
class KBEMessageBoxPresenter final : public KBEAlertPresenter {
public:
    KBEAlertResponse runAlert(const KBEAlert& alert, QWidget* window) override;
};
