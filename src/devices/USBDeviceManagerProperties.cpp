// USBDeviceManager's device properties: what the list says of a volume (its
// name, id, file system, type, model) and how a stored id meets a mount again.
#include "devices/USBDeviceManager.h"
#include "devices/USBDeviceManagerProbes.h"

#include "devices/DeviceTexts.h"
#include "platform/FileNames.h"
#include "platform/Log.h"
#include "platform/ProcessRunner.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

#include <dirent.h>

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

} // namespace

// ---- A volume's record ----

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
