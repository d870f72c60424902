#include "devices/USBDeviceManager.h"

#include "devices/DeviceTexts.h"
#include "platform/DeviceMonitor.h"
#include "platform/FileNames.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/ProcessRunner.h"
#include "platform/Scheduler.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include <dirent.h>
#include <pthread.h>

namespace {

const QString &kUnknownFileSystem = devicetexts::unknownFileSystem;
const QString &kUnknownModel = devicetexts::unknownModel;
const QString &kUnknownVendor = devicetexts::unknownVendor;

// Lower-case file-system names and what the user sees for them.
const QList<std::pair<QString, QString>> &displayNameTable()
{
    static const QList<std::pair<QString, QString>> table = [] {
        QList<std::pair<QString, QString>> rows = {
            {QStringLiteral("msdos"), QStringLiteral("FAT16")},   {QStringLiteral("ms-dos"), QStringLiteral("FAT16")},
            {QStringLiteral("fat"), QStringLiteral("FAT16")},     {QStringLiteral("fat16"), QStringLiteral("FAT16")},
            {QStringLiteral("fat32"), QStringLiteral("FAT32")},   {QStringLiteral("vfat"), QStringLiteral("FAT32")},
            {QStringLiteral("exfat"), QStringLiteral("exFAT")},   {QStringLiteral("ntfs"), QStringLiteral("NTFS")},
            {QStringLiteral("hfs"), QStringLiteral("HFS")},       {QStringLiteral("hfs+"), QStringLiteral("HFS+")},
            {QStringLiteral("apfs"), QStringLiteral("APFS")},     {QStringLiteral("ext2"), QStringLiteral("EXT2")},
            {QStringLiteral("ext3"), QStringLiteral("EXT3")},     {QStringLiteral("ext4"), QStringLiteral("EXT4")},
            {QStringLiteral("udf"), QStringLiteral("UDF")},       {QStringLiteral("xfs"), QStringLiteral("XFS")},
            {QStringLiteral("btrfs"), QStringLiteral("Btrfs")},   {QStringLiteral("zfs"), QStringLiteral("ZFS")},
            {QStringLiteral("hfsj"), devicetexts::journaledHfs}, {QStringLiteral("apfss"), devicetexts::encryptedApfs},
            {QStringLiteral("dcim"), devicetexts::cameraDcim}, {QStringLiteral("sdhc"), QStringLiteral("SDHC")},
            {QStringLiteral("sdxc"), QStringLiteral("SDXC")},     {QStringLiteral("sdhc uhs"), QStringLiteral("SDHC-UHS")},
            {QStringLiteral("sdxc uhs"), QStringLiteral("SDXC-UHS")}, {QStringLiteral("dcf"), devicetexts::cameraDcf},
            {QStringLiteral("cipa"), devicetexts::cameraCipa}, {QStringLiteral("jffs2"), devicetexts::flashFileSystem},
            {QStringLiteral("fuse"), devicetexts::fuseMount}, {QStringLiteral("fuseblk"), devicetexts::fuseBlockDevice},
            {QStringLiteral("iso9660"), QStringLiteral("ISO9660")}, {QStringLiteral("ufs"), QStringLiteral("UFS")},
            {QStringLiteral("cifs"), QStringLiteral("CIFS/SMB")}, {QStringLiteral("nfs"), QStringLiteral("NFS")},
            {QStringLiteral("afp"), QStringLiteral("AFP")},
        };
        // The prefix search meets the longest key first, so "fat32x" reads as FAT32, not FAT16.
        std::stable_sort(rows.begin(), rows.end(),
                         [](const auto &a, const auto &b) { return a.first.size() > b.first.size(); });
        return rows;
    }();
    return table;
}


QString lastPathComponent(const QString &path)
{
    QString p = path;
    while (p.size() > 1 && p.endsWith(u'/'))
        p.chop(1);
    return p.mid(p.lastIndexOf(u'/') + 1);
}


// The mount the path is the mount point of (the top one when mounts are stacked).
std::optional<MountEntry> findMount(const QList<MountEntry> &mounts, const QByteArray &path)
{
    for (auto it = mounts.crbegin(); it != mounts.crend(); ++it) {
        if (it->mountPointBytes == path)
            return *it;
    }
    return std::nullopt;
}

std::optional<QString> searchLsblk(const QJsonArray &devices, const QString &mountPoint)
{
    for (const QJsonValue &value : devices) {
        const QJsonObject disk = value.toObject();
        const QJsonValue mp = disk.value(QStringLiteral("mountpoint"));
        QStringList points;
        if (mp.isString())
            points << mp.toString();
        for (const QJsonValue &p : disk.value(QStringLiteral("mountpoints")).toArray()) {
            if (p.isString())
                points << p.toString();
        }
        const QJsonValue name = disk.value(QStringLiteral("kname"));
        if (points.contains(mountPoint) && name.isString())
            return name.toString();
        if (disk.value(QStringLiteral("children")).isArray()) {
            if (auto found = searchLsblk(disk.value(QStringLiteral("children")).toArray(), mountPoint))
                return found;
        }
    }
    return std::nullopt;
}

// A mount is the same volume as long as its mount id and device number stay.
QString probeKey(const MountEntry &mount)
{
    return QStringLiteral("%1 %2:%3").arg(mount.mountId).arg(mount.major).arg(mount.minor);
}

// Every field people see, not only the id that names the device.
bool sameRecords(const QList<LocalUSBDevice> &a, const QList<LocalUSBDevice> &b)
{
    return std::equal(a.cbegin(), a.cend(), b.cbegin(), b.cend(), [](const LocalUSBDevice &x, const LocalUSBDevice &y) {
        return x.id == y.id && x.name == y.name && x.path == y.path && x.capacity == y.capacity
               && x.available == y.available && x.fileSystem == y.fileSystem && x.type == y.type
               && x.model == y.model && x.serialNumber == y.serialNumber && x.vendorName == y.vendorName
               && x.isAccessible == y.isAccessible && x.nativePath == y.nativePath;
    });
}

} // namespace

// What one probe learnt about a mounted volume.
struct USBDeviceManager::VolumeProbe
{
    std::optional<BlockDeviceInfo> block;   // sysfs, udev, blkid: once per mount
    bool removable = false;                 // the filter's verdict: once per mount
    std::optional<FileSystemSizes> sizes;   // statvfs: every probe
    QString sizeError;
    bool accessible = false;                // faccessat: every probe
    bool grantOpened = false;               // not readable, but its grant gave access

    // What a new probe of the same mount may change.
    bool sameReadings(const VolumeProbe &other) const
    {
        const auto sizesOf = [](const VolumeProbe &p) {
            return p.sizes ? std::pair(p.sizes->capacity, p.sizes->available.value_or(-1))
                           : std::pair(qint64(-1), qint64(-1));
        };
        return removable == other.removable && sizesOf(*this) == sizesOf(other) && sizeError == other.sizeError
               && accessible == other.accessible;
    }
};

// The refresh's per-volume probes. Each volume is probed on a thread of its
// own that holds this board and its slot, never the manager: a probe stuck in
// a dead mount (a stopped FUSE daemon) may return long after the manager is
// gone. A removable volume keeps its thread between probes (making and ending
// one every few seconds would cost more than the probe); it waits for the
// next probe until the volume's mount leaves the table or the board closes.
struct USBDeviceManager::ProbeBoard
{
    struct Job
    {
        MountEntry mount;
        BlockDeviceProbe probe;
        std::optional<VolumeProbe> known;   // the last probe of this mount, whose device is kept
    };
    struct Slot
    {
        bool hasWorker = false;              // its thread runs (or waits for the next job)
        bool forgotten = false;              // its mount left the table
        std::optional<Job> job;              // asked of the thread, not yet taken
        std::condition_variable wake;        // the thread waits on it for a job
        bool running = false;
        std::optional<VolumeProbe> result;   // the last probe that finished
        bool news = true;                    // it read something the one before had not
        std::chrono::steady_clock::time_point startedAt;
        quint64 epoch = 0;                   // of the board when it started
        quint64 tableGeneration = 0;         // of the mount table it was probed in
        // The record made from `result`, kept until a probe brings news: an
        // unchanged volume is not described again (nor logged) on every refresh.
        std::optional<LocalUSBDevice> described;
        QByteArray describedAt;              // the mount point it was made for
    };
    std::mutex mutex;
    std::condition_variable changed;
    bool closing = false;
    quint64 epoch = 1;   // raised by recheckVolumes()
    QHash<QString, std::shared_ptr<Slot>> volumes;   // by probeKey()

    static VolumeProbe probe(const Job &job)
    {
        VolumeProbe result;
        if (job.known) {
            result.block = job.known->block;
            result.removable = job.known->removable;
        } else {
            result.block = job.probe.probeMount(job.mount);
            result.removable = isRemovableMount(job.mount.mountPoint, job.mount, result.block);
        }
        // The mount table and statvfs tell what the list needs; nothing opens the volume.
        if (result.removable) {
            result.sizes = fileSystemSizes(job.mount.mountPointBytes, &result.sizeError);
            result.accessible = folderIsReadable(job.mount.mountPointBytes);
        }
        return result;
    }

    // A slot's thread: the jobs asked of it, one by one. A volume that is not
    // removable is not probed again (until it is mounted anew): its thread ends.
    static void work(const std::shared_ptr<ProbeBoard> &board, const std::shared_ptr<Slot> &slot)
    {
        ::pthread_setname_np(::pthread_self(), "volume probe");   // as ps and top show it
        std::unique_lock lock(board->mutex);
        for (;;) {
            slot->wake.wait(lock, [&] { return board->closing || slot->forgotten || slot->job; });
            if (board->closing || slot->forgotten || !slot->job)
                break;
            const Job job = std::move(*slot->job);
            slot->job.reset();
            lock.unlock();
            VolumeProbe result = probe(job);
            lock.lock();
            slot->news = !job.known || !job.known->sameReadings(result);
            const bool removable = result.removable;
            slot->result = std::move(result);
            slot->running = false;
            board->changed.notify_all();
            if (!removable)
                break;
        }
        slot->hasWorker = false;
    }

    // Under the lock: the threads waiting for a job look again (and end).
    void wakeAll()
    {
        for (const std::shared_ptr<Slot> &slot : std::as_const(volumes))
            slot->wake.notify_one();
    }
};

USBDeviceManager::USBDeviceManager(QObject *parent)
    : USBDeviceManager(Environment{}, Scheduler::shared(), Preferences::standard(),
                       NotificationCenter::defaultCenter(), parent)
{
}

USBDeviceManager::USBDeviceManager(Environment environment, Scheduler &scheduler, Preferences &preferences,
                                   NotificationCenter &center, QObject *parent)
    : QObject(parent)
    , m_env(std::move(environment))
    , m_scheduler(scheduler)
    , m_preferences(preferences)
    , m_center(center)
    , m_probe(m_env.paths)
    , m_mountTable(m_env.paths.mountInfo)
    , m_fileTypeSet(FileTypes::allTypes())
    , m_probes(std::make_shared<ProbeBoard>())
    , m_alive(std::make_shared<bool>(true))
{
    loadSecurityBookmarks();
    refreshDevices();
    if (m_env.startMonitoring)
        startMonitoring();
}

USBDeviceManager::~USBDeviceManager()
{
    stopMonitoring();
    if (m_arrivalTimer)
        m_scheduler.cancel(m_arrivalTimer);
    *m_alive = false;
    {
        // An enumeration waiting for its probes stops waiting; probes still
        // running are left to finish on their own.
        std::lock_guard lock(m_probes->mutex);
        m_probes->closing = true;
        m_probes->changed.notify_all();
        m_probes->wakeAll();
    }
    // Scans and cleans stop at their next item; background jobs read this
    // object: wait until none runs.
    stopWork();
    QMutexLocker lock(&m_inflightLock);
    while (m_inflight > 0)
        m_inflightDone.wait(&m_inflightLock);
}

// ---- Device list ----

QList<LocalUSBDevice> USBDeviceManager::connectedDevices() const
{
    QMutexLocker lock(&m_deviceListLock);
    return m_connectedDevices;
}

void USBDeviceManager::refreshDevices()
{
    if (QThread::currentThread() != thread()) {
        m_scheduler.post([this] { refreshDevices(); }, this);
        return;
    }
    logLine(QStringLiteral("开始刷新设备列表"));
    startEnumeration(/*quiet=*/false);
}

void USBDeviceManager::startEnumeration(bool quiet)
{
    // Overlapping enumerations could publish out of order and bring back a
    // volume that has gone; one runs, at most one waits.
    if (m_enumerationRunning) {
        m_enumerationPending = true;
        return;
    }
    m_enumerationRunning = true;
    const quint64 generation = m_nextGeneration++;
    runTracked([this, generation, quiet] { enumerateRemovableVolumes(generation, quiet); });
}

void USBDeviceManager::lookQuietly()
{
    // One under way reads the table as late as this one would.
    if (m_enumerationRunning)
        return;
    startEnumeration(/*quiet=*/true);
}

void USBDeviceManager::runTracked(std::function<void()> job)
{
    {
        QMutexLocker lock(&m_inflightLock);
        ++m_inflight;
    }
    m_scheduler.runInBackground([this, job = std::move(job)] {
        job();
        QMutexLocker lock(&m_inflightLock);
        if (--m_inflight == 0)
            m_inflightDone.wakeAll();
    });
}

void USBDeviceManager::enumerateRemovableVolumes(quint64 generation, bool quiet)
{
    const QList<MountEntry> mounts = m_mountTable.entries();
    const quint64 tableGeneration = m_mountTable.generation();
    QList<MountEntry> candidates;
    QSet<QByteArray> seen;
    for (auto it = mounts.crbegin(); it != mounts.crend(); ++it) {
        // Only the top mount of a stack is visible at its mount point.
        if (seen.contains(it->mountPointBytes))
            continue;
        seen.insert(it->mountPointBytes);
        // Rejected before the device is probed: system mounts (snap's loop
        // images alone can be dozens) would otherwise be probed too.
        if (!isSystemPath(it->mountPoint))
            candidates.prepend(*it);
    }

    // Each volume is probed on its own thread and waited for up to the time
    // limit. A volume whose probe is still running (from this refresh or an
    // earlier one) keeps its last known state and holds up nothing.
    using Slot = ProbeBoard::Slot;
    const std::shared_ptr<ProbeBoard> board = m_probes;
    const auto deadline = std::chrono::steady_clock::now() + m_env.probeTimeout;
    // The fallback refresh comes every volumeRecheckInterval or so, give or
    // take the hand-off to this thread: one a hair early still reads.
    const auto recheckAfter = m_env.volumeRecheckInterval - m_env.volumeRecheckInterval / 20;
    QList<std::shared_ptr<Slot>> slotList;
    QList<bool> startedNow;
    {
        std::unique_lock lock(board->mutex);
        QHash<QString, std::shared_ptr<Slot>> current;
        for (const MountEntry &mount : candidates) {
            const QString key = probeKey(mount);
            std::shared_ptr<Slot> slot = board->volumes.value(key);
            if (!slot)
                slot = std::make_shared<Slot>();
            current.insert(key, slot);
            slotList.append(slot);
            // A volume known not to be removable needs nothing more; a known
            // removable one only its sizes and access, now and then. After a
            // change of the mount table the mount with this id and device may
            // be another volume: everything is probed again.
            const bool remounted = slot->result && slot->tableGeneration != tableGeneration;
            const bool due = !slot->result || remounted
                             || (slot->result->removable
                                 && (slot->epoch != board->epoch
                                     || std::chrono::steady_clock::now() - slot->startedAt >= recheckAfter));
            const bool start = !slot->running && due;
            startedNow.append(false);
            if (!start)
                continue;
            std::optional<VolumeProbe> known = remounted ? std::nullopt : slot->result;
            slot->job = ProbeBoard::Job{mount, m_probe, std::move(known)};
            if (slot->hasWorker) {
                slot->wake.notify_one();
            } else {
                try {
                    std::thread([board, slot] { ProbeBoard::work(board, slot); }).detach();
                    slot->hasWorker = true;
                } catch (const std::system_error &error) {
                    slot->job.reset();
                    logLine(QStringLiteral("获取卷信息出错: ") + mount.mountPoint + QStringLiteral(": ")
                            + QString::fromLocal8Bit(error.what()));
                    continue;
                }
            }
            slot->running = true;
            slot->startedAt = std::chrono::steady_clock::now();
            slot->epoch = board->epoch;
            slot->tableGeneration = tableGeneration;
            startedNow.last() = true;
        }
        // Volumes whose mount left the table are forgotten: a thread waiting
        // for its next job ends, one stuck in its volume keeps only its slot.
        for (auto it = board->volumes.cbegin(); it != board->volumes.cend(); ++it) {
            if (!current.contains(it.key())) {
                it.value()->forgotten = true;
                it.value()->wake.notify_one();
            }
        }
        board->volumes = current;
        board->changed.wait_until(lock, deadline, [&] {
            if (board->closing)
                return true;
            for (qsizetype i = 0; i < slotList.size(); ++i) {
                if (startedNow.at(i) && slotList.at(i)->running)
                    return false;
            }
            return true;
        });
    }

    QList<LocalUSBDevice> devices;
    for (qsizetype i = 0; i < candidates.size(); ++i) {
        const MountEntry &mount = candidates.at(i);
        const std::shared_ptr<Slot> &slot = slotList.at(i);
        std::optional<VolumeProbe> result;
        bool fresh = false;
        {
            std::lock_guard lock(board->mutex);
            result = slot->result;
            fresh = startedNow.at(i) && !slot->running;
            if (slot->running && result && result->removable)
                logLine(QStringLiteral("设备未响应，沿用上次的状态: ") + mount.mountPoint);
            // A volume that reads as it did, and that is readable by itself
            // (a grant is tried again on each probe), keeps its record.
            const bool unchanged = !fresh || (!slot->news && result && result->accessible);
            if (unchanged && slot->described && slot->describedAt == mount.mountPointBytes) {
                devices.append(*slot->described);
                continue;
            }
        }
        if (!result || !result->removable)
            continue;
        const std::optional<LocalUSBDevice> device = describeVolume(mount, *result, fresh);
        std::lock_guard lock(board->mutex);
        slot->described = device;
        slot->describedAt = mount.mountPointBytes;
        if (!device)
            continue;
        // Remembered until the next probe, which tries the grant again.
        if (fresh && device->isAccessible && !result->accessible && slot->result)
            slot->result->grantOpened = true;
        devices.append(*device);
    }
    std::weak_ptr<bool> alive = m_alive;
    m_scheduler.post(
        [this, alive, devices, generation, quiet] {
            if (alive.lock())
                updateDeviceList(devices, generation, quiet);
        },
        this);
}

std::optional<LocalUSBDevice> USBDeviceManager::describeVolume(const MountEntry &mount, const VolumeProbe &probe,
                                                               bool fresh)
{
    const QString path = mount.mountPoint;
    const std::optional<BlockDeviceInfo> &block = probe.block;
    logLine(QStringLiteral("检测到可移动驱动器: ") + path);

    LocalUSBDevice device;
    device.path = path;
    device.nativePath = bytesUnlessRoundTrip(mount.mountPointBytes, path);
    device.name = block && !block->fsLabel.isEmpty() ? block->fsLabel : lastPathComponent(path);

    const std::optional<FileSystemSizes> &sizes = probe.sizes;
    if (!sizes) {
        logLine(QStringLiteral("获取卷信息出错: ") + probe.sizeError);
        return std::nullopt;
    }
    device.capacity = sizes->capacity;
    device.available = sizes->available;
    if (sizes->capacity <= 0 && block && block->sizeBytes > 0) {
        // Its file system tells no sizes: the device's own size, free space unknown.
        device.capacity = block->sizeBytes;
        logLine(QStringLiteral("File system reports no size; using the size of /dev/%1: %2 bytes, free space unknown")
                    .arg(block->kernelName)
                    .arg(block->sizeBytes));
    }

    const std::optional<QString> bsdName = block ? std::optional<QString>(block->kernelName) : std::nullopt;
    device.id = idFor(path, bsdName);
    logLine(QStringLiteral("为设备指定ID: ") + device.id);

    // File system: the mount's own type, then blkid, then udev's record.
    QString fileSystem = kUnknownFileSystem;
    const QString mountType = effectiveFileSystemType(mount, block);
    if (!mountType.isEmpty()) {
        logLine(QStringLiteral("从FileManager获取到文件系统类型: ") + mountType);
        fileSystem = fileSystemDisplayName(mountType);
    }
    if (fileSystem == kUnknownFileSystem && bsdName) {
        QString infoError;
        const std::optional<QString> type = runDiskutilInfo(*bsdName, &infoError);
        if (!infoError.isEmpty()) {
            logLine(QStringLiteral("获取文件系统类型出错: ") + infoError);
        } else if (type) {
            logLine(QStringLiteral("从diskutil获取到文件系统类型: ") + *type);
            fileSystem = fileSystemDisplayName(*type);
        }
    }
    if (fileSystem == kUnknownFileSystem && block && !block->fsType.isEmpty()) {
        logLine(QStringLiteral("从DiskArbitration获取到文件系统类型: ") + block->fsType);
        fileSystem = fileSystemDisplayName(block->fsType);
    }
    device.fileSystem = fileSystem;
    logLine(QStringLiteral("最终文件系统类型: ") + fileSystem + QStringLiteral(" 用于设备: ") + device.name);

    if (probe.accessible || (!fresh && probe.grantOpened)) {
        logLine(QStringLiteral("设备 ") + device.name + QStringLiteral(" 可以访问"));
        device.isAccessible = true;
    } else {
        logLine(QStringLiteral("警告: 设备 ") + device.name + QStringLiteral(" 无法读取内容，可能缺少权限"));
        // The grant's check reads the volume: only when it has just answered.
        if (fresh && hasSecurityBookmark(device.id)) {
            logLine(QStringLiteral("设备有安全书签，尝试访问: ") + device.id);
            if (startAccessingDevice(device.id)) {
                logLine(QStringLiteral("成功使用书签访问设备: ") + device.name);
                device.isAccessible = true;
            }
        }
    }

    const QMap<QString, QString> description = describeBlock(block);
    device.type = deviceTypeFor(path, fileSystem, description);
    device.model = description.value(QStringLiteral("Model"), kUnknownModel);
    device.serialNumber = description.value(QStringLiteral("SerialNumber"));
    device.vendorName = description.value(QStringLiteral("VendorName"), kUnknownVendor);

    logLine(QStringLiteral("添加设备到列表: ") + device.name + QStringLiteral(", ID: ") + device.id
            + QStringLiteral(", isAccessible: ") + boolText(device.isAccessible));
    return device;
}

void USBDeviceManager::recheckVolumes()
{
    std::lock_guard lock(m_probes->mutex);
    ++m_probes->epoch;
}

void USBDeviceManager::updateDeviceList(const QList<LocalUSBDevice> &devices, quint64 generation, bool quiet)
{
    m_enumerationRunning = false;
    // The fallback's look that found every record as published has no news.
    const bool news = !quiet || !sameRecords(devices, connectedDevices());
    if (generation > m_publishedGeneration && news) {
        m_publishedGeneration = generation;
        logLine(QStringLiteral("更新设备列表，共 ") + QString::number(devices.size()) + QStringLiteral(" 个设备"));
        {
            QMutexLocker lock(&m_deviceListLock);
            m_connectedDevices = devices;
        }
        emit connectedDevicesChanged();
    }
    if (m_enumerationPending) {
        m_enumerationPending = false;
        refreshDevices();
    }
}

std::optional<LocalUSBDevice> USBDeviceManager::latestDevice() const
{
    QMutexLocker lock(&m_deviceListLock);
    if (m_connectedDevices.isEmpty())
        return std::nullopt;
    return m_connectedDevices.constLast();
}

std::optional<LocalUSBDevice> USBDeviceManager::device(const QString &id) const
{
    QMutexLocker lock(&m_deviceListLock);
    for (const LocalUSBDevice &d : m_connectedDevices) {
        if (d.id == id)
            return d;
    }
    return std::nullopt;
}

std::optional<LocalUSBDevice> USBDeviceManager::currentDevice(const LocalUSBDevice &device) const
{
    return this->device(device.id);
}

// ---- Device properties ----

std::optional<MountEntry> USBDeviceManager::mountFor(const QByteArray &path) const
{
    return findMount(readMountInfo(m_env.paths.mountInfo), path);
}

bool USBDeviceManager::isRemovableVolume(const QString &path) const
{
    const std::optional<MountEntry> mount = mountFor(QFile::encodeName(path));
    return isRemovable(path, mount, mount ? m_probe.probeMount(*mount) : std::nullopt);
}

bool USBDeviceManager::isRemovable(const QString &path, const std::optional<MountEntry> &mount,
                                   const std::optional<BlockDeviceInfo> &block) const
{
    return isRemovableMount(path, mount, block);
}

QString USBDeviceManager::idFor(const QString &path, const std::optional<QString> &bsdName) const
{
    const QString trimmed = path.trimmed();
    if (!bsdName) {
        logLine(QStringLiteral("使用路径作为设备ID: ") + trimmed);
        return trimmed;
    }
    const QString id = trimmed + u'|' + *bsdName;
    logLine(QStringLiteral("生成组合设备ID: ") + id + QStringLiteral(" (路径: ") + trimmed + QStringLiteral(", BSD: ")
            + *bsdName + u')');
    return id;
}

QString USBDeviceManager::generateDeviceID(const QString &path) const
{
    return idFor(path, getBSDName(path));
}

std::optional<QString> USBDeviceManager::getBSDName(const QString &path) const
{
    logLine(QStringLiteral("为路径获取BSD名称: ") + path);
    if (const std::optional<MountEntry> mount = mountFor(QFile::encodeName(path))) {
        if (const std::optional<BlockDeviceInfo> block = m_probe.probeMount(*mount)) {
            logLine(QStringLiteral("设备路径: ") + path + QStringLiteral(" 对应的BSD名称: ") + block->kernelName);
            return block->kernelName;
        }
    }
    QString error;
    if (const std::optional<QString> name = getBSDNameUsingDiskutil(path, &error)) {
        logLine(QStringLiteral("使用diskutil获取到BSD名称: ") + *name + QStringLiteral(" 用于路径: ") + path);
        return name;
    }
    logLine(QStringLiteral("无法为路径获取BSD名称，将使用路径作为设备ID: ") + path);
    return std::nullopt;
}

std::optional<QString> USBDeviceManager::getBSDNameUsingDiskutil(const QString &path, QString *error) const
{
    ProcessRequest request;
    request.program = m_env.lsblk;
    request.arguments = {QStringLiteral("-J"), QStringLiteral("-o"), QStringLiteral("KNAME,MOUNTPOINT")};
    request.timeout = m_env.infoTimeout;
    const ProcessResult result = runProcess(request);
    if (!result.started) {
        if (error)
            *error = result.errorString;
        return std::nullopt;
    }
    if (!result.succeeded())
        return std::nullopt;
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(result.standardOutput, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        if (error)
            *error = parseError.errorString();
        return std::nullopt;
    }
    return searchLsblk(doc.object().value(QStringLiteral("blockdevices")).toArray(), path);
}

std::optional<QString> USBDeviceManager::runDiskutilInfo(const QString &bsdName, QString *error) const
{
    ProcessRequest request;
    request.program = m_env.blkid;
    request.arguments = {QStringLiteral("-p"), QStringLiteral("-o"), QStringLiteral("value"), QStringLiteral("-s"),
                         QStringLiteral("TYPE"), QStringLiteral("--"), QStringLiteral("/dev/") + bsdName};
    request.timeout = m_env.infoTimeout;
    request.killGrace = std::chrono::milliseconds(200);
    const ProcessResult result = runProcess(request);
    if (result.timedOut) {
        if (error)
            *error = QStringLiteral("diskutil command timed out");
        return std::nullopt;
    }
    if (!result.started) {
        if (error)
            *error = result.errorString;
        return std::nullopt;
    }
    const QString type = QString::fromUtf8(result.standardOutput).trimmed();
    if (!result.succeeded() || type.isEmpty())
        return std::nullopt;
    return type;
}

QString USBDeviceManager::fileSystemDisplayName(const QString &rawType) const
{
    const QString lower = rawType.toLower();
    for (const auto &[key, shown] : displayNameTable()) {
        if (key == lower)
            return shown;
    }
    for (const auto &[key, shown] : displayNameTable()) {
        if (lower.startsWith(key))
            return shown;
    }
    const auto has = [&](const char *text) { return lower.contains(QLatin1String(text)); };
    if (has("fat") && has("32"))
        return QStringLiteral("FAT32");
    if (has("fat") && has("16"))
        return QStringLiteral("FAT16");
    if (has("exfat") || has("ex-fat"))
        return QStringLiteral("exFAT");
    if (has("ntfs"))
        return QStringLiteral("NTFS");
    if (has("hfs") && has("+"))
        return QStringLiteral("HFS+");
    if (has("hfs"))
        return QStringLiteral("HFS");
    if (has("apfs"))
        return QStringLiteral("APFS");
    if (has("ext4"))
        return QStringLiteral("EXT4");
    if (has("ext3"))
        return QStringLiteral("EXT3");
    if (has("ext2"))
        return QStringLiteral("EXT2");
    if (has("zfs"))
        return QStringLiteral("ZFS");
    if (has("udf"))
        return QStringLiteral("UDF");
    if (has("sdhc"))
        return QStringLiteral("SDHC");
    if (has("sdxc"))
        return QStringLiteral("SDXC");
    if (has("sd") && has("card"))
        return devicetexts::sdCardFormat;
    if (rawType.isEmpty())
        return kUnknownFileSystem;
    return rawType.left(1).toUpper() + rawType.mid(1).toLower();
}

QMap<QString, QString> USBDeviceManager::describeBlock(const std::optional<BlockDeviceInfo> &block) const
{
    if (!block)
        return {};
    // Keyed by the device and its file system, so another stick mounted later
    // at the same path is described afresh.
    const QString key = block->kernelName + u'|' + block->fsUuid;
    QMutexLocker lock(&m_cacheLock);
    if (auto it = m_deviceInfoCache.constFind(key); it != m_deviceInfoCache.constEnd())
        return *it;
    QMap<QString, QString> description;
    const auto put = [&](const QString &name, const QString &value) {
        if (!value.isEmpty())
            description.insert(name, value);
    };
    put(QStringLiteral("VendorName"), block->vendor);
    put(QStringLiteral("Model"), block->model);
    put(QStringLiteral("Protocol"), block->bus);
    put(QStringLiteral("SerialNumber"), block->serial);
    m_deviceInfoCache.insert(key, description);
    return description;
}

QMap<QString, QString> USBDeviceManager::getDeviceDescription(const QString &path) const
{
    if (path.isEmpty())
        return {};
    const std::optional<MountEntry> mount = mountFor(QFile::encodeName(path));
    return mount ? describeBlock(m_probe.probeMount(*mount)) : QMap<QString, QString>{};
}

DeviceType USBDeviceManager::determineDeviceType(const QString &path, const QString &fileSystem) const
{
    return deviceTypeFor(path, fileSystem, getDeviceDescription(path));
}

DeviceType USBDeviceManager::deviceTypeFor(const QString &path, const QString &fileSystem,
                                           const QMap<QString, QString> &description) const
{
    const QString lowerPath = path.toLower();
    if (lowerPath.contains(u"sdcard") || lowerPath.contains(u"sd card"))
        return DeviceType::sdCard;
    // A card in an MMC slot is an SD card whatever its model says.
    if (description.value(QStringLiteral("Protocol")) == u"mmc")
        return DeviceType::sdCard;
    const QString model = description.value(QStringLiteral("Model")).toLower();
    if (model.contains(u"sd") || model.contains(u"card reader"))
        return DeviceType::sdCard;
    const QString vendor = description.value(QStringLiteral("VendorName")).toLower();
    if (vendor.contains(u"card reader") || vendor.contains(u"sd"))
        return DeviceType::sdCard;
    // Every known file-system keyword maps to a USB device, and so does everything else.
    Q_UNUSED(fileSystem);
    return DeviceType::usb;
}

bool USBDeviceManager::deviceIDMatches(const QString &storedID, const QString &path) const
{
    const QString trimmed = path.trimmed();
    logLine(QStringLiteral("deviceIDMatches: 比较存储ID '") + storedID + QStringLiteral("' 与当前路径 '") + trimmed
            + u'\'');
    const qsizetype bar = storedID.lastIndexOf(u'|');   // a mount path may itself hold "|"
    if (bar < 0) {
        if (storedID == trimmed) {
            logLine(QStringLiteral("deviceIDMatches: 简单路径直接匹配"));
            return true;
        }
        const QString name = lastPathComponent(storedID);
        if (!name.isEmpty() && name == lastPathComponent(trimmed)) {
            logLine(QStringLiteral("deviceIDMatches: 通过设备名称匹配: ") + name);
            return true;
        }
    } else {
        const QString storedPath = storedID.left(bar);
        const QString storedBsd = storedID.mid(bar + 1);
        logLine(QStringLiteral("deviceIDMatches: 存储的组合ID - 路径: '") + storedPath + QStringLiteral("', BSD: '")
                + storedBsd + u'\'');
        if (storedPath == trimmed) {
            logLine(QStringLiteral("deviceIDMatches: 路径直接匹配"));
            return true;
        }
        if (const std::optional<QString> bsd = getBSDName(path)) {
            logLine(QStringLiteral("deviceIDMatches: 当前路径的BSD名称: ") + *bsd);
            if (*bsd == storedBsd) {
                logLine(QStringLiteral("deviceIDMatches: 通过BSD名称匹配找到设备: ") + *bsd);
                return true;
            }
        }
        const QString name = lastPathComponent(storedPath);
        if (!name.isEmpty() && name == lastPathComponent(trimmed)) {
            logLine(QStringLiteral("deviceIDMatches: 通过设备名称匹配: ") + name);
            return true;
        }
    }
    logLine(QStringLiteral("deviceIDMatches: 未找到匹配"));
    return false;
}

bool USBDeviceManager::canListFolder(const QString &path)
{
    // A listing, not a stat: it fails under exactly the conditions a scan would.
    DIR *dir = ::opendir(QFile::encodeName(path).constData());
    if (!dir)
        return false;
    ::closedir(dir);
    return true;
}

// ---- Monitoring ----

void USBDeviceManager::startMonitoring()
{
    if (m_monitor)
        return;
    m_monitor = new DeviceMonitor(m_env.paths.mountInfo, this);
    const bool started = m_monitor->start();
    const bool watched = started && m_monitor->mountWatchFlagsChanges();
    if (watched) {
        // The list is of mounted volumes and the table tells of every mount
        // and unmount: a change is refreshed at once, and looked at again
        // 0.5 and 1.5 s later for a volume slow to answer its first probe.
        // Block devices coming and going (other programs' loop devices too)
        // change nothing listed by themselves.
        connect(m_monitor, &DeviceMonitor::mountTableChanged, this, [this] {
            refreshDevices();
            handleDevicesAdded();
        });
    } else {
        // Without a table that tells of its changes, block-device events are
        // the early word, and the fallback looks as often as the window does.
        connect(m_monitor, &DeviceMonitor::mediaArrived, this, &USBDeviceManager::handleDevicesAdded);
        connect(m_monitor, &DeviceMonitor::mediaRemoved, this, &USBDeviceManager::handleDevicesRemoved);
    }
    m_fallbackInterval = watched ? m_env.fallbackRefreshInterval : m_env.unwatchedRefreshInterval;
    const QString every = QString::number(m_fallbackInterval.count());
    if (!started)
        logLine(QStringLiteral("USBDeviceManager: device events unavailable; a refresh every %1 ms keeps the list current")
                    .arg(every));
    else if (!watched)
        logLine(QStringLiteral("USBDeviceManager: the mount table does not tell of its changes; a refresh every %1 ms "
                               "keeps the list current")
                    .arg(every));
    // Media already present count as an arrival.
    handleDevicesAdded();
    if (!m_refreshTimer)
        m_refreshTimer = m_scheduler.every(m_fallbackInterval, [this] { lookQuietly(); }, this);
}

void USBDeviceManager::stopMonitoring()
{
    if (m_refreshTimer)
        m_scheduler.cancel(m_refreshTimer);
    m_refreshTimer = 0;
    m_fallbackInterval = std::chrono::milliseconds(0);
    if (!m_monitor)
        return;
    m_monitor->stop();
    delete m_monitor;
    m_monitor = nullptr;
}

bool USBDeviceManager::isMonitoring() const
{
    return m_monitor != nullptr;
}

void USBDeviceManager::handleDevicesAdded()
{
    // A disk and its partitions arrive together: one pair of looks, at 0.5
    // and 1.5 s after the last event of a burst. A stream of events (loop
    // devices another program sets up and frees) moves the pair on rather
    // than adding pairs; the fallback refresh goes on meanwhile. Block
    // devices come and go without touching the list (they are listed once
    // mounted, and a mount is looked at as soon as the table changes): these
    // looks are quiet.
    if (m_arrivalTimer)
        m_scheduler.cancel(m_arrivalTimer);
    m_arrivalTimer = m_scheduler.after(std::chrono::milliseconds(500), [this] {
        m_arrivalTimer = 0;
        if (!isMonitoring())
            return;
        lookQuietly();
        m_arrivalTimer = m_scheduler.after(std::chrono::seconds(1), [this] {
            m_arrivalTimer = 0;
            if (isMonitoring())
                lookQuietly();
        }, this);
    }, this);
}

void USBDeviceManager::handleDevicesRemoved()
{
    m_scheduler.post([this] {
        if (isMonitoring())
            lookQuietly();
    }, this);
}
