#pragma once

#include "cleaning/FileType.h"
#include "cleaning/ScanOutcome.h"
#include "devices/LocalUSBDevice.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QObject;
class USBDeviceManager;

// What the main window needs of the device manager and the junk engine.
// Completions arrive on the main thread. The calls marked "blocking" look at
// the device (a dead mount can keep them waiting): the window makes them from
// a background thread only, and they must be safe there. The others read the
// published list or queue work, and never wait on a device.
class DeviceService
{
public:
    using ScanProgress = std::function<void(double)>;
    using ScanCompletion = std::function<void(const ScanOutcome &)>;
    using CleanCompletion = std::function<void(const QList<FileItem> &cleaned, const QList<FileItem> &failed)>;
    // The share of a clean's items done with (0 to 1; -1 while unknown).
    using CleanProgress = std::function<void(double share)>;
    // On failure either the processes that hold the volume or the system's
    // reason; a caller that knows no reason may leave it out.
    struct EjectCompletion
        : std::function<void(bool ejected, const QList<BlockingProcess> &blocking, const QString &reason)>
    {
        using function::function;
        void operator()(bool ejected, const QList<BlockingProcess> &blocking, const QString &reason = {}) const
        {
            function::operator()(ejected, blocking, reason);
        }
    };

    virtual ~DeviceService() = default;

    // The published list, read under the list's lock.
    virtual QList<LocalUSBDevice> connectedDevices() const = 0;
    // Queues an enumeration; the list changes later.
    virtual void refreshDevices() = 0;
    // Calls `changed` on the main thread each time the published list is
    // replaced or one of its records changes, for as long as `context` lives.
    virtual void whenListChanges(QObject *context, std::function<void()> changed) = 0;
    virtual std::optional<LocalUSBDevice> device(const QString &id) const = 0;
    // The connected device whose mount holds the path.
    virtual std::optional<LocalUSBDevice> deviceContaining(const QString &path) const = 0;

    virtual void scanDevice(const LocalUSBDevice &device, const QList<FileType> &fileTypes,
                            const QStringList &customExtensions, const QStringList &excludedPatterns,
                            ScanProgress progress, ScanCompletion completion) = 0;
    // A scan or clean whose volume stops answering ends as failed within the
    // manager's time limit: the scan as notAnswering, the clean with what is
    // known gone and every other item failed with ETIMEDOUT.
    virtual void cleanFiles(const QList<FileItem> &files, CleanCompletion completion, CleanProgress progress = {}) = 0;
    // Every scan and clean under way stops at its next item boundary and ends
    // through its completion (the app quits).
    virtual void stopWork() = 0;
    virtual void ejectDevice(const LocalUSBDevice &device, EjectCompletion completion) = 0;

    // Blocking (matching a stored id may run lsblk; opening access and the
    // update list the device).
    virtual bool hasSecurityBookmark(const QString &deviceID) const = 0;
    virtual std::optional<LocalUSBDevice> updateDeviceAccessibility(const QString &deviceID, bool isAccessible) = 0;

    // Blocking; called from the authorization's background step. A grant record
    // that cannot be made is logged ("创建安全书签失败: " and the reason) here.
    virtual std::optional<QByteArray> createBookmarkData(const QString &folderPath) const = 0;
    virtual void saveSecurityBookmark(const QString &deviceID, const QByteArray &bookmarkData) = 0;
    virtual bool startAccessingDevice(const QString &deviceID) = 0;
    virtual void stopAccessingDevice(const QString &deviceID) = 0;
    virtual bool forceRefreshDeviceAccess(const QString &deviceID) = 0;

    // The listed record with the same id.
    std::optional<LocalUSBDevice> currentDevice(const LocalUSBDevice &of) const { return device(of.id); }
};

// The app's service: the window's USBDeviceManager.
class USBDeviceService final : public DeviceService
{
public:
    explicit USBDeviceService(USBDeviceManager &manager) : m_manager(manager) {}

    QList<LocalUSBDevice> connectedDevices() const override;
    void refreshDevices() override;
    void whenListChanges(QObject *context, std::function<void()> changed) override;
    std::optional<LocalUSBDevice> device(const QString &id) const override;
    std::optional<LocalUSBDevice> deviceContaining(const QString &path) const override;
    void scanDevice(const LocalUSBDevice &device, const QList<FileType> &fileTypes,
                    const QStringList &customExtensions, const QStringList &excludedPatterns,
                    ScanProgress progress, ScanCompletion completion) override;
    void cleanFiles(const QList<FileItem> &files, CleanCompletion completion, CleanProgress progress = {}) override;
    void stopWork() override;
    void ejectDevice(const LocalUSBDevice &device, EjectCompletion completion) override;
    bool hasSecurityBookmark(const QString &deviceID) const override;
    std::optional<LocalUSBDevice> updateDeviceAccessibility(const QString &deviceID, bool isAccessible) override;
    std::optional<QByteArray> createBookmarkData(const QString &folderPath) const override;
    void saveSecurityBookmark(const QString &deviceID, const QByteArray &bookmarkData) override;
    bool startAccessingDevice(const QString &deviceID) override;
    void stopAccessingDevice(const QString &deviceID) override;
    bool forceRefreshDeviceAccess(const QString &deviceID) override;

    USBDeviceManager &manager() const { return m_manager; }

private:
    USBDeviceManager &m_manager;
};
