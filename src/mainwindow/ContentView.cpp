#include "mainwindow/ContentView.h"

#include "devices/USBDeviceManager.h"
#include "history/HistoryStore.h"
#include "localization/Bidi.h"
#include "localization/LanguageManager.h"
#include "localization/Localization.h"
#include "mainwindow/DeviceService.h"
#include "mainwindow/FailureReasons.h"
#include "platform/Log.h"
#include "platform/Preferences.h"
#include "settings/SettingsStore.h"

#include <QSet>

#include <algorithm>
#include <mutex>
#include <utility>

using namespace std::chrono_literals;

QStringList ContentView::idsOf(const QList<LocalUSBDevice> &devices)
{
    QStringList ids;
    ids.reserve(devices.size());
    for (const LocalUSBDevice &device : devices)
        ids << device.id;
    return ids;
}

QString ContentView::ActiveAlert::rawValue() const
{
    return m_value == message ? QStringLiteral("message") : QStringLiteral("none");
}

std::optional<ContentView::ActiveAlert> ContentView::ActiveAlert::fromRawValue(const QString &raw)
{
    // Only the content an alert can be raised with is constructible by name.
    if (raw == QLatin1String("message"))
        return ActiveAlert(message);
    return std::nullopt;
}

ContentView::ContentView(Services services, QObject *parent)
    : QObject(parent)
    , m_devices(services.devices)
    , m_folderPicker(services.folderPicker)
    , m_scheduler(services.scheduler)
    , m_preferences(services.preferences)
    , m_dialogs(services.dialogs)
    , m_center(services.center)
    , m_languageManager(services.languageManager)
    , m_recheckFullDiskAccess(std::move(services.recheckFullDiskAccess))
    , m_settings(std::make_unique<SettingsStore>(services.preferences))
    , m_historyStore(std::make_unique<HistoryStore>(services.preferences, &services.scheduler))
    , m_selectedFileTypes(FileTypes::allTypes())
{
    // The window's own receivers, for as long as the window lives.
    m_center.addObserver(LanguageManager::languageDidChange, this,
                         [this](const NotificationCenter::Notification &n) { onLanguageDidChange(n); });
    m_center.addObserver(USBDeviceManager::deviceAccessibilityChanged, this,
                         [this](const NotificationCenter::Notification &n) { onDeviceAccessibilityChanged(n); });
    m_center.addObserver(triggerDeviceScan, this,
                         [this](const NotificationCenter::Notification &n) { onMenuBarScanRequest(n); });
    m_center.addObserver(openAppSettings, this,
                         [this](const NotificationCenter::Notification &n) { onOpenSettingsRequest(n); });
    // A new list is looked at at once; a resting poll looks again when the
    // list or the window's state changes.
    m_devices.whenListChanges(this, [this] { deviceListChanged(); });
    connect(this, &ContentView::stateChanged, this, &ContentView::wakeDevicePoll);
    // A preferences file that cannot be written is the user's to know of (once
    // per run of failures, and once more for the history's records); the
    // report comes from the writer's thread.
    m_preferences.setWriteFailureHandler(
        [this, &scheduler = m_scheduler](const Preferences::WriteFailure &failure) {
            scheduler.post([this, failure] { preferencesWriteFailed(failure); }, this);
        },
        {HistoryStore::key});
}

ContentView::~ContentView()
{
    m_preferences.setWriteFailureHandler({});   // waits for a report under way
    stopDeviceMonitoring();
    cancelReadinessTimer();
}

// ---------------------------------------------------------------- state

bool ContentView::promptCleanOnInsert() const
{
    return m_settings->promptCleanOnInsert();
}

bool ContentView::autoEjectAfterClean() const
{
    return m_settings->autoEjectAfterClean();
}

QString ContentView::cleanPromptDeviceName() const
{
    return m_newDeviceForCleaning ? m_newDeviceForCleaning->name : localized(QStringLiteral("new_device"));
}

void ContentView::setShowSettings(bool on) { set(m_showSettings, on); }
void ContentView::setShowHistory(bool on) { set(m_showHistory, on); }
void ContentView::setShowAbout(bool on) { set(m_showAbout, on); }
void ContentView::setSelectedHistoryItem(const std::optional<CleanHistory> &item) { set(m_selectedHistoryItem, item); }
void ContentView::setSelectedFileTypes(const FileTypeSet &types) { set(m_selectedFileTypes, types); }
void ContentView::setCustomExtensions(const QStringList &extensions) { set(m_customExtensions, extensions); }
void ContentView::setExcludedFilePatterns(const QStringList &patterns) { set(m_excludedFilePatterns, patterns); }
void ContentView::setShowCleanDialog(bool on) { set(m_showCleanDialog, on); }

void ContentView::setShowingAlert(bool on)
{
    set(m_showingAlert, on);
    if (!on)
        alertClosed();
}

void ContentView::onStateChanged(QObject *context, std::function<void()> changed)
{
    connect(this, &ContentView::stateChanged, context, std::move(changed));
}

void ContentView::setPromptCleanOnInsert(bool on)
{
    m_settings->setPromptCleanOnInsert(on);
    emit stateChanged();
}

void ContentView::setAutoEjectAfterClean(bool on)
{
    m_settings->setAutoEjectAfterClean(on);
    emit stateChanged();
}

void ContentView::setCleanHistory(const QList<CleanHistory> &history)
{
    // The whole list: what is still on its way in is replaced too.
    m_historyArrival.reset();
    m_historySaveWaiting = false;
    set(m_cleanHistory, history);
    saveCleanHistory();
}

void ContentView::setSelectedDevice(const std::optional<LocalUSBDevice> &device)
{
    const std::optional<QString> before = m_selectedDevice ? std::optional(m_selectedDevice->id) : std::nullopt;
    const std::optional<QString> after = device ? std::optional(device->id) : std::nullopt;
    m_selectedDevice = device;
    if (before != after) {
        // Results belong to the device they were found on, and so does a scan
        // under way: whatever it answers now is no longer this view's.
        m_scanResults.clear();
        m_unreadableFolderCount = 0;
        ++m_scanSequence;
        m_isScanning = false;
    }
    emit stateChanged();
    scheduleChangeHandlers();
}

void ContentView::setShouldShowCleanPrompt(bool value)
{
    set(m_shouldShowCleanPrompt, value);
    scheduleChangeHandlers();
}

// The window reacts to changes of the selection and of the prompt flag the way
// a rendered view does: once, after the turn that made them, with the value it
// finds then.
void ContentView::scheduleChangeHandlers()
{
    if (m_changeHandlersQueued)
        return;
    m_changeHandlersQueued = true;
    m_scheduler.post([this] { runChangeHandlers(); }, this);
}

void ContentView::runChangeHandlers()
{
    m_changeHandlersQueued = false;
    const std::optional<QString> selectedID = m_selectedDevice ? std::optional(m_selectedDevice->id) : std::nullopt;
    const bool selectionChanged = selectedID != m_handledSelectedID;
    const bool promptChanged = m_shouldShowCleanPrompt != m_handledShouldShowCleanPrompt;
    m_handledSelectedID = selectedID;
    m_handledShouldShowCleanPrompt = m_shouldShowCleanPrompt;
    if (selectionChanged)
        onSelectedDeviceChange(m_selectedDevice);
    if (promptChanged)
        onShouldShowCleanPromptChange(m_handledShouldShowCleanPrompt);
}

void ContentView::flipRefreshToggle()
{
    ++m_refreshGeneration;
    set(m_refreshToggle, !m_refreshToggle);
}

// Every alert brings its own title, so none shows the previous one's.
void ContentView::showMessageAlert(const QString &title, const QString &message)
{
    if (m_isQuitting) {
        // The window is closing: no alert holds it up.
        logLine(QStringLiteral("窗口正在关闭，不显示提示: ") + title + QStringLiteral(" - ") + message);
        return;
    }
    m_alertTitle = title;
    m_alertMessage = message;
    m_activeAlert = ActiveAlert::message;
    m_showingAlert = true;
    emit stateChanged();
}

void ContentView::showMessageAlertWhenFree(const QString &title, const QString &message)
{
    if (m_showingAlert)
        m_pendingAlert = std::make_pair(title, message);
    else
        showMessageAlert(title, message);
}

void ContentView::alertClosed()
{
    if (!m_pendingAlert)
        return;
    const auto [title, message] = *m_pendingAlert;
    m_pendingAlert.reset();
    // On the next turn: the closing alert's own follow-ups run first.
    m_scheduler.post([this, title, message] { showMessageAlertWhenFree(title, message); }, this);
}

// The records of the history that were not written stay in the store and
// go out with its next write (a save, or the app's end): the alert says which
// was not written and what keeps the folder from taking it.
void ContentView::preferencesWriteFailed(const Preferences::WriteFailure &failure)
{
    logLine(QStringLiteral("无法保存设置: ") + failure.description);
    const bool history = failure.keys.contains(HistoryStore::key);
    showMessageAlertWhenFree(
        localized(history ? QStringLiteral("history_write_failed_title") : QStringLiteral("preferences_write_failed_title")),
        format(localized(history ? QStringLiteral("history_write_failed_message")
                                 : QStringLiteral("preferences_write_failed_message")),
               failure.path)
            + QStringLiteral("\n\n") + storageFailureText(failure.error, failure.path));
}

// Stored settings or history that could not be read were set aside as they
// were, and the app started without them: the user hears once what was kept
// where.
void ContentView::tellWhatWasSetAside()
{
    QStringList told;
    if (const std::optional<QString> file = m_preferences.takeSetAside())
        told << format(localized(QStringLiteral("preferences_set_aside_message")), bidi::leftToRight(*file));
    // Or it could not be set aside, and nothing is written over it until it can.
    if (const std::optional<Preferences::WriteFailure> kept = m_preferences.takeNotSetAside())
        told << format(localized(QStringLiteral("preferences_not_set_aside_message")), bidi::leftToRight(kept->path),
                       storageFailureText(kept->error, kept->path));
    if (const std::optional<HistoryStore::KeptAside> kept = m_historyStore->takeKeptAside()) {
        const QString key = bidi::leftToRight(kept->key);
        const QString file = bidi::leftToRight(m_preferences.filePath());
        told << (kept->damagedRecords > 0
                     ? format(localized(QStringLiteral("history_records_set_aside_message")), kept->damagedRecords, key, file)
                     : format(localized(QStringLiteral("history_set_aside_message")), key, file));
    }
    if (!told.isEmpty())
        showMessageAlertWhenFree(localized(QStringLiteral("stored_data_set_aside_title")),
                                 told.join(QStringLiteral("\n\n")));
}

bool ContentView::isSelected(const QString &deviceID) const
{
    return m_selectedDevice && m_selectedDevice->id == deviceID;
}

void ContentView::selectIfDifferent(const LocalUSBDevice &device)
{
    if (isSelected(device.id))
        return;
    logLine(QStringLiteral("更新选中设备为: ") + device.name);
    setSelectedDevice(device);
    set(m_userHasSelectedDevice, true);
}

QString ContentView::updateDateLocale()
{
    LanguageManager &languages = m_languageManager ? *m_languageManager : LanguageManager::shared();
    QString code = languages.currentLanguage().rawValue();
    if (code == QLatin1String("system"))
        code = SystemLanguage::currentTableCode().value_or(QStringLiteral("en"));
    m_dateLocale = QLocale(code);
    emit stateChanged();
    return code;
}

// ---------------------------------------------------------------- start-up

void ContentView::onAppearSetup()
{
    logLine(QStringLiteral("应用启动 - '插入USB设备时提示清理'设置为: ") + boolText(promptCleanOnInsert()));
    if (m_preferences.boolean(hasCompletedOnboardingKey) && m_recheckFullDiskAccess)
        m_recheckFullDiskAccess();

    m_lastDetectedDeviceID.clear();
    setShouldShowCleanPrompt(false);
    m_userHasSelectedDevice = false;
    m_newDeviceForCleaning.reset();
    m_lastDeviceIDs.clear();
    emit stateChanged();

    logLine(QStringLiteral("应用视图出现，开始初始化..."));
    loadSelectedFileTypes();
    loadCustomExtensions();
    loadExcludedPatterns();
    loadCleanHistory();   // what was set aside is told once it is in

    const QString localeCode = updateDateLocale();
    logLine(QStringLiteral("初始化日期格式化器区域设置为: ") + localeCode);

    startDeviceMonitoring();

    // One more pair per appearance; they end with the window.
    m_center.addObserver(LanguageManager::languageDidChange, this,
                         [this](const NotificationCenter::Notification &n) { handleLanguageChange(n); });
    m_center.addObserver(USBDeviceManager::deviceAccessibilityChanged, this,
                         [this](const NotificationCenter::Notification &n) { handleDeviceAccessibilityChange(n); });
}

void ContentView::loadSelectedFileTypes()
{
    set(m_selectedFileTypes, m_settings->loadSelectedFileTypes());
}

void ContentView::loadCustomExtensions()
{
    FileTypeSet selected = m_selectedFileTypes;
    if (std::optional<QStringList> stored = m_settings->readCustomExtensions(selected))
        m_customExtensions = *stored;
    m_selectedFileTypes = selected;
    emit stateChanged();
}

void ContentView::loadExcludedPatterns()
{
    set(m_excludedFilePatterns, m_settings->loadExcludedPatterns());
}

void ContentView::settingsSheetDismissed()
{
    m_settings->settingsSheetDismissed(m_selectedFileTypes, m_customExtensions, m_excludedFilePatterns);
    emit stateChanged();
}

// What the background read hands over, and what the list went through meanwhile.
struct ContentView::HistoryArrival
{
    std::mutex mutex;
    bool arrived = false;
    std::optional<QList<CleanHistory>> records;   // guarded by `mutex`
    // Main thread only:
    QList<QUuid> added;     // records added since the read began
    QList<QUuid> deleted;   // records deleted since then (each the first with its id)
};

void ContentView::loadCleanHistory()
{
    auto arrival = std::make_shared<HistoryArrival>();
    m_historyArrival = arrival;
    m_historyStore->readInBackground([this, arrival, &scheduler = m_scheduler](std::optional<QList<CleanHistory>> records) {
        {
            std::lock_guard lock(arrival->mutex);
            arrival->records = std::move(records);
            arrival->arrived = true;
        }
        scheduler.post([this] { takeArrivedHistory(); }, this);
    });
}

void ContentView::takeArrivedHistory()
{
    if (!m_historyArrival)
        return;   // taken already, or the list was replaced meanwhile
    const std::shared_ptr<HistoryArrival> arrival = m_historyArrival;
    std::optional<QList<CleanHistory>> stored;
    {
        std::lock_guard lock(arrival->mutex);
        if (!arrival->arrived)
            return;   // an earlier read's turn; this one's follows
        stored = std::move(arrival->records);
    }
    m_historyArrival.reset();
    if (stored) {
        // As stored, after the records added meanwhile (newer), without those deleted meanwhile.
        for (const QUuid &id : std::as_const(arrival->deleted)) {
            const auto it = std::find_if(stored->cbegin(), stored->cend(),
                                         [&id](const CleanHistory &record) { return record.id == id; });
            if (it != stored->cend())
                stored->removeAt(it - stored->cbegin());
        }
        QList<CleanHistory> history;
        for (const CleanHistory &record : std::as_const(m_cleanHistory)) {
            if (arrival->added.contains(record.id))
                history.append(record);
        }
        history.append(std::move(*stored));
        m_cleanHistory = std::move(history);
        emit stateChanged();
    }
    if (std::exchange(m_historySaveWaiting, false))
        saveCleanHistory();
    tellWhatWasSetAside();
}

void ContentView::saveCleanHistory()
{
    if (m_historyArrival) {
        m_historySaveWaiting = true;
        return;
    }
    m_historyStore->save(m_cleanHistory);
}

void ContentView::addHistoryRecord(const CleanHistory &record)
{
    m_cleanHistory.prepend(record);
    if (m_historyArrival)
        m_historyArrival->added.append(record.id);
    emit stateChanged();
    saveCleanHistory();
}

void ContentView::deleteHistoryRecord(const QUuid &id)
{
    const auto it = std::find_if(m_cleanHistory.cbegin(), m_cleanHistory.cend(),
                                 [&id](const CleanHistory &record) { return record.id == id; });
    if (it == m_cleanHistory.cend())
        return;
    m_cleanHistory.removeAt(it - m_cleanHistory.cbegin());
    if (m_historyArrival && !m_historyArrival->added.removeOne(id))
        m_historyArrival->deleted.append(id);
    if (m_selectedHistoryItem && m_selectedHistoryItem->id == id)
        m_selectedHistoryItem.reset();
    emit stateChanged();
    saveCleanHistory();
}

void ContentView::clearAllHistory()
{
    // All of it, what is still on its way in too.
    m_historyArrival.reset();
    m_historySaveWaiting = false;
    m_cleanHistory.clear();
    m_selectedHistoryItem.reset();
    emit stateChanged();
    saveCleanHistory();
}

void ContentView::toggleHistorySelection(const CleanHistory &record)
{
    if (m_selectedHistoryItem && m_selectedHistoryItem->id == record.id)
        set(m_selectedHistoryItem, std::optional<CleanHistory>());
    else
        set(m_selectedHistoryItem, std::optional(record));
}

void ContentView::startDeviceMonitoring()
{
    logLine(QStringLiteral("开始设备监控..."));
    stopDeviceMonitoring();
    m_devices.refreshDevices();
    const QList<LocalUSBDevice> devices = m_devices.connectedDevices();
    m_lastDeviceCount = int(devices.size());
    m_lastDeviceIDs = idsOf(devices);
    emit stateChanged();
    logLine(QStringLiteral("初始设备数量: ") + QString::number(m_lastDeviceCount) + QLatin1Char(' ')
            + SettingsStore::printedList(m_lastDeviceIDs));
    m_deviceCheckTimer = m_scheduler.every(500ms, [this] { checkDeviceChanges(); }, this);
    logLine(QStringLiteral("设备监控已启动"));
}

void ContentView::stopDeviceMonitoring()
{
    if (m_deviceCheckTimer == 0 && !m_devicePollResting)
        return;
    logLine(QStringLiteral("停止设备监控..."));
    m_scheduler.cancel(m_deviceCheckTimer);
    m_deviceCheckTimer = 0;
    m_devicePollResting = false;
}

bool ContentView::devicePollHasWork(int count) const
{
    return (count == 0 && m_userHasSelectedDevice)
           || (!m_lastDetectedDeviceID.isEmpty() && !isSelected(m_lastDetectedDeviceID) && !m_userHasSelectedDevice
               && m_deviceSelectionRetryCount <= 9);
}

void ContentView::restDevicePoll()
{
    m_scheduler.cancel(m_deviceCheckTimer);
    m_deviceCheckTimer = 0;
    m_devicePollResting = true;
}

void ContentView::deviceListChanged()
{
    if (!isMonitoringDevices())
        return;
    wakeDevicePoll();
    m_scheduler.post([this] {
        if (isMonitoringDevices())
            checkDeviceChanges();
    }, this);
}

void ContentView::wakeDevicePoll()
{
    if (!m_devicePollResting)
        return;
    m_devicePollResting = false;
    m_deviceCheckTimer = m_scheduler.every(500ms, [this] { checkDeviceChanges(); }, this);
}

// ---------------------------------------------------------------- notifications

void ContentView::handleLanguageChange(const NotificationCenter::Notification &)
{
    logLine(QStringLiteral("检测到语言变更"));
    flipRefreshToggle();
    LanguageManager &languages = m_languageManager ? *m_languageManager : LanguageManager::shared();
    logLine(QStringLiteral("当前语言代码: ") + languages.currentLanguage().rawValue());
    updateDateLocale();
}

void ContentView::onLanguageDidChange(const NotificationCenter::Notification &)
{
    flipRefreshToggle();
}

void ContentView::handleDeviceAccessibilityChange(const NotificationCenter::Notification &notification)
{
    if (notification.object.typeId() != QMetaType::QString)
        return;
    const QString id = notification.object.toString();
    logLine(QStringLiteral("收到设备可访问性变更通知，设备ID: ") + id);
    if (!isSelected(id))
        return;
    const std::optional<LocalUSBDevice> record = m_devices.device(id);
    if (!record)
        return;
    logLine(QStringLiteral("更新选中设备的可访问性: ") + boolText(record->isAccessible));
    setSelectedDevice(record);
    flipRefreshToggle();
}

void ContentView::onDeviceAccessibilityChanged(const NotificationCenter::Notification &notification)
{
    logLine(QStringLiteral("收到设备可访问性变更通知"));
    if (notification.object.typeId() != QMetaType::QString)
        return;
    const QString id = notification.object.toString();
    const std::optional<LocalUSBDevice> record = m_devices.device(id);
    if (!record || !isSelected(id))
        return;
    logLine(QStringLiteral("正在更新选中设备的可访问性状态"));
    setSelectedDevice(record);
    if (record->isAccessible) {
        logLine(QStringLiteral("设备现在可访问，刷新UI"));
        flipRefreshToggle();
    }
}

void ContentView::onMenuBarScanRequest(const NotificationCenter::Notification &)
{
    logLine(QStringLiteral("收到菜单栏扫描设备请求"));
    if (m_selectedDevice && m_selectedDevice->isAccessible) {
        logLine(QStringLiteral("开始扫描当前选择的设备: ") + m_selectedDevice->name);
        scanDevice(*m_selectedDevice);
        return;
    }
    const QList<LocalUSBDevice> devices = m_devices.connectedDevices();
    if (devices.isEmpty()) {
        logLine(QStringLiteral("没有可用设备可扫描"));
        return;
    }
    const LocalUSBDevice first = devices.first();
    logLine(QStringLiteral("自动选择第一个设备进行扫描: ") + first.name);
    setSelectedDevice(first);
    scanDevice(first);
}

void ContentView::onOpenSettingsRequest(const NotificationCenter::Notification &)
{
    logLine(QStringLiteral("收到打开应用设置请求"));
    set(m_showSettings, true);
}

// ---------------------------------------------------------------- alert

void ContentView::dismissAlertAndRefresh()
{
    set(m_showingAlert, false);
    dismissMessageAlert([this] { refreshAfterAlert(); });
    alertClosed();
}

void ContentView::dismissMessageAlert(std::function<void()> then)
{
    set(m_activeAlert, ActiveAlert(ActiveAlert::none));
    m_scheduler.after(100ms, std::move(then), this);
}

void ContentView::refreshAfterAlert()
{
    flipRefreshToggle();
    if (!m_selectedDevice)
        return;
    m_devices.refreshDevices();
    const LocalUSBDevice device = *m_selectedDevice;
    m_scheduler.after(200ms, [this, device] { reloadSelectedDeviceAfterAlert(device); }, this);
}

void ContentView::reloadSelectedDeviceAfterAlert(const LocalUSBDevice &device)
{
    const std::optional<LocalUSBDevice> record = m_devices.currentDevice(device);
    // A selection made meanwhile stands.
    if (!record || !isSelected(device.id))
        return;
    setSelectedDevice(record);
    logLine(QStringLiteral("Alert关闭后已刷新设备状态: ") + record->name + QStringLiteral(", 可访问: ")
            + boolText(record->isAccessible));
}

void ContentView::resetCompletionAlert()
{
    set(m_activeAlert, ActiveAlert(ActiveAlert::none));
}

void ContentView::dismissAlert()
{
    m_showingAlert = false;
    m_activeAlert = ActiveAlert::none;
    emit stateChanged();
    alertClosed();
}
