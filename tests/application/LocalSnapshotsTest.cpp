// The Local Snapshots window on a btrfs file system that the test makes in a loop-mounted
// image, with the daemon's notification on a private bus.

#include "application/snapshots/KBELocalSnapshotsController.h"
#include "platform/notify/Notify.h"
#include "tests/application/Screenshots.h"
#include "tests/support/BtrfsImage.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TempFolder.h"
#include "tests/support/WaitLimit.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <cerrno>
#include <ctime>
#include <memory>
#include <sys/mount.h>
#include <unistd.h>

namespace {

const std::string kEngineSnapshot = "2026-12-08-101530";

QStringList column(QTableWidget& table, int index) {
    QStringList texts;
    for (int row = 0; row < table.rowCount(); ++row) {
        texts << (table.item(row, index) ? table.item(row, index)->text() : QString());
    }
    return texts;
}

} // namespace

class LocalSnapshotsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<KBELocalSnapshotsController> makeWindow(KBESnapshotLister lister = {}) {
        KBELocalSnapshotsServices services;
        services.lister = lister ? std::move(lister) : KBESnapshotLister(KBESnapshotsAtPath);
        services.busAddress = bus_->address();
        return std::make_unique<KBELocalSnapshotsController>(std::move(services));
    }

    // Selects the test's volume as the user would; its index.
    int selectVolume(KBELocalSnapshotsController& window) {
        for (std::size_t index = 0; index < window.disks().size(); ++index) {
            if (window.disks()[index]->URL == mountPoint()) {
                window.disksPopup()->setCurrentIndex(static_cast<int>(index));
                emit window.disksPopup()->activated(static_cast<int>(index));
                return static_cast<int>(index);
            }
        }
        return -1;
    }

    std::string mountPoint() const { return image_->mountPoint().string(); }

    bool snapshot(const std::string& relative) {
        return testsupport::runTool(
            {"btrfs", "subvolume", "snapshot", "-r", mountPoint(), mountPoint() + "/" + relative});
    }

    bool hasVolume(KBELocalSnapshotsController& window) {
        for (const auto& disk : window.disks()) {
            if (disk->URL == mountPoint()) {
                return true;
            }
        }
        return false;
    }

    std::unique_ptr<testsupport::TempFolder> folder_;
    std::unique_ptr<testsupport::BtrfsImage> image_;
    std::unique_ptr<testsupport::PrivateBus> bus_;

private slots:
    void init() {
        folder_ = std::make_unique<testsupport::TempFolder>();
        image_ = std::make_unique<testsupport::BtrfsImage>(folder_->path() / "btrfs.img",
                                                           folder_->path() / "volume");
        if (!image_->mounted()) {
            if (testsupport::BtrfsImage::inCI()) {
                QFAIL(image_->reason().c_str());
            }
            QSKIP(image_->reason().c_str());
        }
        bus_ = std::make_unique<testsupport::PrivateBus>();
        QVERIFY(bus_->ready());
    }

    void cleanup() {
        if (folder_) {
            ::umount2((folder_->path() / "moved").c_str(), MNT_DETACH); // a move test that failed
        }
        image_.reset();
        bus_.reset();
        folder_.reset();
    }

    // The mount table's escapes, optional fields and malformed lines.
    void mountTableLines() {
        const auto mounts = KBEParseMountInfo(
            "36 35 98:0 / /mnt/my\\040disk rw,noatime shared:1 master:2 - btrfs /dev/loop0 rw\n"
            "37 35 0:5 / /proc rw - proc proc rw\n"
            "garbage line\n"
            "38 35 8:1 /@home /home rw - btrfs /dev/sda1 rw,subvol=/@home\n");
        QCOMPARE(mounts.size(), std::size_t(3));
        QCOMPARE(mounts[0].mountPoint, std::string("/mnt/my disk"));
        QCOMPARE(mounts[0].type, std::string("btrfs"));
        QCOMPARE(mounts[0].mountID, 36L);
        const auto local = KBELocalBtrfsMounts(mounts);
        QCOMPARE(local.size(), std::size_t(2));
        QCOMPARE(local[1].mountPoint, std::string("/home"));
    }

    // The volume is listed with a name and icon; the engine's snapshots and other read-only
    // ones are listed by name with their dates, writable subvolumes are not, and a size
    // shows only while quota groups report one.
    void volumesAndSnapshotsWithNamesDatesAndSizes() {
        QVERIFY(testsupport::runTool({"btrfs", "quota", "enable", mountPoint()}));
        QVERIFY(std::filesystem::create_directory(image_->mountPoint() / ".keelbrook-snapshots"));
        const auto before = std::time(nullptr);
        QVERIFY(snapshot(".keelbrook-snapshots/" + kEngineSnapshot));
        QVERIFY(snapshot("manual"));
        QVERIFY(testsupport::runTool(
            {"btrfs", "subvolume", "snapshot", mountPoint(), mountPoint() + "/writable"}));
        QVERIFY(testsupport::runTool({"btrfs", "quota", "rescan", "-w", mountPoint()}));

        auto window = makeWindow();
        const int index = selectVolume(*window);
        QVERIFY(index >= 0);
        QVERIFY(!window->disksPopup()->itemText(index).isEmpty());
        QVERIFY(!window->disksPopup()->itemIcon(index).isNull());

        QCOMPARE(window->tableView()->rowCount(), 2);
        const QStringList names = column(*window->tableView(), 1);
        QVERIFY(names.contains(QString::fromStdString(kEngineSnapshot)));
        QVERIFY(names.contains("manual"));
        for (const auto& record : *window->snapshots()) {
            const auto date = record.asDictionary()->at("Date").asDate();
            QVERIFY(date.has_value());
            QVERIFY(std::abs(date->unixTime() - static_cast<double>(before)) < 120);
        }
        for (const QString& size : column(*window->tableView(), 2)) {
            QVERIFY2(size != "--", qPrintable(size));
        }
        QVERIFY(!column(*window->tableView(), 0).contains(QString()));
        QVERIFY(window->fullDiskAccessTextField()->isHidden());
        apptest::saveScreenshot(*window, "local-snapshots");

        // A user who is not root (the desktop's usual case) lists the same snapshots, without
        // sizes: reading quota groups is refused to users, which is not "access denied".
        std::filesystem::permissions(folder_->path(), std::filesystem::perms(0755));
        QCOMPARE(::seteuid(65534), 0);
        std::optional<VRNError> error;
        const auto asUser = KBESnapshotsAtPath(mountPoint(), &error);
        QCOMPARE(::seteuid(0), 0);
        QVERIFY(asUser.has_value());
        QCOMPARE(asUser->size(), std::size_t(2));
        for (const auto& record : *asUser) {
            QVERIFY(!record.asDictionary()->count("Size"));
        }

        QVERIFY(testsupport::runTool({"btrfs", "quota", "disable", mountPoint()}));
        window->reloadSnapshots();
        QCOMPARE(column(*window->tableView(), 2), QStringList({"--", "--"}));
    }

    // The daemon's notification reloads the list.
    void aNewSnapshotAppearsAfterTheNotification() {
        auto window = makeWindow();
        QVERIFY(selectVolume(*window) >= 0);
        QCOMPARE(window->tableView()->rowCount(), 0);
        QVERIFY(snapshot("announced"));
        QCOMPARE(window->tableView()->rowCount(), 0);
        // The window subscribed before its creation returned: one announcement is heard.
        QSignalSpy reloaded(window->tableView()->model(), &QAbstractItemModel::rowsInserted);
        notify::Poster poster(bus_->address());
        QVERIFY(!poster.post(KBELocalSnapshotsController::kSnapshotNotification));
        QVERIFY(reloaded.wait(testsupport::kWaitLimitMilliseconds));
        QCOMPARE(column(*window->tableView(), 1), QStringList({"announced"}));
    }

    // Moving the mount renames its entry; unmounting removes it from the pop-up (and its
    // rows); mounting it again adds it back, all without any polling of the window.
    void theVolumeFollowsMoveUnmountAndMount() {
        QVERIFY(snapshot("kept"));
        auto window = makeWindow();
        const int index = selectVolume(*window);
        QVERIFY(index >= 0);
        QCOMPARE(window->tableView()->rowCount(), 1);
        const std::size_t disks = window->disks().size();

        const auto entry = window->disks()[static_cast<std::size_t>(index)];
        const std::string moved = (folder_->path() / "moved").string();
        std::filesystem::create_directory(moved);
        QVERIFY(testsupport::runTool({"mount", "--move", mountPoint(), moved}));
        QTRY_COMPARE(entry->URL, moved);
        QCOMPARE(window->disks().size(), disks);
        QCOMPARE(window->disksPopup()->itemText(index), entry->name);
        QVERIFY(window->disksPopup()->itemText(index).contains("moved"));
        QVERIFY(testsupport::runTool({"mount", "--move", moved, mountPoint()}));
        QTRY_COMPARE(entry->URL, mountPoint());

        QVERIFY(testsupport::runTool({"umount", mountPoint()}));
        QTRY_VERIFY(!hasVolume(*window));
        QCOMPARE(window->disks().size(), disks - 1);
        QCOMPARE(window->disksPopup()->count(), static_cast<int>(disks - 1));
        if (disks == 1) {
            QCOMPARE(window->tableView()->rowCount(), 0);
        }

        QVERIFY(testsupport::runTool(
            {"mount", "-o", "loop", (folder_->path() / "btrfs.img").string(), mountPoint()}));
        QTRY_VERIFY(hasVolume(*window));
        QCOMPARE(window->disksPopup()->count(), static_cast<int>(disks));
    }

    // A listing refused for lack of permission shows the red text and its button, no rows;
    // another failure shows neither.
    void deniedAccessShowsTheExplanation() {
        int code = EPERM;
        auto window = makeWindow([&](const std::string& path, std::optional<VRNError>* error) {
            *error = VRNError(KBEPOSIXErrorDomain, code, {{"path", plist::Value(path)}});
            return std::optional<plist::Array>();
        });
        QVERIFY(selectVolume(*window) >= 0);
        QVERIFY(!window->fullDiskAccessTextField()->isHidden());
        QVERIFY(!window->fullDiskAccessButton()->isHidden());
        QCOMPARE(window->fullDiskAccessTextField()->palette().color(QPalette::WindowText),
                 QColor(Qt::red));
        QCOMPARE(window->tableView()->rowCount(), 0);
        apptest::saveScreenshot(*window, "local-snapshots-denied");
        code = EIO;
        window->reloadSnapshots();
        QVERIFY(window->fullDiskAccessTextField()->isHidden());
        QVERIFY(window->fullDiskAccessButton()->isHidden());
    }

    // The real listing's failure carries the errno and the path in its text.
    void aListingThatCannotOpenTheVolumeSaysWhy() {
        std::optional<VRNError> error;
        QVERIFY(!KBESnapshotsAtPath(mountPoint() + "/missing", &error));
        QVERIFY(error.has_value());
        QCOMPARE(error->code(), long(ENOENT));
        QCOMPARE(VRNError::localizedDescriptionForError(*error),
                 "Failed to list snapshots for volume '" + mountPoint() +
                     "/missing': No such file or directory.");
    }
};

QTEST_MAIN(LocalSnapshotsTest)
#include "LocalSnapshotsTest.moc"
