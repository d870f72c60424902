// Which volume holds a path, and what file system it carries.
#include "devices/USBDeviceManager.h"

#include "platform/Log.h"

namespace {

QString withoutTrailingSlash(QString path)
{
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    return path;
}

} // namespace

std::optional<LocalUSBDevice> USBDeviceManager::deviceContaining(const QString &path) const
{
    const QString target = withoutTrailingSlash(path);
    std::optional<LocalUSBDevice> best;
    qsizetype bestLength = -1;
    QMutexLocker lock(&m_deviceListLock);
    for (const LocalUSBDevice &device : std::as_const(m_connectedDevices)) {
        const QString mount = withoutTrailingSlash(device.path);
        if (mount.isEmpty())
            continue;
        const QString prefix = mount.endsWith(u'/') ? mount : mount + u'/';
        const bool holds = target == mount || target.startsWith(prefix);
        if (holds && mount.size() > bestLength) {
            best = device;
            bestLength = mount.size();
        }
    }
    return best;
}

std::optional<QString> USBDeviceManager::fileSystemTypeOf(const QString &path) const
{
    const std::optional<QString> bsdName = getBSDName(path);
    if (!bsdName)
        return std::nullopt;
    QString error;
    const std::optional<QString> type = runDiskutilInfo(*bsdName, &error);
    if (!error.isEmpty()) {
        logLine(QStringLiteral("获取文件系统类型失败: ") + error);
        return std::nullopt;
    }
    if (type)
        logLine(QStringLiteral("设备文件系统类型: ") + *type + QStringLiteral(", 是否为exFAT/FAT: ")
                + boolText(isFATType(*type)));
    return type;
}

bool USBDeviceManager::isFATType(const QString &type)
{
    const QString lower = type.toLower();
    return lower == u"exfat" || lower == u"msdos" || lower == u"vfat";
}
