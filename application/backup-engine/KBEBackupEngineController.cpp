#include "application/backup-engine/KBEBackupEngineController.h"

#include "application/ui/KBEMainThreadQueue.h"
#include "common/VRNSpawn.h"

#include <QDateTime>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QString dateText(const plist::Value& entry, const char* key) {
    const plist::Value* found = entry.find(key);
    const auto date = found ? found->asDate() : std::nullopt;
    if (!date) {
        return QObject::tr("Never");
    }
    return QLocale().toString(QDateTime::fromSecsSinceEpoch(static_cast<qint64>(date->unixTime())),
                              QLocale::ShortFormat);
}

} // namespace

KBEBackupEngineController::KBEBackupEngineController(KBEBackupEngineServices services,
                                                     QWidget* parent)
    : QWidget(parent, Qt::Window), _services(std::move(services)), _destination(new QLabel(this)),
      _lastResult(new QLabel(this)), _lastAttempt(new QLabel(this)), _lastSuccess(new QLabel(this)),
      _autoBackup(new QLabel(this)), _outcome(new QLabel(this)),
      _changeButton(new QPushButton(tr("Change…"), this)), _autoBackupButton(new QPushButton(this)),
      _mainQueue(KBEMainThreadQueue::create(this)) {
    setWindowTitle(tr("Backup Engine"));
    _destination->setTextInteractionFlags(Qt::TextSelectableByMouse);
    _outcome->setWordWrap(true);
    auto* destinationRow = new QHBoxLayout;
    destinationRow->addWidget(_destination, 1);
    destinationRow->addWidget(_changeButton);
    auto* autoRow = new QHBoxLayout;
    autoRow->addWidget(_autoBackup, 1);
    autoRow->addWidget(_autoBackupButton);
    auto* form = new QFormLayout;
    form->addRow(tr("Destination:"), destinationRow);
    form->addRow(tr("Last result:"), _lastResult);
    form->addRow(tr("Last attempt:"), _lastAttempt);
    form->addRow(tr("Last success:"), _lastSuccess);
    form->addRow(tr("Automatic backups:"), autoRow);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(_outcome);
    layout->addStretch(1);

    connect(_changeButton, &QPushButton::clicked, this, [this] { changeDestination(); });
    connect(_autoBackupButton, &QPushButton::clicked, this,
            [this] { setAutoBackup(!_autoBackupOn); });
    reload();
    resize(480, sizeHint().height());
}

void KBEBackupEngineController::reload() {
    const plist::Value values(_services.preferences->dictionary());
    const auto string = [](const plist::Value& in, const char* key) -> const std::string* {
        const plist::Value* found = in.find(key);
        return found ? found->asString() : nullptr;
    };
    const std::string* repository = string(values, kRepositoryKey);
    _destination->setText(repository ? QString::fromStdString(*repository) : tr("None"));

    // The entry of the current destination in "Destinations".
    plist::Value entry{plist::Dictionary{}};
    const std::string* id = string(values, kLastDestinationIDKey);
    const plist::Value* destinations = values.find(kDestinationsKey);
    if (id && destinations && destinations->asArray()) {
        for (const auto& candidate : *destinations->asArray()) {
            const std::string* candidateID = string(candidate, "DestinationID");
            if (candidateID && *candidateID == *id) {
                entry = candidate;
            }
        }
    }
    const plist::Value* result = entry.find("RESULT");
    const auto code = result ? result->asInteger() : std::nullopt;
    if (!code) {
        _lastResult->setText(tr("No backup yet"));
    } else if (*code == 0) {
        _lastResult->setText(tr("Succeeded"));
    } else {
        _lastResult->setText(tr("Failed (code %1)").arg(*code));
    }
    _lastAttempt->setText(dateText(entry, "LastAttemptDate"));
    _lastSuccess->setText(dateText(entry, "LastSuccessDate"));

    const plist::Value* autoBackup = values.find(kAutoBackupKey);
    _autoBackupOn = autoBackup && autoBackup->asBoolean() == true;
    _autoBackup->setText(_autoBackupOn ? tr("On") : tr("Off"));
    _autoBackupButton->setText(_autoBackupOn ? tr("Turn Off") : tr("Turn On"));
}

void KBEBackupEngineController::changeDestination() {
    const QString folder = QFileDialog::getExistingDirectory(this, tr("Choose a Destination"));
    if (!folder.isEmpty()) {
        setDestination(folder);
    }
}

void KBEBackupEngineController::setDestination(const QString& folder) {
    run({"setdestination", folder.toStdString()}, tr("The destination is now %1.").arg(folder));
}

void KBEBackupEngineController::setAutoBackup(bool enabled) {
    run({enabled ? "enable" : "disable"},
        enabled ? tr("Automatic backups are now on.") : tr("Automatic backups are now off."));
}

void KBEBackupEngineController::run(std::vector<std::string> arguments, QString success) {
    if (_running) {
        return;
    }
    _running = true;
    _changeButton->setEnabled(false);
    _autoBackupButton->setEnabled(false);
    _outcome->setText(tr("Waiting for authorization…"));
    arguments.insert(arguments.begin(), {_services.pkexec, _services.tmutil});
    std::vector<const char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    argv.push_back(nullptr);
    spawn_tool_async(argv.data(), _mainQueue, [this, success](std::optional<VRNError> error) {
        _running = false;
        _changeButton->setEnabled(true);
        _autoBackupButton->setEnabled(true);
        if (!error) {
            _outcome->setText(success);
        } else {
            const auto status = error->userInfo().find("exit-status");
            const auto code =
                status == error->userInfo().end() ? std::nullopt : status->second.asInteger();
            const bool refused =
                error->code() == VRNSpawnerErrorExitStatus && code &&
                (*code == kPkexecNotAuthorized || *code == kPkexecAuthenticationFailed);
            _outcome->setText(refused ? tr("The change was not authorized.")
                                      : tr("The change failed: %1")
                                            .arg(QString::fromStdString(
                                                VRNError::localizedDescriptionForError(*error))));
        }
        reload();
    });
}
