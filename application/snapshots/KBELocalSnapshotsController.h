#pragma once

// The Local Snapshots window: a pop-up of the machine's local btrfs file systems and a
// table of the read-only snapshots of the chosen one. It follows file systems being
// mounted, unmounted and moved while it is open (priority events of the mount table) and
// reloads the list when the daemon announces a new snapshot.

#include "application/snapshots/KBELocalSnapshots.h"
#include "platform/dispatch/Source.h"
#include "platform/files/Files.h"
#include "platform/notify/Notify.h"

#include <QIcon>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QPushButton;
class QTableWidget;
class KBEMainThreadQueue;

// One entry of the disk pop-up.
struct LSVDisk {
    long mountID = 0;
    std::string URL; // the mount point
    QString name;
    QIcon icon;
};

struct KBELocalSnapshotsServices {
    KBESnapshotLister lister;
    // The bus the daemon's "com.vornhal.keelbrook.snapshot" arrives on.
    std::string busAddress;
    std::string mountInfoPath = "/proc/self/mountinfo";
};

class KBELocalSnapshotsController final : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* kSnapshotNotification = "com.vornhal.keelbrook.snapshot";
    static constexpr const char* kAccessInfoTitle = "About Snapshot Access.";
    static constexpr const char* kAccessInfoText =
        "You can grant access by running Keelbrook with the CAP_SYS_ADMIN capability (as "
        "root), which listing the snapshots of a btrfs file system requires.";
    static constexpr const char* kAccessDeniedText =
        "Keelbrook is not permitted to list the snapshots of this volume.";

    explicit KBELocalSnapshotsController(KBELocalSnapshotsServices services,
                                         QWidget* parent = nullptr);
    ~KBELocalSnapshotsController() override;

    QComboBox* disksPopup() const { return _disksPopup; }
    QTableWidget* tableView() const { return _tableView; }
    QLabel* fullDiskAccessTextField() const { return _fullDiskAccessTextField; }
    QPushButton* fullDiskAccessButton() const { return _fullDiskAccessButton; }
    const std::vector<std::shared_ptr<LSVDisk>>& disks() const { return _disks; }
    const std::optional<plist::Array>& snapshots() const { return _snapshots; }

    std::shared_ptr<LSVDisk> selectedDisk() const;
    void reloadDisks();
    void reloadSnapshots();
    void addDisk(std::shared_ptr<LSVDisk> disk);
    void removeDiskAtIndex(std::size_t index);
    void renameDiskAtIndex(std::size_t index, const QString& name);
    // The sheet that explains how to grant access; returns once it is dismissed.
    void showFullDiskAccessInfo();

    // The texts of a record's cells, by column identifier ("Date", "Name", "Size").
    static QString cellText(const plist::Value& record, const std::string& column);

private:
    void _addDisk(std::shared_ptr<LSVDisk> disk);
    void changeDisksPopupUsingBlock(const std::function<void()>& block);
    std::shared_ptr<LSVDisk> diskForMount(const KBEMount& mount) const;
    std::vector<KBEMount> readLocalMounts();
    void mountsDidChange();
    void reloadTable();

    const KBELocalSnapshotsServices _services;
    QComboBox* _disksPopup;
    QTableWidget* _tableView;
    QLabel* _fullDiskAccessTextField;
    QPushButton* _fullDiskAccessButton;
    std::vector<std::shared_ptr<LSVDisk>> _disks;
    std::optional<plist::Array> _snapshots;
    // The local mounts as last read, so that each change is told apart from what was known.
    std::vector<KBEMount> _knownMounts;

    std::shared_ptr<KBEMainThreadQueue> _mainQueue;
    files::Descriptor _mountInfo;
    std::unique_ptr<dispatch::ReadSource> _mountInfoSource;
    std::unique_ptr<notify::Observer> _snapshotObserver;
};
