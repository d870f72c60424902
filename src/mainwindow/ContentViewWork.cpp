// One scan or clean per device at a time, and a window that waits for the
// work under way before it closes.
#include "mainwindow/ContentView.h"

#include "history/HistoryStore.h"
#include "localization/Localization.h"
#include "mainwindow/DeviceService.h"
#include "mainwindow/FailureReasons.h"
#include "platform/DialogPresenter.h"
#include "platform/Log.h"
#include "platform/Preferences.h"

#include <utility>

namespace {

// The answers of the question before quitting (DialogPresenter: 1000 for the first button).
constexpr int kTryAgain = 1000;
constexpr int kQuitAnyway = 1001;

} // namespace

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
        closeOnceStored();
    }, this);
}

bool ContentView::prepareToClose()
{
    if (std::exchange(m_mayClose, false))
        return true;
    if (m_isQuitting)
        return false;   // closing already
    if (m_work.isEmpty()) {
        waitForSaves();
        if (!m_preferences.unsavedChanges())
            return true;
        // Not closed from inside the close: the question comes on the next turn.
        m_isQuitting = true;
        emit stateChanged();
        m_scheduler.post([this] { closeOnceStored(); }, this);
        return false;
    }
    logLine(QStringLiteral("窗口关闭前等待正在进行的操作结束: ") + QString::number(m_work.size()));
    m_isQuitting = true;
    // Each stops at its next item; one whose device stopped answering is given up.
    m_devices.stopWork();
    emit stateChanged();
    return false;
}

// Nothing is lost without a word: while the settings' folder does not take
// what is to be stored (read-only, full), the user hears so with the
// folder's state, and may free it and try again, or quit without it.
void ContentView::closeOnceStored()
{
    waitForSaves();
    while (const std::optional<Preferences::WriteFailure> unsaved = m_preferences.unsavedChanges()) {
        logLine(QStringLiteral("退出前无法保存设置: ") + unsaved->description);
        if (!m_dialogs)
            break;
        const bool history = unsaved->keys.contains(HistoryStore::key);
        GuideDialog dialog;
        dialog.title =
            localized(history ? QStringLiteral("history_write_failed_title") : QStringLiteral("preferences_write_failed_title"));
        dialog.message = format(localized(history ? QStringLiteral("history_unsaved_at_quit_message")
                                                  : QStringLiteral("preferences_unsaved_at_quit_message")),
                                unsaved->path)
                         + QStringLiteral("\n\n") + storageFailureText(unsaved->error, unsaved->path)
                         + QStringLiteral("\n\n") + localized(QStringLiteral("unsaved_at_quit_advice"));
        dialog.buttons = {localized(QStringLiteral("retry")), localized(QStringLiteral("quit_anyway"))};
        dialog.style = GuideDialog::Style::warning;
        const int answer = m_dialogs->runModal(dialog);
        if (answer == kTryAgain) {
            waitForSaves();   // written again
            continue;
        }
        if (answer == kQuitAnyway) {
            logLine(QStringLiteral("用户选择不保存而退出"));
            break;
        }
        logLine(QStringLiteral("用户没有选择，窗口不关闭"));
        m_isQuitting = false;
        emit stateChanged();
        return;
    }
    m_mayClose = true;
    emit readyToClose();
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
