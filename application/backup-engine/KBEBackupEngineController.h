#pragma once

// The Backup Engine window: where the engine backs up to, how its last backup went, and
// whether its own automatic backups are on. Changes go through the engine's command line
// run as root by pkexec, off the user-interface thread.

#include "common/VRNError.h"
#include "platform/preferences/Domain.h"

#include <QWidget>
#include <memory>
#include <string>
#include <vector>

class QLabel;
class QPushButton;
class KBEMainThreadQueue;

struct KBEBackupEngineServices {
    // The engine's preferences ("com.apple.TimeMachine").
    std::shared_ptr<prefs::Domain> preferences;
    std::string pkexec = "/usr/bin/pkexec";
    std::string tmutil = "/usr/bin/tmutil";
};

class KBEBackupEngineController final : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* kAutoBackupKey = "AutoBackup";
    static constexpr const char* kRepositoryKey = "RepositoryURL";
    static constexpr const char* kLastDestinationIDKey = "LastDestinationID";
    static constexpr const char* kDestinationsKey = "Destinations";
    // pkexec's exit statuses when authorization was dismissed or refused.
    static constexpr long kPkexecNotAuthorized = 126;
    static constexpr long kPkexecAuthenticationFailed = 127;

    explicit KBEBackupEngineController(KBEBackupEngineServices services, QWidget* parent = nullptr);

    QLabel* destinationField() const { return _destination; }
    QLabel* lastResultField() const { return _lastResult; }
    QLabel* lastAttemptField() const { return _lastAttempt; }
    QLabel* lastSuccessField() const { return _lastSuccess; }
    QLabel* autoBackupField() const { return _autoBackup; }
    QLabel* outcomeField() const { return _outcome; }
    bool isRunning() const { return _running; }

    // Reads the engine's preferences again.
    void reload();
    // Asks for a folder, then makes it the destination.
    void changeDestination();
    void setDestination(const QString& folder);
    void setAutoBackup(bool enabled);

private:
    void run(std::vector<std::string> arguments, QString success);

    KBEBackupEngineServices _services;
    QLabel* _destination;
    QLabel* _lastResult;
    QLabel* _lastAttempt;
    QLabel* _lastSuccess;
    QLabel* _autoBackup;
    QLabel* _outcome;
    QPushButton* _changeButton;
    QPushButton* _autoBackupButton;
    bool _autoBackupOn = false;
    bool _running = false;
    std::shared_ptr<KBEMainThreadQueue> _mainQueue;
};
