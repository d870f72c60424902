// Which volume holds a path, and what file system it carries.
#include "devices/USBDeviceManager.h"

#include "cleaning/VolumeCleaner.h"

#include "platform/Log.h"

#include <QFile>

namespace {

QByteArray withoutTrailingSlash(QByteArray path)
{
    while (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    return path;
}

} // namespace

std::optional<LocalUSBDevice> USBDeviceManager::deviceContaining(const QByteArray &path) const
{
    const QByteArray target = withoutTrailingSlash(path);
    std::optional<LocalUSBDevice> best;
    qsizetype bestLength = -1;
    QMutexLocker lock(&m_deviceListLock);
    for (const LocalUSBDevice &device : std::as_const(m_connectedDevices)) {
        const QByteArray mount = withoutTrailingSlash(device.fsPath());
        if (mount.isEmpty())
            continue;
        const QByteArray prefix = mount.endsWith('/') ? mount : mount + '/';
        const bool holds = target == mount || target.startsWith(prefix);
        if (holds && mount.size() > bestLength) {
            best = device;
            bestLength = mount.size();
        }
    }
    return best;
}

std::optional<LocalUSBDevice> USBDeviceManager::deviceContaining(const QString &path) const
{
    return deviceContaining(QFile::encodeName(path));
}

std::optional<QString> USBDeviceManager::fileSystemTypeOf(const QString &mountPath) const
{
    return fileSystemTypeOf(QFile::encodeName(mountPath));
}

std::optional<QString> USBDeviceManager::fileSystemTypeOf(const QByteArray &path) const
{
    // The mount table names the type without opening the device, which an
    // ordinary user may not read; a FUSE mount that names none (exfat-fuse's
    // "fuseblk") takes the type udev recorded for its device. blkid only when
    // neither tells it.
    QString type;
    std::optional<QString> bsdName;
    if (const std::optional<MountEntry> mount = mountFor(path)) {
        std::optional<BlockDeviceInfo> block;
        if (mountTypeNeedsDevice(*mount)) {
            SystemPaths udevOnly = m_env.paths;
            udevOnly.useBlkid = false;
            block = BlockDeviceProbe(udevOnly).probeMount(*mount);
            if (block)
                bsdName = block->kernelName;
        }
        type = mountedFileSystemType(*mount, block);
    }
    if (type.isEmpty()) {
        if (!bsdName)
            bsdName = getBSDName(QFile::decodeName(path));
        if (!bsdName)
            return std::nullopt;
        QString error;
        const std::optional<QString> found = runDiskutilInfo(*bsdName, &error);
        if (!error.isEmpty()) {
            logLine(QStringLiteral("获取文件系统类型失败: ") + error);
            return std::nullopt;
        }
        if (!found)
            return std::nullopt;
        type = *found;
    }
    logLine(QStringLiteral("设备文件系统类型: ") + type + QStringLiteral(", 是否为exFAT/FAT: ") + boolText(isFATType(type)));
    return type;
}

bool USBDeviceManager::isFATType(const QString &type)
{
    return VolumeCleaner::isFATType(type);
}
