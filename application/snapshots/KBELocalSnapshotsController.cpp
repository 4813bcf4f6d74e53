#include "application/snapshots/KBELocalSnapshotsController.h"

#include "application/ui/KBEMainThreadQueue.h"

#include <QComboBox>
#include <QDateTime>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QStorageInfo>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::size_t kMountInfoLimit = std::size_t{4} << 20;
const char* const kColumns[] = {"Date", "Name", "Size"};

// The name and icon a mount point shows with; none when either cannot be read.
std::optional<std::pair<QString, QIcon>> appearanceOf(const std::string& mountPoint) {
    const QString path = QString::fromStdString(mountPoint);
    const QString name = QStorageInfo(path).displayName();
    QIcon icon = QFileIconProvider().icon(QFileInfo(path));
    if (icon.isNull()) {
        icon = QIcon::fromTheme("drive-harddisk");
    }
    if (name.isEmpty() || icon.isNull()) {
        return std::nullopt;
    }
    return std::pair{name, icon};
}

} // namespace

KBELocalSnapshotsController::KBELocalSnapshotsController(KBELocalSnapshotsServices services,
                                                         QWidget* parent)
    : QWidget(parent, Qt::Window), _services(std::move(services)), _disksPopup(new QComboBox(this)),
      _tableView(new QTableWidget(0, 3, this)),
      _fullDiskAccessTextField(new QLabel(tr(kAccessDeniedText), this)),
      _fullDiskAccessButton(new QPushButton(tr("About Access…"), this)),
      _mainQueue(KBEMainThreadQueue::create(this)) {
    setWindowTitle(tr("Local Snapshots"));
    _disksPopup->setIconSize(QSize(16, 16));
    _disksPopup->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    auto* refresh = new QPushButton(tr("Refresh"), this);
    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(tr("Volume:"), this));
    top->addWidget(_disksPopup, 1);
    top->addWidget(refresh);

    _tableView->setHorizontalHeaderLabels({tr("Date"), tr("Name"), tr("Size")});
    for (int column = 0; column < 3; ++column) {
        _tableView->horizontalHeaderItem(column)->setData(Qt::UserRole, kColumns[column]);
    }
    _tableView->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    _tableView->verticalHeader()->hide();
    _tableView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    _tableView->setSelectionBehavior(QAbstractItemView::SelectRows);

    QPalette red = _fullDiskAccessTextField->palette();
    red.setColor(QPalette::WindowText, QColor(Qt::red));
    _fullDiskAccessTextField->setPalette(red);
    _fullDiskAccessTextField->setWordWrap(true);
    _fullDiskAccessTextField->hide();
    _fullDiskAccessButton->hide();
    auto* access = new QHBoxLayout;
    access->addWidget(_fullDiskAccessTextField, 1);
    access->addWidget(_fullDiskAccessButton);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(_tableView, 1);
    layout->addLayout(access);
    resize(520, 360);

    connect(refresh, &QPushButton::clicked, this, [this] { reloadSnapshots(); });
    connect(_fullDiskAccessButton, &QPushButton::clicked, this,
            [this] { showFullDiskAccessInfo(); });
    connect(_disksPopup, &QComboBox::activated, this, [this] { reloadSnapshots(); });

    // The mount table signals every mount, unmount and move as a priority event.
    _mountInfo = files::openFile(_services.mountInfoPath, O_RDONLY);
    if (_mountInfo.valid()) {
        _mountInfoSource = dispatch::ReadSource::create(
            _mountInfo.get(), _mainQueue, [this] { mountsDidChange(); },
            dispatch::ReadSource::Readiness::Priority);
    }
    _snapshotObserver = std::make_unique<notify::Observer>(
        kSnapshotNotification, _mainQueue, [this] { reloadSnapshots(); }, _services.busAddress);
    reloadDisks();
}

KBELocalSnapshotsController::~KBELocalSnapshotsController() {
    _snapshotObserver.reset();
    _mountInfoSource.reset();
}

std::vector<KBEMount> KBELocalSnapshotsController::readLocalMounts() {
    if (!_mountInfo.valid() || ::lseek(_mountInfo.get(), 0, SEEK_SET) != 0) {
        return {};
    }
    const auto bytes = files::readAll(_mountInfo.get(), kMountInfoLimit, _services.mountInfoPath);
    if (!bytes) {
        return {};
    }
    return KBELocalBtrfsMounts(KBEParseMountInfo(
        std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size())));
}

std::shared_ptr<LSVDisk> KBELocalSnapshotsController::diskForMount(const KBEMount& mount) const {
    const auto appearance = appearanceOf(mount.mountPoint);
    if (!appearance) {
        return nullptr;
    }
    return std::make_shared<LSVDisk>(
        LSVDisk{mount.mountID, mount.mountPoint, appearance->first, appearance->second});
}

void KBELocalSnapshotsController::reloadDisks() {
    _disks.clear();
    _disksPopup->clear();
    _knownMounts = readLocalMounts();
    for (const auto& mount : _knownMounts) {
        if (auto disk = diskForMount(mount)) {
            _addDisk(std::move(disk));
        }
    }
    reloadSnapshots();
}

void KBELocalSnapshotsController::mountsDidChange() {
    const std::vector<KBEMount> mounts = readLocalMounts();
    const auto known = [](const std::vector<KBEMount>& list, long id) {
        return std::find_if(list.begin(), list.end(),
                            [id](const KBEMount& m) { return m.mountID == id; });
    };
    // Unmounted.
    for (std::size_t index = _disks.size(); index-- > 0;) {
        if (known(mounts, _disks[index]->mountID) == mounts.end()) {
            removeDiskAtIndex(index);
        }
    }
    for (const auto& mount : mounts) {
        const auto before = known(_knownMounts, mount.mountID);
        if (before == _knownMounts.end()) {
            if (auto disk = diskForMount(mount)) {
                addDisk(std::move(disk));
            }
            continue;
        }
        // Moved, or given a new label: the entry takes the new place and name.
        const auto disk = std::find_if(_disks.begin(), _disks.end(),
                                       [&](const auto& d) { return d->mountID == mount.mountID; });
        if (disk == _disks.end()) {
            continue;
        }
        const auto appearance = appearanceOf(mount.mountPoint);
        const QString name = appearance ? appearance->first : (*disk)->name;
        if ((*disk)->URL != mount.mountPoint || (*disk)->name != name) {
            (*disk)->URL = mount.mountPoint;
            (*disk)->name = name;
            renameDiskAtIndex(static_cast<std::size_t>(disk - _disks.begin()), name);
        }
    }
    _knownMounts = mounts;
}

std::shared_ptr<LSVDisk> KBELocalSnapshotsController::selectedDisk() const {
    const int index = _disksPopup->currentIndex();
    if (index < 0 || static_cast<std::size_t>(index) >= _disks.size()) {
        return nullptr;
    }
    return _disks[static_cast<std::size_t>(index)];
}

void KBELocalSnapshotsController::changeDisksPopupUsingBlock(const std::function<void()>& block) {
    const auto before = selectedDisk();
    block();
    if (selectedDisk() != before) {
        reloadSnapshots();
    }
}

void KBELocalSnapshotsController::_addDisk(std::shared_ptr<LSVDisk> disk) {
    _disksPopup->addItem(disk->icon, disk->name);
    _disks.push_back(std::move(disk));
}

void KBELocalSnapshotsController::addDisk(std::shared_ptr<LSVDisk> disk) {
    changeDisksPopupUsingBlock([&] { _addDisk(std::move(disk)); });
}

void KBELocalSnapshotsController::removeDiskAtIndex(std::size_t index) {
    changeDisksPopupUsingBlock([&] {
        _disks.erase(_disks.begin() + static_cast<std::ptrdiff_t>(index));
        _disksPopup->removeItem(static_cast<int>(index));
    });
}

void KBELocalSnapshotsController::renameDiskAtIndex(std::size_t index, const QString& name) {
    _disksPopup->setItemText(static_cast<int>(index), name);
}

void KBELocalSnapshotsController::reloadSnapshots() {
    const auto disk = selectedDisk();
    bool denied = false;
    if (!disk) {
        _snapshots.reset();
    } else {
        std::optional<VRNError> error;
        _snapshots = _services.lister(disk->URL, &error);
        denied = !_snapshots && error && error->domain() == KBEPOSIXErrorDomain &&
                 error->code() == EPERM;
    }
    _fullDiskAccessTextField->setVisible(denied);
    _fullDiskAccessButton->setVisible(denied);
    reloadTable();
}

QString KBELocalSnapshotsController::cellText(const plist::Value& record,
                                              const std::string& column) {
    const plist::Value* value = record.find(column);
    if (column == "Size") {
        const auto size = value ? value->asInteger() : std::nullopt;
        return size ? QLocale().formattedDataSize(*size, 1, QLocale::DataSizeSIFormat)
                    : QStringLiteral("--");
    }
    if (!value) {
        return {};
    }
    if (const auto date = value->asDate()) {
        const auto when = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(date->unixTime()));
        return QLocale().toString(when, QLocale::ShortFormat);
    }
    const std::string* text = value->asString();
    return text ? QString::fromStdString(*text) : QString();
}

void KBELocalSnapshotsController::reloadTable() {
    const int rows = _snapshots ? static_cast<int>(_snapshots->size()) : 0;
    _tableView->setRowCount(rows);
    for (int row = 0; row < rows; ++row) {
        const plist::Value& record = (*_snapshots)[static_cast<std::size_t>(row)];
        for (int column = 0; column < 3; ++column) {
            _tableView->setItem(row, column,
                                new QTableWidgetItem(cellText(record, kColumns[column])));
        }
    }
    if (rows > 0) {
        _tableView->resizeColumnToContents(0);
    }
}

void KBELocalSnapshotsController::showFullDiskAccessInfo() {
    QMessageBox sheet(QMessageBox::Information, tr(kAccessInfoTitle), tr(kAccessInfoTitle),
                      QMessageBox::Ok, this);
    sheet.setInformativeText(tr(kAccessInfoText));
    sheet.setWindowModality(Qt::WindowModal);
    sheet.exec();
}
