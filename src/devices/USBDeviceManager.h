#pragma once

#include "cleaning/FileMatcher.h"
#include "cleaning/FileType.h"
#include "cleaning/ScanOutcome.h"
#include "cleaning/VolumeScanner.h"
#include "devices/LocalUSBDevice.h"
#include "platform/Volumes.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QWaitCondition>
#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class DeviceMonitor;
class NotificationCenter;
class VolumeWork;
class Preferences;
class Scheduler;

// The device side of the app: the published list of mounted removable volumes,
// monitoring, access grants and eject. Made once by the main window.
class USBDeviceManager : public QObject
{
    Q_OBJECT
public:
    static inline const QString deviceAccessibilityChanged = QStringLiteral("DeviceAccessibilityChanged");
    static inline const QString bookmarksKey = QStringLiteral("DeviceSecurityBookmarks");

    // Where the manager finds the system and its tools. Tests replace parts.
    struct Environment
    {
        SystemPaths paths;
        QString lsof = QStringLiteral("lsof");
        QString ps = QStringLiteral("ps");
        QString udisksctl = QStringLiteral("udisksctl");
        QString umount = QStringLiteral("umount");
        QString cryptsetup = QStringLiteral("cryptsetup");   // closes an encrypted container after umount
        QString blkid = QStringLiteral("blkid");
        QString lsblk = QStringLiteral("lsblk");
        bool useUDisks2 = true;          // the D-Bus unmount-and-eject step
        bool startMonitoring = true;     // udev monitor, mount watch and the fallback refresh
        std::chrono::milliseconds lsofTimeout{5000};
        std::chrono::milliseconds ejectToolTimeout{5000};
        std::chrono::milliseconds umountTimeout{30000};
        std::chrono::milliseconds infoTimeout{2000};
        std::chrono::milliseconds forceRefreshTimeout{5000};
        // How long a refresh waits for one volume's probe (statvfs, sysfs,
        // udev, blkid, access); a volume that does not answer in time keeps
        // its last known state.
        std::chrono::milliseconds probeTimeout{1000};
        // A listed volume's sizes and access are read again (statvfs,
        // faccessat) at most this often (less 5 %, so that the fallback
        // refresh of the same period always reads); in between a refresh
        // touches nothing of it, so an unmount never finds it busy. Zero: on
        // every refresh.
        std::chrono::milliseconds volumeRecheckInterval{5000};
        // While monitoring, the manager enumerates at once when the monitor
        // reports a change of the mount table, and otherwise on its fallback
        // refresh, which reads listed volumes' sizes and access again and
        // finds what the monitor missed: every `fallbackRefreshInterval` when
        // the table is watched (the kernel flags each change). When it is not
        // (a table the kernel does not flag, as a test's, or no monitor): every
        // `unwatchedRefreshInterval`, as often as the window looks, and
        // block-device events bring looks of their own.
        std::chrono::milliseconds fallbackRefreshInterval{5000};
        std::chrono::milliseconds unwatchedRefreshInterval{500};
        // The scan's and clean's tools.
        QString find = QStringLiteral("find");
        QString ls = QStringLiteral("ls");
        QString dotClean;                      // empty: our installed dot_clean
        std::chrono::milliseconds findTimeout{15000};
        // How long a scan or clean may go without any progress (an entry
        // read, an item looked at or removed, an answer of a tool) before it
        // is given up: its volume stopped answering (a stopped FUSE daemon, a
        // hung device). The user's own waits (a password) do not count.
        std::chrono::milliseconds volumeTimeout{30000};
    };

    // Uses Scheduler::shared(), Preferences::standard() and the default notification centre.
    explicit USBDeviceManager(QObject *parent = nullptr);
    USBDeviceManager(Environment environment, Scheduler &scheduler, Preferences &preferences,
                     NotificationCenter &center, QObject *parent = nullptr);
    ~USBDeviceManager() override;

    // ---- Device list ----
    // A copy of the published list (takes deviceListLock).
    QList<LocalUSBDevice> connectedDevices() const;
    QMutex &deviceListLock() const { return m_deviceListLock; }

    // Queues an enumeration in the background; the list changes when it ends.
    // At most one enumeration runs and one waits; a request made while one
    // waits joins it.
    void refreshDevices();
    // Enumerations started so far, asked for or the fallback's (tests, benchmarks).
    quint64 enumerationCount() const { return m_nextGeneration - 1; }

    std::optional<LocalUSBDevice> latestDevice() const;
    std::optional<LocalUSBDevice> device(const QString &id) const;
    std::optional<LocalUSBDevice> currentDevice(const LocalUSBDevice &device) const;

    // ---- Device properties (blocking: background only) ----
    bool isRemovableVolume(const QString &path) const;
    QString generateDeviceID(const QString &path) const;
    std::optional<QString> getBSDName(const QString &path) const;
    // Fallback through lsblk's list of devices and their mount points.
    std::optional<QString> getBSDNameUsingDiskutil(const QString &path, QString *error = nullptr) const;
    // The file-system type of a block device (blkid), bounded by infoTimeout.
    // On time-out *error is "diskutil command timed out".
    std::optional<QString> runDiskutilInfo(const QString &bsdName, QString *error = nullptr) const;
    QString fileSystemDisplayName(const QString &rawType) const;
    QMap<QString, QString> getDeviceDescription(const QString &path) const;
    DeviceType determineDeviceType(const QString &path, const QString &fileSystem) const;
    bool deviceIDMatches(const QString &storedID, const QString &path) const;

    // ---- Access grants ----
    void loadSecurityBookmarks();
    void saveSecurityBookmarks();
    void saveSecurityBookmark(const QString &deviceID, const QByteArray &bookmarkData);
    bool hasSecurityBookmark(const QString &deviceID) const;
    bool startAccessingDevice(const QString &deviceID);
    void stopAccessingDevice(const QString &deviceID);
    bool forceRefreshDeviceAccess(const QString &deviceID);          // blocking, background only
    std::optional<LocalUSBDevice> updateDeviceAccessibility(const QString &deviceID, bool isAccessible);
    // A grant record for a folder on a mounted volume (nothing when the folder
    // is not on a mounted volume).
    std::optional<QByteArray> createBookmarkData(const QString &folderPath) const;
    QMap<QString, QByteArray> securityBookmarks() const;

    // ---- Monitoring ----
    // The monitor and the fallback refresh (see Environment).
    void startMonitoring();
    void stopMonitoring();
    bool isMonitoring() const;
    // The fallback refresh's interval while monitoring (zero when not).
    std::chrono::milliseconds fallbackInterval() const { return m_fallbackInterval; }

    // ---- Eject ----
    // `blocking`: the processes that hold files on the volume (the eject was
    // refused for them); `reason`: when it failed otherwise, what the system said.
    using EjectCompletion =
        std::function<void(bool ejected, const QList<BlockingProcess> &blocking, const QString &reason)>;
    void ejectDevice(const LocalUSBDevice &device, EjectCompletion completion);
    QList<BlockingProcess> findProcessesUsingDevice(const LocalUSBDevice &device) const;
    std::optional<QString> processName(qint64 pid) const;

    // ---- Scan (USBDeviceManagerScan.cpp) ----
    using ScanProgress = std::function<void(double)>;
    using ScanCompletion = std::function<void(const ScanOutcome &)>;

    // Scans the device in the background for the kinds, custom extensions and
    // excluded patterns; progress(1.0) and then the completion arrive exactly
    // once, on the main thread. The outcome says whether the scan was
    // complete: a volume gone under it, or a walk cut short, is no clean stick.
    void scanDevice(const LocalUSBDevice &device, const QList<FileType> &fileTypes,
                    const QStringList &customExtensions, const QStringList &excludedPatterns,
                    ScanProgress progress, ScanCompletion completion);
    // The walk of a volume (blocking; background only). Calls back on the main thread.
    void scanDirectory(const QString &root, const FileTypeSet &fileTypes, const QStringList &customExtensions,
                       const QStringList &excludedPatterns, bool accessStarted, ScanProgress progress,
                       ScanResult results, ScanCompletion completion);
    // What a VolumeScanner of this volume is handed (blocking: the file-system type).
    VolumeScanner::Request scanRequest(const QByteArray &root, const FileTypeSet &fileTypes,
                                       const QStringList &customExtensions, const QStringList &excludedPatterns) const;
    FileMatcher makeFileMatcher(const QStringList &customExtensions, const QStringList &excludedPatterns) const;

    FileTypeSet fileTypeSet() const;                 // takes fileTypeLock
    QMutex &fileTypeLock() const { return m_fileTypeLock; }
    bool shouldCancelScan() const;                   // takes cancelLock
    QMutex &cancelLock() const { return m_cancelLock; }
    const QMap<FileType, QStringList> &junkFilePatterns() const { return FileTypes::junkFilePatterns(); }

    // The connected device whose mount path holds `path` (whole path
    // components, compared as bytes; the longest such mount path wins).
    std::optional<LocalUSBDevice> deviceContaining(const QByteArray &path) const;
    std::optional<LocalUSBDevice> deviceContaining(const QString &path) const;
    // The volume's file-system type: the mount table's, a FUSE mount's device
    // type from udev, blkid only when neither tells. `mountPath` as bytes.
    std::optional<QString> fileSystemTypeOf(const QByteArray &mountPath) const;
    std::optional<QString> fileSystemTypeOf(const QString &mountPath) const;
    static bool isFATType(const QString &type);

    // ---- Clean (USBDeviceManagerClean.cpp) ----
    using CleanCompletion = std::function<void(const QList<FileItem> &cleaned, const QList<FileItem> &failed)>;
    // The share of the items done with (0 to 1; -1 while unknown), now and
    // then on the main thread while the clean runs.
    using CleanProgress = std::function<void(double share)>;
    // Deletes the items; the completion gets the cleaned and the failed ones on
    // the main thread (at once for an empty list). A clean whose volume stops
    // answering for volumeTimeout is given up: the completion then gets what
    // is known removed, and every other item failed with ETIMEDOUT.
    void cleanFiles(const QList<FileItem> &files, CleanCompletion completion, CleanProgress progress = {});
    QString dotCleanPath() const;

    // ---- Work on volumes (USBDeviceManagerWork.cpp) ----
    // Every scan and clean under way stops at its next item boundary (the app
    // quits); each still ends through its completion.
    void stopWork();
    // A scan or clean was given up while its thread still waits inside its
    // volume: the process must not wait for it when it exits.
    bool leavesWorkBehind() const;

    // Runs work on the background pool and hands its value to `completion`
    // on the same background thread.
    template <typename Work, typename Completion>
    void runInBackground(Work work, Completion completion);

    const Environment &environment() const { return m_env; }
    Scheduler &scheduler() const { return m_scheduler; }

    // Can the folder be listed? (The access check everything here uses.)
    static bool canListFolder(const QString &path);

signals:
    // The published list was replaced or one record's accessibility changed.
    void connectedDevicesChanged();

private:
    // Runs a job on the background pool; the destructor waits for it.
    void runTracked(std::function<void()> job);
    // Watches a scan or clean of a device until it ends: reports its share
    // done now and then, and gives it up when it has made no progress for
    // volumeTimeout (then `onGiveUp` ends it in its place, once a thread that
    // waited on one of its tools has taken in the tool's answers).
    void watchWork(const QString &deviceID, const std::shared_ptr<VolumeWork> &work, std::function<void()> onGiveUp,
                   CleanProgress onProgress = {});
    struct WatchedWork;
    // A quiet enumeration logs nothing and publishes only a list that differs
    // from the published one: the fallback's, and those after block-device
    // events. A change of the mount table is refreshed as if asked for.
    void startEnumeration(bool quiet);
    void lookQuietly();   // unless one is under way
    void enumerateRemovableVolumes(quint64 generation, bool quiet);
    struct VolumeProbe;
    struct ProbeBoard;
    struct ProbeRound;
    void probeCandidates(ProbeRound &round, quint64 tableGeneration);
    QList<LocalUSBDevice> describeProbed(const ProbeRound &round);
    std::optional<LocalUSBDevice> describeVolume(const MountEntry &mount, const VolumeProbe &probe, bool fresh);
    // The next refresh reads every volume's sizes and access again.
    void recheckVolumes();
    bool isRemovable(const QString &path, const std::optional<MountEntry> &mount,
                     const std::optional<BlockDeviceInfo> &block) const;
    QString idFor(const QString &path, const std::optional<QString> &bsdName) const;
    QMap<QString, QString> describeBlock(const std::optional<BlockDeviceInfo> &block) const;
    DeviceType deviceTypeFor(const QString &path, const QString &fileSystem,
                             const QMap<QString, QString> &description) const;
    void handleDevicesAdded();
    void handleDevicesRemoved();
    void updateDeviceList(const QList<LocalUSBDevice> &devices, quint64 generation, bool quiet);
    void performEject(const LocalUSBDevice &device, EjectCompletion completion);
    std::optional<MountEntry> mountFor(const QByteArray &path) const;
    std::optional<std::pair<QString, QByteArray>> findBookmark(const QString &deviceID) const;

    Environment m_env;
    Scheduler &m_scheduler;
    Preferences &m_preferences;
    NotificationCenter &m_center;
    BlockDeviceProbe m_probe;
    // The mount table as the enumerations read it (one runs at a time): read
    // again only when the kernel flags a change.
    MountTableWatch m_mountTable;

    mutable QMutex m_deviceListLock;
    QList<LocalUSBDevice> m_connectedDevices;

    // Refresh bookkeeping (main thread).
    bool m_enumerationRunning = false;
    bool m_enumerationPending = false;
    quint64 m_nextGeneration = 1;
    quint64 m_publishedGeneration = 0;

    mutable QMutex m_cacheLock;
    mutable QHash<QString, QMap<QString, QString>> m_deviceInfoCache;   // by kernel name + file-system UUID

    mutable QMutex m_fileTypeLock;
    FileTypeSet m_fileTypeSet;
    mutable QMutex m_cancelLock;
    bool m_shouldCancelScan = false;

    mutable QMutex m_bookmarkLock;
    QMap<QString, QByteArray> m_securityBookmarks;

    // What the last scan of each volume (by its mount path) saw of its
    // folders: the clean of its items checks folder items against it.
    mutable QMutex m_scannedFoldersLock;
    QHash<QByteArray, std::shared_ptr<const ScannedFolders>> m_scannedFolders;
    void keepScannedFolders(const QByteArray &root, const std::shared_ptr<const ScannedFolders> &folders);
    std::shared_ptr<const ScannedFolders> scannedFoldersOf(const QByteArray &root) const;

    // Background enumerations still running (the destructor waits for them).
    QMutex m_inflightLock;
    QWaitCondition m_inflightDone;
    int m_inflight = 0;

    // Per-volume probes of the refresh, by mount id and device number; shared
    // with the threads that run them, which may outlive the manager.
    std::shared_ptr<ProbeBoard> m_probes;

    // Scans and cleans under way (main thread), and those given up.
    std::vector<std::shared_ptr<WatchedWork>> m_watched;
    std::vector<std::shared_ptr<VolumeWork>> m_givenUp;

    DeviceMonitor *m_monitor = nullptr;
    quint64 m_refreshTimer = 0;   // the fallback refresh
    std::chrono::milliseconds m_fallbackInterval{0};
    quint64 m_arrivalTimer = 0;   // the pending refresh after an arrival
    std::shared_ptr<bool> m_alive;
};

#include "platform/Scheduler.h"

template <typename Work, typename Completion>
void USBDeviceManager::runInBackground(Work work, Completion completion)
{
    runTracked([work = std::move(work), completion = std::move(completion)]() mutable { completion(work()); });
}
