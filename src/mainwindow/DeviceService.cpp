#include "mainwindow/DeviceService.h"

#include "devices/USBDeviceManager.h"

QList<LocalUSBDevice> USBDeviceService::connectedDevices() const
{
    return m_manager.connectedDevices();
}

void USBDeviceService::refreshDevices()
{
    m_manager.refreshDevices();
}

void USBDeviceService::whenListChanges(QObject *context, std::function<void()> changed)
{
    QObject::connect(&m_manager, &USBDeviceManager::connectedDevicesChanged, context, std::move(changed));
}

std::optional<LocalUSBDevice> USBDeviceService::device(const QString &id) const
{
    return m_manager.device(id);
}

std::optional<LocalUSBDevice> USBDeviceService::deviceContaining(const QString &path) const
{
    return m_manager.deviceContaining(path);
}

void USBDeviceService::scanDevice(const LocalUSBDevice &device, const QList<FileType> &fileTypes,
                                  const QStringList &customExtensions, const QStringList &excludedPatterns,
                                  ScanProgress progress, ScanCompletion completion)
{
    m_manager.scanDevice(device, fileTypes, customExtensions, excludedPatterns, std::move(progress),
                         std::move(completion));
}

void USBDeviceService::cleanFiles(const QList<FileItem> &files, CleanCompletion completion, CleanProgress progress)
{
    m_manager.cleanFiles(files, std::move(completion), std::move(progress));
}

void USBDeviceService::stopWork()
{
    m_manager.stopWork();
}

void USBDeviceService::ejectDevice(const LocalUSBDevice &device, EjectCompletion completion)
{
    m_manager.ejectDevice(device, std::move(completion));
}

bool USBDeviceService::hasSecurityBookmark(const QString &deviceID) const
{
    return m_manager.hasSecurityBookmark(deviceID);
}

std::optional<LocalUSBDevice> USBDeviceService::updateDeviceAccessibility(const QString &deviceID, bool isAccessible)
{
    return m_manager.updateDeviceAccessibility(deviceID, isAccessible);
}

std::optional<QByteArray> USBDeviceService::createBookmarkData(const QString &folderPath) const
{
    return m_manager.createBookmarkData(folderPath);
}

void USBDeviceService::saveSecurityBookmark(const QString &deviceID, const QByteArray &bookmarkData)
{
    m_manager.saveSecurityBookmark(deviceID, bookmarkData);
}

bool USBDeviceService::startAccessingDevice(const QString &deviceID)
{
    return m_manager.startAccessingDevice(deviceID);
}

void USBDeviceService::stopAccessingDevice(const QString &deviceID)
{
    m_manager.stopAccessingDevice(deviceID);
}

bool USBDeviceService::forceRefreshDeviceAccess(const QString &deviceID)
{
    return m_manager.forceRefreshDeviceAccess(deviceID);
}
