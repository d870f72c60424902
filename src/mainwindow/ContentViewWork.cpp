// One scan or clean per device at a time, and a window that waits for the
// work under way before it closes.
#include "mainwindow/ContentView.h"

#include "history/HistoryStore.h"
#include "mainwindow/DeviceService.h"
#include "platform/Log.h"
#include "platform/Preferences.h"

bool ContentView::isCleaning() const
{
    if (!m_selectedDevice)
        return false;
    const auto it = m_work.constFind(m_selectedDevice->id);
    return it != m_work.cend() && it->kind == WorkKind::clean;
}

double ContentView::cleanProgress() const
{
    return isCleaning() ? m_work.value(m_selectedDevice->id).progress : -1;
}

bool ContentView::canStartWork() const
{
    return m_selectedDevice && !isBusy(m_selectedDevice->id) && !m_isQuitting;
}

bool ContentView::refuseWhileBusy(const QString &deviceID, const QString &what)
{
    if (m_isQuitting) {
        logLine(QStringLiteral("应用正在退出，不再开始新的") + what);
        return true;
    }
    if (!isBusy(deviceID))
        return false;
    logLine(QStringLiteral("设备上已有操作在进行，忽略新的") + what + QStringLiteral("请求: ") + deviceID);
    return true;
}

void ContentView::beginWork(const QString &deviceID, WorkKind kind)
{
    m_work.insert(deviceID, DeviceWork{kind, -1});
    emit stateChanged();
}

void ContentView::setWorkProgress(const QString &deviceID, double share)
{
    const auto it = m_work.find(deviceID);
    if (it == m_work.end() || it->progress == share)
        return;
    it->progress = share;
    emit stateChanged();
}

void ContentView::endWork(const QString &deviceID)
{
    m_work.remove(deviceID);
    emit stateChanged();
    if (!m_isQuitting)
        return;
    // After what the ending work queued (its record and its save).
    m_scheduler.post([this] {
        if (!m_isQuitting || !m_work.isEmpty())
            return;
        logLine(QStringLiteral("所有操作已结束，窗口可以关闭"));
        waitForSaves();
        emit readyToClose();
    }, this);
}

bool ContentView::prepareToClose()
{
    if (m_work.isEmpty())
        return true;
    logLine(QStringLiteral("窗口关闭前等待正在进行的操作结束: ") + QString::number(m_work.size()));
    m_isQuitting = true;
    // Each stops at its next item; one whose device stopped answering is given up.
    m_devices.stopWork();
    emit stateChanged();
    return false;
}

void ContentView::waitForSaves()
{
    // A history still being read is taken in first, so that the records
    // added meanwhile are stored together with it.
    m_historyStore->waitForSaves();
    takeArrivedHistory();
    m_historyStore->waitForSaves();
    m_preferences.flush();
}
