#include "application/console/KBEConsoleController.h"

#include "application/console/KBEConsoleLogText.h"
#include "application/console/KBEConsoleStyle.h"
#include "application/console/KBEConsoleTextView.h"
#include "application/console/KBEConsoleToolOutput.h"
#include "application/console/KBERTFWriter.h"
#include "common/VRNSystemVersionManager.h"
#include "platform/files/Files.h"
#include "platform/paths/Paths.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTextEdit>
#include <QVBoxLayout>
#include <span>

namespace {

// What the unified log tool is asked for: the product's subsystem and the backup engine's
// worker, quotes included.
constexpr const char* kLogPredicate =
    "(subsystem == \"com.vornhal.keelbrook\") || ((subsystem == \"com.apple.TimeMachine\") && "
    "(processImagePath endswith \"backupd\"))";
// The legacy back end's facility of the backup engine.
constexpr const char* kEngineFacility = "com.apple.TimeMachine";

// How much of the palette's highlight colour the selection's background takes.
constexpr float kSelectionStrength = 0.35f;

constexpr int kWindowWidth = 720;
constexpr int kWindowHeight = 480;

} // namespace

KBEConsoleController::KBEConsoleController(std::shared_ptr<const VRNSystemVersionManager> versions,
                                           dispatch::QueuePtr mainQueue,
                                           dispatch::QueuePtr workQueue, QWidget* parent)
    : QWidget(parent, Qt::Window), versions_(std::move(versions)), mainQueue_(std::move(mainQueue)),
      workQueue_(std::move(workQueue)), textView_(new KBEConsoleTextView(this)),
      spinningIndicator_(new QProgressBar(this)),
      refreshButton_(new QPushButton(tr("Refresh"), this)),
      exportButton_(new QPushButton(tr("Export…"), this)) {
    setWindowTitle(tr("Console"));
    resize(kWindowWidth, kWindowHeight);
    textView_->setLineWrapMode(QTextEdit::WidgetWidth);
    // A busy indicator: no range, no text.
    spinningIndicator_->setRange(0, 0);
    spinningIndicator_->setTextVisible(false);
    spinningIndicator_->setMaximumWidth(80);
    spinningIndicator_->hide();

    auto* controls = new QHBoxLayout;
    controls->addWidget(spinningIndicator_);
    controls->addStretch();
    controls->addWidget(refreshButton_);
    controls->addWidget(exportButton_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(textView_);
    layout->addLayout(controls);

    connect(refreshButton_, &QPushButton::clicked, this, &KBEConsoleController::refresh);
    connect(exportButton_, &QPushButton::clicked, this, &KBEConsoleController::export_);
}

void KBEConsoleController::windowDidLoad() {
    // Only the background marks the selection: the palette's highlight, lightened over the
    // view's base as the system's selected-text background is, so that every run's colour
    // stays readable on it.
    const QPalette colors = textView_->palette();
    QColor background = colors.color(QPalette::Active, QPalette::Highlight);
    const QColor base = colors.color(QPalette::Active, QPalette::Base);
    background.setRgbF(
        kSelectionStrength * background.redF() + (1 - kSelectionStrength) * base.redF(),
        kSelectionStrength * background.greenF() + (1 - kSelectionStrength) * base.greenF(),
        kSelectionStrength * background.blueF() + (1 - kSelectionStrength) * base.blueF());
    textView_->setSelectionBackground(background);
    refresh();
}

std::unique_ptr<QTextDocument> KBEConsoleController::fetchLog(const KBEConsoleStyle& style) {
    const std::optional<std::string> output =
        KBEConsoleToolOutput::run({paths::path("/usr/bin/log"), "show", "--debug", "--info",
                                   "--predicate", kLogPredicate, "--style", "json"});
    return output ? KBEConsoleTextForLogEntries(*output, style) : std::make_unique<QTextDocument>();
}

std::unique_ptr<QTextDocument> KBEConsoleController::fetchASL() {
    const std::optional<std::string> output = KBEConsoleToolOutput::run(
        {paths::path("/usr/bin/syslog"), "-k", "Facility", kEngineFacility});
    return output ? KBEConsoleTextForLegacyRecords(*output, cal::now())
                  : std::make_unique<QTextDocument>();
}

void KBEConsoleController::refresh() {
    spinningIndicator_->show();
    refreshButton_->setEnabled(false);
    exportButton_->setEnabled(false);
    // The style is taken here, on the user-interface thread, where palette and fonts live.
    const KBEConsoleStyle style = KBEConsoleStyle::forPalette(
        palette(), QFontDatabase::systemFont(QFontDatabase::FixedFont), *versions_);
    const bool unified = versions_->runningAtLeast(VRNSystemVersion10_12);
    workQueue_->async([self = QPointer<KBEConsoleController>(this), unified, style,
                       mainQueue = mainQueue_, interfaceThread = thread()] {
        std::shared_ptr<QTextDocument> text = unified ? fetchLog(style) : fetchASL();
        // Handed over whole: from now on only the user-interface thread touches it.
        text->moveToThread(interfaceThread);
        mainQueue->async([self, text] {
            if (self) {
                self->_showLog(*text);
            }
        });
    });
}

void KBEConsoleController::_showLog(const QTextDocument& text) {
    textView_->clear();
    QTextCursor cursor(textView_->document());
    cursor.insertFragment(QTextDocumentFragment(&text));
    textView_->moveCursor(QTextCursor::End);
    QScrollBar* scroller = textView_->verticalScrollBar();
    scroller->setValue(scroller->maximum());
    spinningIndicator_->hide();
    refreshButton_->setEnabled(true);
    exportButton_->setEnabled(true);
}

void KBEConsoleController::export_() {
    auto* panel = new QFileDialog(this);
    panel->setAcceptMode(QFileDialog::AcceptSave);
    panel->setFileMode(QFileDialog::AnyFile);
    panel->setNameFilters({tr("Rich Text (*.rtf)"), tr("Plain Text (*.txt)")});
    panel->setDefaultSuffix("rtf");
    panel->selectFile(tr("Keelbrook Log"));
    panel->setWindowModality(Qt::WindowModal);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    connect(panel, &QFileDialog::filterSelected, panel, [panel](const QString& filter) {
        panel->setDefaultSuffix(filter.contains("*.txt") ? "txt" : "rtf");
    });
    // Only the two types are written: another extension gets the chosen type's added.
    connect(panel, &QFileDialog::fileSelected, this, [this, panel](const QString& chosen) {
        const QString suffix = QFileInfo(chosen).suffix();
        exportToFile(suffix == "rtf" || suffix == "txt" ? chosen
                                                        : chosen + '.' + panel->defaultSuffix());
    });
    panel->open();
}

bool KBEConsoleController::exportToFile(const QString& path) {
    const QTextDocument& document = *textView_->document();
    const std::string bytes = QFileInfo(path).suffix() == "rtf"
                                  ? KBERTFDataForDocument(document)
                                  : KBEConsolePlainText(document).toUtf8().toStdString();
    files::ReplaceOptions options;
    options.umaskForNew = true;
    files::Error error;
    if (!files::replaceFile(
            path.toStdString(),
            std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), options,
            &error)) {
        _presentError(QFileInfo(path).fileName(), QString::fromStdString(error.text));
        return false;
    }
    return true;
}

void KBEConsoleController::_presentError(const QString& fileName, const QString& reason) {
    auto* sheet = new QMessageBox(QMessageBox::Warning, windowTitle(),
                                  tr("The document “%1” could not be saved.").arg(fileName),
                                  QMessageBox::Ok, this);
    sheet->setInformativeText(reason);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->open();
}

QString KBEConsolePlainText(const QTextDocument& document) {
    QString text = document.toRawText();
    text.replace(QChar::ParagraphSeparator, u'\n');
    text.replace(QChar::LineSeparator, u'\n');
    return text;
}
