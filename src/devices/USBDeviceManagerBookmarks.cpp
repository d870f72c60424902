// Access grants: one record per device ID that finds the granted folder again
// on whatever path its volume is mounted at now.
//
// A record is a small JSON object, UTF-8 encoded:
//   {"v":1, "uuid":..., "label":..., "source":..., "mountPath":..., "relative":...}
// "uuid" is the file system's UUID; without one, "label" and "source" (the
// device node) identify the volume. "mountPath" is where it was mounted when the
// grant was made and only breaks ties; "relative" is the granted folder below
// the file system's root ("" for the root itself). A record without "v" or with
// "v" below 1 is an older format: still usable, but stale.

#include "devices/USBDeviceManager.h"

#include "platform/Log.h"
#include "platform/Volumes.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/Scheduler.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include <sys/stat.h>
#include <sys/sysmacros.h>


namespace {

constexpr int kRecordVersion = 1;


// Lists a folder to the end, as a scan would; false with the reason when any
// step fails (a FUSE mount of another user, a vanished folder, EIO ...).
// Reads the folder; on failure "path: reason" in *error.
bool listFolder(const QString &path, QString *error)
{
    if (const std::optional<QString> reason = folderListingError(QFile::encodeName(path))) {
        *error = path + QStringLiteral(": ") + *reason;
        return false;
    }
    return true;
}

// The number of the block device a node names (through links, as /dev/mapper/<name>
// is one); nothing for anything else.
std::optional<dev_t> blockDeviceNumber(const QString &node)
{
    if (!node.startsWith(u'/'))
        return std::nullopt;
    struct stat st;
    if (::stat(QFile::encodeName(node).constData(), &st) != 0 || !S_ISBLK(st.st_mode))
        return std::nullopt;
    return st.st_rdev;
}

// True when the recorded source names the device of this mount, by number:
// one device goes by several names ("/dev/mapper/x" and "/dev/dm-0").
bool sameSourceDevice(const QString &recordedSource, const MountEntry &mount, const std::optional<BlockDeviceInfo> &block)
{
    const std::optional<dev_t> recorded = blockDeviceNumber(recordedSource);
    if (!recorded)
        return false;
    if (mount.major != 0 && *recorded == makedev(mount.major, mount.minor))
        return true;
    // A FUSE or btrfs mount carries an anonymous number: its source, or the device found behind it.
    return blockDeviceNumber(mount.source) == recorded || (block && blockDeviceNumber(block->devNode) == recorded);
}

struct GrantRecord
{
    bool stale = false;
    QString uuid;
    QString label;
    QString source;
    QString mountPath;
    QString relative;
};

std::optional<GrantRecord> parseRecord(const QByteArray &data, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(data, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        *error = QStringLiteral("the grant record is not readable");
        return std::nullopt;
    }
    const QJsonObject object = document.object();
    GrantRecord record;

    const QJsonValue version = object.value(QStringLiteral("v"));
    if (version.isUndefined()) {
        record.stale = true;
    } else if (!version.isDouble()) {
        *error = QStringLiteral("the grant record's version is not a number");
        return std::nullopt;
    } else if (version.toDouble() < kRecordVersion) {
        record.stale = true;
    } else if (version.toDouble() != kRecordVersion) {
        *error = QStringLiteral("the grant record has a version this program does not know (%1)")
                     .arg(version.toDouble());
        return std::nullopt;
    }

    const auto text = [&](const char *name, QString *out, bool required) {
        const QJsonValue value = object.value(QLatin1String(name));
        if (value.isUndefined() && !required)
            return true;
        if (!value.isString()) {
            *error = QStringLiteral("the grant record's \"%1\" is missing or not text").arg(QLatin1String(name));
            return false;
        }
        *out = value.toString();
        return true;
    };
    if (!text("uuid", &record.uuid, false) || !text("label", &record.label, false)
        || !text("source", &record.source, false) || !text("mountPath", &record.mountPath, true)
        || !text("relative", &record.relative, true))
        return std::nullopt;

    if (record.uuid.isEmpty() && record.source.isEmpty()) {
        *error = QStringLiteral("the grant record names no volume");
        return std::nullopt;
    }
    // The folder must stay inside its volume.
    if (record.relative.startsWith(u'/') || record.relative.split(u'/').contains(QStringLiteral(".."))) {
        *error = QStringLiteral("the grant record's folder \"%1\" leaves its volume").arg(record.relative);
        return std::nullopt;
    }
    return record;
}

// Where a folder given relative to the file system's root appears through this
// mount; nothing when the mount shows another part of the file system.
std::optional<QString> pathThroughMount(const MountEntry &mount, const QString &relative)
{
    QString root = mount.root;
    while (root.startsWith(u'/'))
        root.remove(0, 1);
    while (root.endsWith(u'/'))
        root.chop(1);
    QString rest;
    if (root.isEmpty())
        rest = relative;
    else if (relative == root)
        rest.clear();
    else if (relative.startsWith(root + u'/'))
        rest = relative.mid(root.size() + 1);
    else
        return std::nullopt;
    if (rest.isEmpty())
        return mount.mountPoint;
    return mount.mountPoint.endsWith(u'/') ? mount.mountPoint + rest : mount.mountPoint + u'/' + rest;
}

struct ResolvedGrant
{
    QString path;
    bool stale = false;
};

// Finds the volume of a record among the mounts of now.
std::optional<ResolvedGrant> resolveGrant(const QByteArray &data, const SystemPaths &paths,
                                          const BlockDeviceProbe &probe, QString *error)
{
    const std::optional<GrantRecord> record = parseRecord(data, error);
    if (!record)
        return std::nullopt;

    const QList<MountEntry> mounts = readMountInfo(paths.mountInfo);
    const BlockDeviceProbe pass = probe.forOnePass();
    QSet<QString> seen;
    std::optional<QString> found;
    // Newest first: of mounts stacked on one point only the top one is visible.
    for (auto it = mounts.crbegin(); it != mounts.crend(); ++it) {
        if (seen.contains(it->mountPoint))
            continue;
        seen.insert(it->mountPoint);
        const std::optional<BlockDeviceInfo> block = pass.probeMount(*it);
        bool same = false;
        if (!record->uuid.isEmpty()) {
            same = block && block->fsUuid.compare(record->uuid, Qt::CaseInsensitive) == 0;
        } else {
            const bool sameSource = it->source == record->source || (block && block->devNode == record->source)
                                    || sameSourceDevice(record->source, *it, block);
            same = sameSource && (block ? block->fsLabel : QString()) == record->label;
        }
        if (!same)
            continue;
        const std::optional<QString> path = pathThroughMount(*it, record->relative);
        if (!path)
            continue;
        // Where it was mounted at grant time wins over other mounts of the same volume.
        if (!found || it->mountPoint == record->mountPath)
            found = path;
        if (it->mountPoint == record->mountPath)
            break;
    }
    if (!found) {
        *error = QStringLiteral("the volume (%1) is not mounted")
                     .arg(!record->uuid.isEmpty() ? QStringLiteral("UUID ") + record->uuid
                                                  : QStringLiteral("label \"%1\" on %2").arg(record->label, record->source));
        return std::nullopt;
    }
    return ResolvedGrant{*found, record->stale};
}

// A fresh record for a folder on a mounted volume.
std::optional<QByteArray> makeGrantRecord(const QString &folderPath, const SystemPaths &paths,
                                          const BlockDeviceProbe &probe, QString *error)
{
    const QString absolute = QDir::cleanPath(QFileInfo(folderPath).absoluteFilePath());
    // Resolving links gives the real volume; a folder that cannot be resolved
    // (e.g. on a mount this process may not read) keeps its given path.
    const QString canonical = QFileInfo(absolute).canonicalFilePath();
    const QString path = canonical.isEmpty() ? absolute : canonical;

    const QList<MountEntry> mounts = readMountInfo(paths.mountInfo);
    const MountEntry *holder = nullptr;
    for (const MountEntry &mount : mounts) {
        const QString &point = mount.mountPoint;
        const bool contains = point == u"/" || path == point || path.startsWith(point + u'/');
        // The deepest mount point holds the folder; of stacked mounts the last one.
        if (contains && (!holder || point.size() >= holder->mountPoint.size()))
            holder = &mount;
    }
    if (!holder) {
        *error = QStringLiteral("%1 is on no mounted volume").arg(path);
        return std::nullopt;
    }

    const std::optional<BlockDeviceInfo> block = probe.probeMount(*holder);
    const QString uuid = block ? block->fsUuid : QString();
    // Pseudo and network file systems have no device to find again.
    if (uuid.isEmpty() && !block && !holder->source.startsWith(u'/')) {
        *error = QStringLiteral("%1 is not on a volume with a device (%2)").arg(path, holder->source);
        return std::nullopt;
    }

    QString inside = holder->mountPoint == u"/" ? path.mid(1) : path.mid(holder->mountPoint.size() + 1);
    QString root = holder->root;
    while (root.startsWith(u'/'))
        root.remove(0, 1);
    if (!root.isEmpty())
        inside = inside.isEmpty() ? root : root + u'/' + inside;
    while (inside.endsWith(u'/'))
        inside.chop(1);

    QJsonObject object;
    object.insert(QStringLiteral("v"), kRecordVersion);
    object.insert(QStringLiteral("uuid"), uuid);
    object.insert(QStringLiteral("label"), block ? block->fsLabel : QString());
    object.insert(QStringLiteral("source"), holder->source);
    object.insert(QStringLiteral("mountPath"), holder->mountPoint);
    object.insert(QStringLiteral("relative"), inside);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// Keeps writes of the whole map in the order their snapshots were taken.
QMutex g_saveOrder;

} // namespace

void USBDeviceManager::loadSecurityBookmarks()
{
    logLine(QStringLiteral("开始加载安全书签"));
    // A value of another type (or one this version cannot read) loads nothing.
    const std::optional<Preferences::BytesMap> stored = m_preferences.bytesMapValue(bookmarksKey);
    if (!stored) {
        logLine(QStringLiteral("未找到保存的安全书签"));
        return;
    }
    {
        QMutexLocker lock(&m_bookmarkLock);
        m_securityBookmarks = *stored;
    }
    logLine(QStringLiteral("已加载 ") + QString::number(stored->size()) + QStringLiteral(" 个安全书签"));
    logLine(QStringLiteral("书签ID列表: ") + stored->keys().join(QStringLiteral(", ")));
    logLine(QStringLiteral("书签加载完成，将在需要时按需恢复访问权限"));
}

void USBDeviceManager::saveSecurityBookmarks()
{
    QMutexLocker order(&g_saveOrder);
    const QMap<QString, QByteArray> snapshot = securityBookmarks();
    logLine(QStringLiteral("保存") + QString::number(snapshot.size()) + QStringLiteral("个安全书签到UserDefaults"));
    m_preferences.setBytesMap(bookmarksKey, snapshot);
}

void USBDeviceManager::saveSecurityBookmark(const QString &deviceID, const QByteArray &bookmarkData)
{
    logLine(QStringLiteral("保存设备ID: ") + deviceID + QStringLiteral("的安全书签"));
    recheckVolumes();   // the next refresh tries the new grant
    {
        QMutexLocker lock(&m_bookmarkLock);
        m_securityBookmarks.insert(deviceID, bookmarkData);
    }
    saveSecurityBookmarks();
}

QMap<QString, QByteArray> USBDeviceManager::securityBookmarks() const
{
    QMutexLocker lock(&m_bookmarkLock);
    return m_securityBookmarks;
}

std::optional<std::pair<QString, QByteArray>> USBDeviceManager::findBookmark(const QString &deviceID) const
{
    // The matcher may run lsblk: it runs on a copy, never under the lock.
    const QMap<QString, QByteArray> bookmarks = securityBookmarks();
    if (bookmarks.isEmpty())
        return std::nullopt;
    if (const auto it = bookmarks.constFind(deviceID); it != bookmarks.cend())
        return std::make_pair(deviceID, *it);
    for (auto it = bookmarks.cbegin(); it != bookmarks.cend(); ++it) {
        if (deviceIDMatches(it.key(), deviceID))
            return std::make_pair(it.key(), it.value());
    }
    return std::nullopt;
}

bool USBDeviceManager::hasSecurityBookmark(const QString &deviceID) const
{
    const bool found = findBookmark(deviceID).has_value();
    logLine(QStringLiteral("检查设备ID: ") + deviceID + QStringLiteral(" 是否有安全书签: ") + boolText(found));
    return found;
}

std::optional<QByteArray> USBDeviceManager::createBookmarkData(const QString &folderPath) const
{
    QString error;
    std::optional<QByteArray> data = makeGrantRecord(folderPath, m_env.paths, m_probe, &error);
    if (!data)
        logLine(QStringLiteral("创建安全书签失败: ") + error);
    return data;
}

bool USBDeviceManager::startAccessingDevice(const QString &deviceID)
{
    const auto bookmark = findBookmark(deviceID);
    if (!bookmark) {
        logLine(QStringLiteral("未找到设备ID: ") + deviceID + QStringLiteral("的书签数据，无法访问"));
        return false;
    }
    const auto &[key, data] = *bookmark;
    if (key != deviceID)
        logLine(QStringLiteral("找到灵活匹配的书签: 存储ID=") + key + QStringLiteral(", 查询ID=") + deviceID);

    QString error;
    const std::optional<ResolvedGrant> resolved = resolveGrant(data, m_env.paths, m_probe, &error);
    if (!resolved) {
        logLine(QStringLiteral("解析安全书签失败: ") + error);
        return false;
    }
    if (resolved->stale) {
        logLine(QStringLiteral("书签已过期，需要重新授权。移除过期书签。"));
        {
            // Only this record: a grant saved meanwhile under the same key stays.
            QMutexLocker lock(&m_bookmarkLock);
            if (m_securityBookmarks.value(key) == data)
                m_securityBookmarks.remove(key);
        }
        saveSecurityBookmarks();
        return false;
    }
    if (!listFolder(resolved->path, &error)) {
        logLine(QStringLiteral("无法读取设备内容: ") + error);
        return false;
    }
    logLine(QStringLiteral("成功访问安全作用域资源: ") + resolved->path);
    return true;
}

void USBDeviceManager::stopAccessingDevice(const QString &deviceID)
{
    const auto bookmark = findBookmark(deviceID);
    if (!bookmark) {
        logLine(QStringLiteral("未找到设备ID: ") + deviceID + QStringLiteral("的书签数据，无法停止访问"));
        return;
    }
    QString error;
    // Staleness does not matter here; the record stays.
    const std::optional<ResolvedGrant> resolved = resolveGrant(bookmark->second, m_env.paths, m_probe, &error);
    if (!resolved) {
        logLine(QStringLiteral("停止访问安全作用域资源失败: ") + error);
        return;
    }
    // Linux grants no scope to close: access is the listing itself.
    logLine(QStringLiteral("已停止访问安全作用域资源: ") + resolved->path);
}

bool USBDeviceManager::forceRefreshDeviceAccess(const QString &deviceID)
{
    recheckVolumes();
    const auto bookmark = findBookmark(deviceID);
    if (!bookmark) {
        logLine(QStringLiteral("未找到设备书签，无法刷新权限"));
        return false;
    }
    const auto [key, data] = *bookmark;
    stopAccessingDevice(deviceID);

    // Shared with the refresh step, which may outlive this call (and the manager):
    // it therefore works on copies and touches nothing of the manager.
    struct Refresh
    {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        bool success = false;
        std::optional<QByteArray> renewed;
    };
    auto refresh = std::make_shared<Refresh>();
    m_scheduler.runInBackground([refresh, data = data, paths = m_env.paths, probe = m_probe] {
        bool success = false;
        std::optional<QByteArray> renewed;
        QString error;
        const std::optional<ResolvedGrant> resolved = resolveGrant(data, paths, probe, &error);
        if (!resolved) {
            logLine(QStringLiteral("强制刷新失败: 无法解析书签 - ") + error);
        } else if (!listFolder(resolved->path, &error)) {
            logLine(QStringLiteral("强制刷新验证失败: ") + error);
        } else {
            logLine(QStringLiteral("强制刷新成功: 可以访问设备内容"));
            success = true;
            if (resolved->stale) {
                renewed = makeGrantRecord(resolved->path, paths, probe, &error);
                if (!renewed)
                    logLine(QStringLiteral("更新过期书签失败: ") + error);
            }
        }
        std::lock_guard lock(refresh->mutex);
        refresh->success = success;
        refresh->renewed = std::move(renewed);
        refresh->done = true;
        refresh->finished.notify_all();
    });

    bool success = false;
    std::optional<QByteArray> renewed;
    {
        std::unique_lock lock(refresh->mutex);
        refresh->finished.wait_for(lock, m_env.forceRefreshTimeout, [&] { return refresh->done; });
        success = refresh->success;
        renewed = refresh->renewed;
    }

    if (success && renewed) {
        {
            // Renew the stale record only; a grant saved meanwhile wins.
            QMutexLocker lock(&m_bookmarkLock);
            if (m_securityBookmarks.value(key) == data)
                m_securityBookmarks.insert(key, *renewed);
        }
        saveSecurityBookmarks();
    }

    if (success) {
        const std::optional<LocalUSBDevice> updated = updateDeviceAccessibility(deviceID, true);
        logLine(QStringLiteral("已更新设备可访问性: ") + (updated ? updated->name : deviceID));
        m_scheduler.post([this, deviceID] { m_center.post(deviceAccessibilityChanged, deviceID); }, this);
    }
    return success;
}

std::optional<LocalUSBDevice> USBDeviceManager::updateDeviceAccessibility(const QString &deviceID, bool isAccessible)
{
    logLine(QStringLiteral("更新设备可访问性 - ID: ") + deviceID + QStringLiteral(", 请求的值: ") + boolText(isAccessible));
    // The refreshes after this one read the volume's access again rather than repeat an older answer.
    recheckVolumes();

    const std::optional<LocalUSBDevice> listed = device(deviceID);
    if (!listed) {
        logLine(QStringLiteral("错误：找不到设备ID: ") + deviceID + QStringLiteral(" 以更新其可访问性"));
        return std::nullopt;
    }
    if (listed->isAccessible == isAccessible) {
        logLine(QStringLiteral("设备可访问性状态未变化，保持为: ") + boolText(isAccessible));
        return listed;
    }
    logLine(QStringLiteral("设备可访问性从 ") + boolText(listed->isAccessible) + QStringLiteral(" 更改为 ")
            + boolText(isAccessible));

    bool verified = false;
    if (isAccessible) {
        QString error;
        if (listFolder(listed->path, &error)) {
            logLine(QStringLiteral("验证设备可成功访问: ") + listed->path);
            verified = true;
        } else {
            logLine(QStringLiteral("警告：虽然标记为可访问，但设备路径仍无法访问: ") + listed->path);
            if (hasSecurityBookmark(deviceID)) {
                logLine(QStringLiteral("尝试使用书签再次访问设备..."));
                verified = startAccessingDevice(deviceID);
                if (verified)
                    logLine(QStringLiteral("成功使用书签重新获取设备访问权限: ") + deviceID);
                else
                    logLine(QStringLiteral("使用书签再次访问设备失败: ") + deviceID);
            }
        }
    }

    LocalUSBDevice updated = *listed;
    updated.isAccessible = verified;

    m_scheduler.post(
        [this, deviceID, verified] {
            bool replaced = false;
            {
                // By ID, not by position: an enumeration may have reordered the
                // list since, and another device must not be overwritten. Only
                // the flag changes; the rest may be fresher than our copy.
                QMutexLocker lock(&m_deviceListLock);
                for (LocalUSBDevice &device : m_connectedDevices) {
                    if (device.id == deviceID) {
                        device.isAccessible = verified;
                        replaced = true;
                        break;
                    }
                }
            }
            m_center.post(deviceAccessibilityChanged, deviceID);
            logLine(QStringLiteral("已发送设备可访问性更改通知，设备ID: ") + deviceID + QStringLiteral(", 可访问性: ")
                    + boolText(verified));
            if (replaced)
                emit connectedDevicesChanged();
        },
        this);
    return updated;
}
