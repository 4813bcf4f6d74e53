#pragma once

#include "platform/dispatch/Queue.h"

#include <QString>
#include <QWidget>
#include <memory>

class QProgressBar;
class QPushButton;
class QTextDocument;
class KBEConsoleTextView;
struct KBEConsoleStyle;
class VRNSystemVersionManager;

// The console window: the history of backups in one read-only text view, from the unified
// log (the product's messages and the backup engine's) or, on older systems, from the
// legacy back end (the engine's messages only). It refreshes the text and exports it as RTF
// or plain text.
//
// Reading runs on `workQueue`, one refresh at a time (both buttons stay disabled until the
// result is shown); every view change happens on `mainQueue`, the user-interface thread's.
class KBEConsoleController final : public QWidget {
    Q_OBJECT

public:
    KBEConsoleController(std::shared_ptr<const VRNSystemVersionManager> versions,
                         dispatch::QueuePtr mainQueue, dispatch::QueuePtr workQueue,
                         QWidget* parent = nullptr);

    // Sets the selection's background and starts the first refresh.
    void windowDidLoad();

    KBEConsoleTextView* textView() const { return textView_; }
    QProgressBar* spinningIndicator() const { return spinningIndicator_; }
    QPushButton* refreshButton() const { return refreshButton_; }
    QPushButton* exportButton() const { return exportButton_; }

    // The text of the log tools; they run on any thread and block while the tool runs.
    static std::unique_ptr<QTextDocument> fetchLog(const KBEConsoleStyle& style);
    static std::unique_ptr<QTextDocument> fetchASL();

    // Writes the whole text to `path` atomically: RTF for the extension "rtf", otherwise
    // plain UTF-8 text. A failure is shown as a sheet on the window; false then.
    bool exportToFile(const QString& path);

public slots:
    void refresh();
    // The save panel, as a sheet; exportToFile on confirmation.
    void export_();

private:
    void _showLog(const QTextDocument& text);
    void _presentError(const QString& fileName, const QString& reason);

    const std::shared_ptr<const VRNSystemVersionManager> versions_;
    const dispatch::QueuePtr mainQueue_;
    const dispatch::QueuePtr workQueue_;
    KBEConsoleTextView* textView_;
    QProgressBar* spinningIndicator_;
    QPushButton* refreshButton_;
    QPushButton* exportButton_;
};

// The document's text with its paragraphs joined by newlines, no-break spaces kept.
QString KBEConsolePlainText(const QTextDocument& document);
