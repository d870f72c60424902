// The window's device poll, the readiness of a device just inserted or
// chosen (and the requests parked until it is ready), and the clean-on-insert
// prompt.
#include "mainwindow/ContentView.h"

#include "devices/USBDeviceManager.h"
#include "localization/Bidi.h"
#include "localization/Localization.h"
#include "mainwindow/DeviceService.h"
#include "platform/Log.h"
#include "settings/SettingsStore.h"

#include <QSet>

#include <algorithm>
#include <utility>

using namespace std::chrono_literals;

// ---------------------------------------------------------------- device poll

void ContentView::checkDeviceChanges()
{
    // Only a look at the published list: the device side enumerates by itself
    // when its monitor sees a change, and on its fallback refresh.
    const QList<LocalUSBDevice> devices = m_devices.connectedDevices();
    const int count = int(devices.size());
    const QStringList ids = idsOf(devices);
    followListedSizes(devices);
    // Only a change is published: with no device this poll would otherwise
    // redraw the window twice a second.
    if (count == 0 && m_userHasSelectedDevice)
        set(m_userHasSelectedDevice, false);

    if (ids == m_lastDeviceIDs
        || QSet<QString>(ids.cbegin(), ids.cend()) == QSet<QString>(m_lastDeviceIDs.cbegin(), m_lastDeviceIDs.cend())) {
        if (!m_lastDetectedDeviceID.isEmpty() && !isSelected(m_lastDetectedDeviceID) && !m_userHasSelectedDevice
            && m_deviceSelectionRetryCount <= 9) {
            selectPendingDevice();
            set(m_deviceSelectionRetryCount, m_deviceSelectionRetryCount + 1);
        }
        // Nothing left that a look could act on: no timer wakes the process
        // until the list or the window's state changes.
        if (!devicePollHasWork(count))
            restDevicePoll();
        return;
    }

    logLine(QStringLiteral("设备列表变化: 之前 ") + SettingsStore::printedList(m_lastDeviceIDs)
            + QStringLiteral(", 现在 ") + SettingsStore::printedList(ids));
    const QStringList previousIDs = m_lastDeviceIDs;
    if (count > m_lastDeviceCount) {
        logLine(QStringLiteral("检测到设备插入"));
        handleNewDevice(devices, previousIDs);
        set(m_deviceReady, false);
        startReadinessTimer(ReadinessKind::inserted);
    } else if (count < m_lastDeviceCount) {
        logLine(QStringLiteral("检测到设备移除"));
        handleDeviceRemoval();
        cancelReadinessTimer();
        set(m_deviceReady, false);
        // Requests parked for another device would otherwise wait for ever.
        keepParkedRequestsWaking();
    } else {
        logLine(QStringLiteral("设备被替换：数量相同但ID不同"));
        handleDeviceRemoval();
        handleNewDevice(devices, previousIDs);
        set(m_deviceReady, false);
        startReadinessTimer(ReadinessKind::replaced);
    }
    m_lastDeviceCount = count;
    m_lastDeviceIDs = ids;
    emit stateChanged();
}

void ContentView::followListedSizes(const QList<LocalUSBDevice> &devices)
{
    // A clean frees space, and the list reads the volume again: the header
    // shows the figure the sidebar shows, not the one of the selection's moment.
    if (!m_selectedDevice)
        return;
    for (const LocalUSBDevice &listed : devices) {
        if (listed.id != m_selectedDevice->id)
            continue;
        if (listed.capacity == m_selectedDevice->capacity && listed.available == m_selectedDevice->available)
            return;
        m_selectedDevice->capacity = listed.capacity;
        m_selectedDevice->available = listed.available;
        emit stateChanged();
        return;
    }
}

void ContentView::handleNewDevice(const QList<LocalUSBDevice> &devices, const QStringList &previousIDs)
{
    if (devices.isEmpty())
        return;
    // The device that was not there before (the last such in list order); the
    // list's last one only when the ids alone show no newcomer.
    LocalUSBDevice device = devices.last();
    for (auto it = devices.crbegin(); it != devices.crend(); ++it) {
        if (!previousIDs.contains(it->id)) {
            device = *it;
            break;
        }
    }
    logLine(QStringLiteral("检测到新设备: ") + device.name + QStringLiteral(", ID: ") + device.id);
    m_lastDetectedDeviceID = device.id;
    m_deviceSelectionRetryCount = 0;
    m_deviceNotificationMessage = format(localized(QStringLiteral("device_inserted")), bidi::name(device.name));
    m_deviceNotificationIsInsertion = true;
    m_showDeviceNotification = true;
    emit stateChanged();
    m_scheduler.post([this, device] { autoSelectNewDevice(device); }, this);
}

void ContentView::autoSelectNewDevice(const LocalUSBDevice &device)
{
    if (!m_userHasSelectedDevice && !isSelected(device.id)) {
        logLine(QStringLiteral("自动选中新设备: ") + device.name);
        setSelectedDevice(device);
    }
    m_scheduler.after(3s, [this] { hideDeviceNotification(); }, this);
    if (device.isAccessible) {
        if (promptCleanOnInsert()) {
            logLine(QStringLiteral("已启用'插入USB设备时提示清理'选项，准备显示清理提示"));
            set(m_newDeviceForCleaning, std::optional(device));
            setShouldShowCleanPrompt(true);
            selectPendingDevice();
        }
    } else {
        logLine(QStringLiteral("设备 ") + device.name + QStringLiteral(" 无访问权限，不再自动请求授权"));
        setShouldShowCleanPrompt(false);
    }
}

void ContentView::selectPendingDevice()
{
    if (m_userHasSelectedDevice || m_lastDetectedDeviceID.isEmpty())
        return;
    const std::optional<LocalUSBDevice> device = m_devices.device(m_lastDetectedDeviceID);
    if (!device || isSelected(device->id))
        return;
    logLine(QStringLiteral("确保设备 ") + device->name + QStringLiteral(" 被选中 (尝试 ")
            + QString::number(m_deviceSelectionRetryCount + 1) + QStringLiteral(")"));
    setSelectedDevice(device);
    if (device->isAccessible) {
        if (m_shouldShowCleanPrompt && promptCleanOnInsert()) {
            logLine(QStringLiteral("设备已选中且有访问权限，现在显示清理提示..."));
            m_scheduler.after(200ms, [this] { showCleanPromptIfNeeded(); }, this);
        }
    } else {
        setShouldShowCleanPrompt(false);
    }
}

void ContentView::handleDeviceRemoval()
{
    logLine(QStringLiteral("执行设备移除处理..."));
    m_deviceNotificationMessage = localized(QStringLiteral("device_ejected"));
    m_deviceNotificationIsInsertion = false;
    m_showDeviceNotification = true;
    emit stateChanged();
    if (m_selectedDevice && !m_devices.device(m_selectedDevice->id)) {
        setSelectedDevice(std::nullopt);
        logLine(QStringLiteral("清除选中的设备"));
    }
    m_userHasSelectedDevice = false;
    m_lastDetectedDeviceID.clear();
    setShouldShowCleanPrompt(false);
    m_newDeviceForCleaning.reset();
    m_deviceSelectionRetryCount = 0;
    emit stateChanged();
    logLine(QStringLiteral("已重置所有设备检测状态"));
    m_scheduler.after(3s, [this] { hideDeviceNotification(); }, this);
}

void ContentView::hideDeviceNotification()
{
    set(m_showDeviceNotification, false);
}

void ContentView::refreshDeviceState()
{
    if (!m_selectedDevice)
        return;
    const LocalUSBDevice device = *m_selectedDevice;
    logLine(QStringLiteral("手动刷新设备状态: ") + device.name);
    m_devices.refreshDevices();
    m_scheduler.after(200ms, [this, device] {
        const std::optional<LocalUSBDevice> record = m_devices.currentDevice(device);
        // A selection made meanwhile stands.
        if (!record || !isSelected(device.id))
            return;
        setSelectedDevice(record);
        logLine(QStringLiteral("已手动刷新设备状态: ") + record->name + QStringLiteral(", 可访问: ")
                + boolText(record->isAccessible));
        flipRefreshToggle();
    }, this);
}

// ---------------------------------------------------------------- readiness

void ContentView::selectDevice(const LocalUSBDevice &device)
{
    logLine(QStringLiteral("用户选择设备: ") + device.name);
    if (isSelected(device.id)) {
        logLine(QStringLiteral("设备已选中，不执行操作"));
        return;
    }
    setSelectedDevice(device);
    set(m_deviceReady, false);
    startReadinessTimer(ReadinessKind::selected);
    m_scanResults.clear();
    m_userHasSelectedDevice = true;
    emit stateChanged();
    m_devices.refreshDevices();
}

void ContentView::startReadinessTimer(ReadinessKind kind)
{
    cancelReadinessTimer();
    switch (kind) {
    case ReadinessKind::inserted:
        m_deviceReadyTimer = m_scheduler.after(5s, [this] {
            deviceReadyTimerFired([this] { markInsertedDeviceReady(); });
        }, this);
        break;
    case ReadinessKind::replaced:
        m_deviceReadyTimer = m_scheduler.after(5s, [this] {
            deviceReadyTimerFired([this] { markDeviceReady(); });
        }, this);
        break;
    case ReadinessKind::selected:
        m_deviceReadyTimer = m_scheduler.after(3s, [this] { manualSelectionReadyTimerFired(); }, this);
        break;
    }
    emit stateChanged();
}

void ContentView::keepParkedRequestsWaking()
{
    if (m_parkedRequests == 0 || m_deviceReadyTimer != 0)
        return;
    logLine(QStringLiteral("有等待中的请求，3秒后标记设备为准备就绪"));
    startReadinessTimer(ReadinessKind::selected);
}

void ContentView::cancelReadinessTimer()
{
    if (m_deviceReadyTimer == 0)
        return;
    m_scheduler.cancel(m_deviceReadyTimer);
    m_deviceReadyTimer = 0;
}

void ContentView::deviceReadyTimerFired(std::function<void()> work)
{
    m_deviceReadyTimer = 0;
    logLine(QStringLiteral("设备准备就绪计时器触发，标记设备为准备就绪状态"));
    m_scheduler.post(std::move(work), this);
}

void ContentView::manualSelectionReadyTimerFired()
{
    m_deviceReadyTimer = 0;
    logLine(QStringLiteral("手动选择设备准备就绪计时器触发，标记设备为准备就绪状态"));
    m_scheduler.post([this] { markDeviceReady(); }, this);
}

void ContentView::markInsertedDeviceReady()
{
    set(m_deviceReady, true);
    if (m_shouldShowCleanPrompt) {
        set(m_showCleanDialog, true);
        setShouldShowCleanPrompt(false);
    }
}

void ContentView::markDeviceReady()
{
    set(m_deviceReady, true);
}

void ContentView::parkUntilReady(const QString &resumeLine, std::function<void()> resume)
{
    // Without a pending readiness timer nothing would ever set the flag (a device
    // listed before the window appeared, or one whose timer a removal stopped).
    if (m_deviceReadyTimer == 0) {
        logLine(QStringLiteral("没有等待中的就绪计时器，3秒后标记设备为准备就绪"));
        startReadinessTimer(ReadinessKind::selected);
    }
    auto timer = std::make_shared<Scheduler::TimerId>(0);
    ++m_parkedRequests;
    *timer = m_scheduler.every(500ms, [this, timer, resumeLine, resume = std::move(resume)] {
        if (!m_deviceReady)
            return;
        logLine(resumeLine);
        m_scheduler.cancel(*timer);
        --m_parkedRequests;
        resume();
    }, this);
}

void ContentView::parkDeviceRequest(const QString &resumeLine, const LocalUSBDevice &device,
                                    std::function<void(const LocalUSBDevice &)> resume, std::function<void()> dropped)
{
    parkUntilReady(resumeLine, [this, device, resume = std::move(resume), dropped = std::move(dropped)] {
        // The record may have changed while the request waited, or the device may be gone.
        const std::optional<LocalUSBDevice> current = m_devices.currentDevice(device);
        if (!current) {
            logLine(QStringLiteral("设备已不在列表中，放弃等待中的请求: ") + device.name);
            if (dropped)
                dropped();
            return;
        }
        resume(*current);
    });
}

// ---------------------------------------------------------------- clean-on-insert prompt

void ContentView::onShouldShowCleanPromptChange(bool value)
{
    if (!value)
        return;
    logLine(QStringLiteral("需要显示清理提示，正在准备弹出..."));
    showCleanPromptIfNeeded();
}

void ContentView::onSelectedDeviceChange(const std::optional<LocalUSBDevice> &device)
{
    if (!device)
        return;
    logLine(QStringLiteral("设备选择已更新: ") + device->name);
    if (device->id == m_lastDetectedDeviceID && m_shouldShowCleanPrompt) {
        logLine(QStringLiteral("新设备已被选中，现在可以显示清理提示"));
        showCleanPromptIfNeeded();
    }
}

void ContentView::showCleanPromptIfNeeded()
{
    if (!promptCleanOnInsert()) {
        logLine(QStringLiteral("未启用'插入USB设备时提示清理'选项，不显示提示"));
        return;
    }
    if (!m_newDeviceForCleaning) {
        logLine(QStringLiteral("没有要清理的新设备，不显示提示"));
        return;
    }
    if (!m_shouldShowCleanPrompt) {
        logLine(QStringLiteral("shouldShowCleanPrompt 为 false，不显示提示"));
        return;
    }
    if (!m_newDeviceForCleaning->isAccessible) {
        logLine(QStringLiteral("设备 ") + m_newDeviceForCleaning->name + QStringLiteral(" 没有访问权限，不显示清理提示"));
        setShouldShowCleanPrompt(false);
        return;
    }
    logLine(QStringLiteral("正在显示设备清理提示... 设备: ") + m_newDeviceForCleaning->name);
    m_scheduler.post([this] { presentCleanDialog(); }, this);
}

void ContentView::presentCleanDialog()
{
    if (m_showCleanDialog) {
        logLine(QStringLiteral("警告：清理对话框已经在显示中，不再重复显示"));
        return;
    }
    set(m_showCleanDialog, true);
    logLine(QStringLiteral("已弹出清理提示对话框"));
    setShouldShowCleanPrompt(false);
}

void ContentView::withNewDevice(const std::function<void(const LocalUSBDevice &)> &action)
{
    if (m_newDeviceForCleaning)
        action(*m_newDeviceForCleaning);
}

void ContentView::cleanPromptScan()
{
    withNewDevice([this](const LocalUSBDevice &device) { scanDevice(device); });
}

void ContentView::cleanPromptClean()
{
    withNewDevice([this](const LocalUSBDevice &device) { quickCleanDevice(device); });
}

void ContentView::cleanPromptIgnore() {}

void ContentView::onCleanPromptDismiss()
{
    logLine(QStringLiteral("清理提示对话框关闭，重置状态"));
    m_newDeviceForCleaning.reset();
    m_showCleanDialog = false;
    // An alert the chosen action raised keeps its content.
    if (!m_showingAlert)
        m_activeAlert = ActiveAlert::none;
    emit stateChanged();
    setShouldShowCleanPrompt(false);
    m_scheduler.after(500ms, [] { logLine(QStringLiteral("延迟检查设备状态")); }, this);
}
