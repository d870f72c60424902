// The window's eject flows and the access authorization of a device.
#include "mainwindow/ContentView.h"

#include "devices/USBDeviceManager.h"
#include "localization/Bidi.h"
#include "localization/Localization.h"
#include "mainwindow/DeviceService.h"
#include "mainwindow/FolderPicker.h"
#include "platform/Log.h"
#include "platform/Volumes.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <thread>


using namespace std::chrono_literals;

namespace {

// The folder's path with its links resolved (blocking: it looks at the folder).
QString canonicalOrSelf(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

} // namespace

// ---------------------------------------------------------------- the window's eject

void ContentView::ejectSelectedDevice()
{
    if (!m_selectedDevice || refuseWhileBusy(m_selectedDevice->id, QStringLiteral("弹出")))
        return;
    const LocalUSBDevice device = *m_selectedDevice;
    const quint64 eject = ++m_ejectSequence;
    m_activeEject = eject;
    m_isEjecting = true;
    m_ejectingDeviceName = device.name;
    m_deviceNotificationMessage = format(localized(QStringLiteral("ejecting")), bidi::name(device.name));
    m_deviceNotificationIsInsertion = false;
    m_showDeviceNotification = true;
    emit stateChanged();
    m_scheduler.after(10s, [this, eject] { ejectTimeoutFired(eject); }, this);
    m_devices.ejectDevice(device, guarded([this, device, eject](bool ejected, const QList<BlockingProcess> &blocking,
                                                                const QString &reason) {
        m_scheduler.after(1s, [this, ejected, blocking, reason, device, eject] {
            handleEjectResult(ejected, blocking, reason, device, eject);
        }, this);
    }));
}

// Each eject has its own time-out: a later eject is not timed by an earlier one's clock.
void ContentView::ejectTimeoutFired(quint64 eject)
{
    if (!m_isEjecting || eject != m_activeEject)
        return;
    m_isEjecting = false;
    m_showDeviceNotification = false;
    emit stateChanged();
    showMessageAlert(localized(QStringLiteral("error")), localized(QStringLiteral("device_eject_timeout")));
}

void ContentView::handleEjectResult(bool success, const QList<BlockingProcess> &blocking, const QString &reason,
                                    const LocalUSBDevice &device, quint64 eject)
{
    if (eject == m_activeEject)
        m_isEjecting = false;
    if (!success) {
        // The "Ejecting …" banner is this eject's own: a later one keeps its banner.
        if (eject == m_activeEject)
            m_showDeviceNotification = false;
        emit stateChanged();
        QStringList names;
        for (const BlockingProcess &process : blocking)
            names << process.name;
        QString message = localized(QStringLiteral("device_eject_error"));
        if (!names.isEmpty()) {
            names.removeDuplicates();
            message = format(localized(QStringLiteral("device_eject_error_processes")), bidi::name(device.name),
                             bidi::leftToRight(names.join(QStringLiteral(", "))));
        } else if (!reason.isEmpty()) {
            message = format(localized(QStringLiteral("device_eject_error_reason")), bidi::name(device.name),
                             bidi::name(reason));
        }
        logLine(QStringLiteral("设备弹出失败: ") + message);
        showMessageAlert(localized(QStringLiteral("error")), message);
        return;
    }
    m_showDeviceNotification = false;
    m_deviceNotificationMessage = format(localized(QStringLiteral("device_eject_success")), bidi::name(device.name));
    m_deviceNotificationIsInsertion = false;
    m_showDeviceNotification = true;
    emit stateChanged();
    m_scheduler.after(3s, [this] { hideDeviceNotification(); }, this);
    // The ejected device is no longer waiting to be selected: without this the
    // next unchanged poll (the list may not have caught up yet) would select it again.
    if (m_lastDetectedDeviceID == device.id)
        m_lastDetectedDeviceID.clear();
    // Only the ejected device is forgotten; another one selected meanwhile stays.
    if (isSelected(device.id)) {
        setSelectedDevice(std::nullopt);
        m_scanResults.clear();
        m_totalJunkSize = 0;
        m_cleanedFileCount = 0;
        emit stateChanged();
    }
    m_devices.refreshDevices();
}

// ---------------------------------------------------------------- eject after authorization

void ContentView::ejectAfterAuthorizationSuccess(const LocalUSBDevice &device)
{
    ejectAfterAuthorization(device, AuthorizationEject::success);
}

void ContentView::ejectAfterAuthorizationFailure(const LocalUSBDevice &device)
{
    ejectAfterAuthorization(device, AuthorizationEject::failure);
}

void ContentView::ejectAfterAuthorizationCancel(const LocalUSBDevice &device)
{
    ejectAfterAuthorization(device, AuthorizationEject::cancel);
}

void ContentView::ejectAfterAuthorization(const LocalUSBDevice &device, AuthorizationEject kind)
{
    const quint64 eject = ++m_ejectSequence;
    m_activeEject = eject;
    m_showingAlert = false;
    m_isEjecting = true;
    m_ejectingDeviceName = device.name;
    m_deviceNotificationMessage = localized(QStringLiteral("ejecting_device"));
    m_deviceNotificationIsInsertion = false;
    m_showDeviceNotification = true;
    emit stateChanged();
    switch (kind) {
    case AuthorizationEject::success:
        logLine(QStringLiteral("开始弹出授权成功的设备: ") + device.name);
        break;
    case AuthorizationEject::failure:
        logLine(QStringLiteral("开始弹出授权失败的设备: ") + device.name);
        break;
    case AuthorizationEject::cancel:
        logLine(QStringLiteral("开始弹出取消授权的设备: ") + device.name);
        break;
    }
    m_devices.ejectDevice(device, guarded([this, device, kind, eject](bool ejected, const QList<BlockingProcess> &blocking,
                                                                      const QString &reason) {
        m_scheduler.post([this, ejected, blocking, reason, device, kind, eject] {
            handleEjectResultAfterAuthorization(ejected, blocking, reason, device, kind, eject);
        }, this);
    }));
}

void ContentView::handleEjectResultAfterAuthorization(bool success, const QList<BlockingProcess> &blocking,
                                                      const QString &reason, const LocalUSBDevice &device,
                                                      AuthorizationEject kind, quint64 eject)
{
    if (eject == m_activeEject)
        m_isEjecting = false;
    if (success) {
        logLine(QStringLiteral("设备弹出成功"));
        m_deviceNotificationMessage = localized(QStringLiteral("please_reconnect_device"));
        m_deviceNotificationIsInsertion = false;
        emit stateChanged();
        m_scheduler.after(5s, [this] { hideDeviceNotification(); }, this);
        // As after the window's own eject: the poll must not select it again.
        if (m_lastDetectedDeviceID == device.id)
            m_lastDetectedDeviceID.clear();
        if (isSelected(device.id))
            setSelectedDevice(std::nullopt);
        return;
    }
    logLine(QStringLiteral("设备弹出失败，显示错误信息") + (reason.isEmpty() ? QString() : QStringLiteral(": ") + reason));
    m_showDeviceNotification = false;
    QStringList names;
    for (const BlockingProcess &process : blocking)
        names << process.name;
    const QString list = bidi::leftToRight(names.join(QStringLiteral(", ")));
    const QString name = bidi::name(device.name);
    // Nobody holds it: the system's reason, when it gave one, instead of a guess.
    QString text = reason.trimmed();
    while (text.endsWith(u'.') || text.endsWith(u'。'))
        text.chop(1);
    // After a grant the device only needs reconnecting; otherwise reconnecting
    // is how the user authorizes it again.
    const bool granted = kind == AuthorizationEject::success;
    QString message;
    if (kind == AuthorizationEject::cancel)
        message = format(localized(QStringLiteral("reauth_eject_failed")), name);
    else if (!names.isEmpty())
        message = format(localized(granted ? QStringLiteral("auth_eject_failed_processes")
                                           : QStringLiteral("reauth_eject_failed_processes")), name, list);
    else if (!text.isEmpty())
        message = format(localized(granted ? QStringLiteral("auth_eject_failed_reason")
                                           : QStringLiteral("reauth_eject_failed_reason")), name, bidi::name(text));
    else
        message = format(localized(granted ? QStringLiteral("auth_eject_failed_in_use")
                                           : QStringLiteral("reauth_eject_failed_in_use")), name);
    showMessageAlert(localized(QStringLiteral("eject_failed")), message);
}

// ---------------------------------------------------------------- authorization

void ContentView::requestDeviceAuthorization(const LocalUSBDevice &device, AuthorizationCompletion completion)
{
    logLine(QStringLiteral("开始请求设备授权: ") + device.name + QStringLiteral(" (") + device.id + QStringLiteral(")"));
    if (m_deviceReady) {
        showAuthorizationPanel(device, std::move(completion));
        return;
    }
    logLine(QStringLiteral("设备尚未准备就绪，暂存授权请求等待设备就绪"));
    parkDeviceRequest(
        QStringLiteral("设备已就绪，继续执行之前的授权请求"), device,
        [this, completion](const LocalUSBDevice &current) { showAuthorizationPanel(current, completion); },
        [this, completion] {
            set(m_isAuthorizing, false);
            if (completion)
                completion(false);
        });
}

void ContentView::showAuthorizationPanel(const LocalUSBDevice &device, AuthorizationCompletion completion)
{
    set(m_isAuthorizing, true);
    const QString message = format(localized(QStringLiteral("select_device_root")), bidi::name(device.name));
    logLine(QStringLiteral("打开授权选择面板，请用户选择目录..."));
    m_folderPicker.chooseFolder(message, device.path,
                                guarded([this, device, completion](const std::optional<QString> &folder) {
                                    handleAuthorizationPanelResponse(folder, device, completion);
                                }));
}

void ContentView::handleAuthorizationPanelResponse(const std::optional<QString> &folder, const LocalUSBDevice &device,
                                                   AuthorizationCompletion completion)
{
    if (!folder || folder->isEmpty()) {
        logLine(QStringLiteral("用户取消了目录选择"));
        m_scheduler.post([this, device, completion] {
            finishAuthorization(device, completion, AuthorizationEject::cancel);
        }, this);
        return;
    }
    const QString path = *folder;
    logLine(QStringLiteral("用户已选择目录: ") + path);

    struct Answer
    {
        AuthorizationEnd end = AuthorizationEnd::notGranted;
        bool onDevice = true;
        std::optional<LocalUSBDevice> record;   // re-read once access was granted
    };
    DeviceService &devices = m_devices;
    // Blocking work, every step a look at the device: where the folder really
    // is, the grant record, the access attempts, the forced refresh and the
    // re-read of the device.
    m_scheduler.background(
        [&devices, path, device]() -> Answer {
            // The grant must be for the device itself: its root, or a folder on its file system.
            const QString chosen = canonicalOrSelf(path);
            const std::optional<LocalUSBDevice> holder = devices.deviceContaining(chosen);
            if (chosen != canonicalOrSelf(device.path) && !(holder && holder->id == device.id)) {
                logLine(QStringLiteral("所选目录不在设备 ") + device.name + QStringLiteral(" 上，拒绝授权"));
                return Answer{AuthorizationEnd::notGranted, false, std::nullopt};
            }
            const QString deviceID = device.id;
            logLine(QStringLiteral("开始创建安全书签..."));
            // A failure is logged with its reason by the service itself.
            const std::optional<QByteArray> data = devices.createBookmarkData(path);
            if (!data)
                return Answer{AuthorizationEnd::setupFailed, true, std::nullopt};
            logLine(QStringLiteral("书签创建成功，大小: ") + QString::number(data->size()));
            devices.saveSecurityBookmark(deviceID, *data);
            bool granted = false;
            for (int attempt = 1; attempt <= 3 && !granted; ++attempt) {
                logLine(QStringLiteral("尝试第 ") + QString::number(attempt) + QStringLiteral(" 次访问安全书签..."));
                devices.stopAccessingDevice(deviceID);
                if (!devices.startAccessingDevice(deviceID))
                    continue;
                const std::optional<QString> error = folderListingError(QFile::encodeName(path));
                if (!error) {
                    logLine(QStringLiteral("文件系统实际访问验证成功!"));
                    granted = true;
                    break;
                }
                logLine(QStringLiteral("访问验证失败，尝试重新获取权限: ") + *error);
                if (attempt < 3)
                    std::this_thread::sleep_for(500ms);
            }
            if (!granted) {
                logLine(QStringLiteral("常规访问失败，尝试强制刷新权限..."));
                granted = devices.forceRefreshDeviceAccess(deviceID);
            }
            if (!granted)
                return Answer{AuthorizationEnd::notGranted, true, std::nullopt};
            return Answer{AuthorizationEnd::granted, true, devices.updateDeviceAccessibility(deviceID, true)};
        },
        [this, device, completion](const Answer &answer) {
            if (!answer.onDevice) {
                set(m_isAuthorizing, false);
                showAuthorizationFailedAlert();
                if (completion)
                    completion(false);
            } else if (answer.end == AuthorizationEnd::setupFailed) {
                finishAuthorization(device, completion, AuthorizationEject::failure);
            } else {
                applyAuthorizationResult(answer.end == AuthorizationEnd::granted, answer.record, device, completion);
            }
        },
        this);
}

void ContentView::showAuthorizationFailedAlert()
{
    showMessageAlert(localized(QStringLiteral("authorization_failed")),
                     localized(QStringLiteral("authorization_failed_message")));
}

void ContentView::applyAuthorizationResult(bool granted, const std::optional<LocalUSBDevice> &record,
                                           const LocalUSBDevice &device, AuthorizationCompletion completion)
{
    set(m_isAuthorizing, false);
    if (!granted) {
        logLine(QStringLiteral("安全书签访问失败"));
        showAuthorizationFailedAlert();
        if (completion)
            completion(false);
        return;
    }
    logLine(QStringLiteral("安全书签访问成功"));
    if (!record) {
        logLine(QStringLiteral("设备可访问性状态更新失败"));
        if (completion)
            completion(false);
        return;
    }
    logLine(QStringLiteral("设备可访问性: ") + boolText(record->isAccessible));
    if (!record->isAccessible) {
        // A grant that still cannot read the device is no grant: reporting
        // success here would let the scan read nothing and call the device clean.
        showAuthorizationFailedAlert();
        if (completion)
            completion(false);
        return;
    }
    setSelectedDevice(record);
    m_devices.refreshDevices();
    m_center.post(USBDeviceManager::deviceAccessibilityChanged, device.id);
    logLine(QStringLiteral("授权成功，显示成功提示并开始弹出设备..."));
    showAuthorizationSuccessAndEject(*record);
    if (completion)
        completion(true);
}

void ContentView::finishAuthorization(const LocalUSBDevice &device, AuthorizationCompletion completion,
                                      AuthorizationEject kind)
{
    set(m_isAuthorizing, false);
    if (kind == AuthorizationEject::cancel)
        showAuthorizationCancelledAndEject(device);
    else
        showAuthorizationFailedAndEject(device);
    if (completion)
        completion(false);
}

void ContentView::showAuthorizationSuccessAndEject(const LocalUSBDevice &device)
{
    showMessageAlert(localized(QStringLiteral("authorization_successful")),
                     localized(QStringLiteral("authorization_success_message")));
    m_scheduler.after(2s, [this, device] { ejectAfterAuthorizationSuccess(device); }, this);
}

void ContentView::showAuthorizationFailedAndEject(const LocalUSBDevice &device)
{
    showMessageAlert(localized(QStringLiteral("authorization_setup_failed")),
                     localized(QStringLiteral("authorization_setup_failed_message")));
    m_scheduler.after(3s, [this, device] { ejectAfterAuthorizationFailure(device); }, this);
}

void ContentView::showAuthorizationCancelledAndEject(const LocalUSBDevice &device)
{
    showMessageAlert(localized(QStringLiteral("authorization_cancelled")),
                     localized(QStringLiteral("authorization_cancelled_message")));
    m_scheduler.after(2s, [this, device] { ejectAfterAuthorizationCancel(device); }, this);
}

void ContentView::authorizeButtonAction(const LocalUSBDevice &device)
{
    requestDeviceAuthorization(device, [this, device](bool granted) { handleAuthorizationResult(granted, device); });
}

void ContentView::handleAuthorizationResult(bool granted, const LocalUSBDevice &device)
{
    logLine(QStringLiteral("设备授权结果: ") + (granted ? QStringLiteral("成功") : QStringLiteral("失败")));
    if (!granted)
        return;
    flipRefreshToggle();
    m_scheduler.after(500ms, [this, device] { refreshAuthorizedDevice(device); }, this);
}

void ContentView::refreshAuthorizedDevice(const LocalUSBDevice &device)
{
    const std::optional<LocalUSBDevice> record = m_devices.currentDevice(device);
    if (!record)
        return;
    logLine(QStringLiteral("授权后设备状态: ") + record->name + QStringLiteral(", 可访问: ")
            + boolText(record->isAccessible));
    setSelectedDevice(record);
    flipRefreshToggle();
}
