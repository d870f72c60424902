#pragma once

#include "cleaning/FileType.h"
#include "cleaning/ScanOutcome.h"
#include "devices/LocalUSBDevice.h"
#include "history/CleanHistory.h"
#include "mainwindow/SheetModels.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/Scheduler.h"

#include <QHash>
#include <QList>
#include <QLocale>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <functional>
#include <memory>
#include <optional>

class DeviceService;
class DialogPresenter;
class FolderPicker;
class HistoryStore;
class LanguageManager;
class Preferences;
class SettingsStore;

// The main window's state and workflows: start-up, the device poll and
// automatic selection, readiness and parked requests, the clean-on-insert
// prompt, scan, clean, quick clean, eject and access authorization. The
// widgets render this state and call these operations; nothing here draws.
//
// Main thread only. Every delay and timer goes through the Scheduler with this
// object as context, so pending work ends with the window.
class ContentView : public QObject, public SettingsChoices, public HistoryBrowser, public AboutPresence
{
    Q_OBJECT
public:
    static inline const QString triggerDeviceScan = QStringLiteral("triggerDeviceScan");
    static inline const QString openAppSettings = QStringLiteral("OpenAppSettings");
    static inline const QString hasCompletedOnboardingKey = QStringLiteral("hasCompletedOnboarding");

    // The sheets' view of the state's changes (SheetModels.h): stateChanged().
    void onStateChanged(QObject *context, std::function<void()> changed) override;

    // The content of the window's single alert.
    class ActiveAlert
    {
    public:
        enum Value { none, message };
        constexpr ActiveAlert(Value value = none) : m_value(value) {}   // NOLINT: implicit on purpose
        constexpr operator Value() const { return m_value; }           // NOLINT
        QString rawValue() const;
        static std::optional<ActiveAlert> fromRawValue(const QString &raw);

    private:
        Value m_value;
    };

    struct Services
    {
        DeviceService &devices;
        FolderPicker &folderPicker;
        Scheduler &scheduler;
        Preferences &preferences;
        NotificationCenter &center;
        LanguageManager *languageManager = nullptr;        // nullptr: LanguageManager::shared()
        std::function<void()> recheckFullDiskAccess;       // PermissionManager::checkPermissionStatus
        // Where the window asks, before it closes, whether to quit with
        // records or settings the folder did not take (nullptr: it closes, logged).
        DialogPresenter *dialogs = nullptr;
    };

    explicit ContentView(Services services, QObject *parent = nullptr);
    ~ContentView() override;

    // ---- State ----
    const std::optional<LocalUSBDevice> &selectedDevice() const { return m_selectedDevice; }
    const ScanResult &scanResults() const { return m_scanResults; }
    qint64 totalJunkSize() const { return m_totalJunkSize; }
    qint64 cleanedFileCount() const { return m_cleanedFileCount; }
    // The files the last clean of the selected device could not remove, and
    // the reason most of them stayed for (FileItem::failure; 0: not known).
    qint64 failedFileCount() const { return m_failedFileCount; }
    int failureReason() const { return m_failureReason; }
    // Folders the last scan of the selected device could not read.
    qint64 unreadableFolderCount() const { return m_unreadableFolderCount; }
    bool isScanning() const { return m_isScanning; }
    bool showSettings() const { return m_showSettings; }
    double scanProgress() const { return m_scanProgress; }
    const FileTypeSet &selectedFileTypes() const override { return m_selectedFileTypes; }
    const QStringList &excludedFilePatterns() const override { return m_excludedFilePatterns; }
    bool deviceReady() const { return m_deviceReady; }
    bool hasDeviceReadyTimer() const { return m_deviceReadyTimer != 0; }
    const QList<CleanHistory> &cleanHistory() const override { return m_cleanHistory; }
    bool showHistory() const override { return m_showHistory; }
    const std::optional<CleanHistory> &selectedHistoryItem() const override { return m_selectedHistoryItem; }
    const QStringList &customExtensions() const override { return m_customExtensions; }
    bool userHasSelectedDevice() const { return m_userHasSelectedDevice; }
    bool showingAlert() const { return m_showingAlert; }
    const QString &alertTitle() const { return m_alertTitle; }
    const QString &alertMessage() const { return m_alertMessage; }
    const QString &completionMessage() const { return m_completionMessage; }
    ActiveAlert activeAlert() const { return m_activeAlert; }
    bool showDeviceNotification() const { return m_showDeviceNotification; }
    const QString &deviceNotificationMessage() const { return m_deviceNotificationMessage; }
    // Whether the banner announces an insertion (it chooses the banner's symbol).
    bool deviceNotificationIsInsertion() const { return m_deviceNotificationIsInsertion; }
    int lastDeviceCount() const { return m_lastDeviceCount; }
    const QStringList &lastDeviceIDs() const { return m_lastDeviceIDs; }
    const std::optional<LocalUSBDevice> &newDeviceForCleaning() const { return m_newDeviceForCleaning; }
    const QString &lastDetectedDeviceID() const { return m_lastDetectedDeviceID; }
    bool shouldShowCleanPrompt() const { return m_shouldShowCleanPrompt; }
    bool isMonitoringDevices() const { return m_deviceCheckTimer != 0 || m_devicePollResting; }
    // The poll is monitoring but rests: its next look could act on nothing
    // until the list or the window's state changes.
    bool isDevicePollResting() const { return m_devicePollResting; }
    int deviceSelectionRetryCount() const { return m_deviceSelectionRetryCount; }
    bool promptCleanOnInsert() const override;
    bool autoEjectAfterClean() const override;
    bool isEjecting() const { return m_isEjecting; }
    bool refreshToggle() const { return m_refreshToggle; }
    // Counts the flips of refreshToggle: two flips in a row leave the flag as
    // it was, but a view that saw either must still be built afresh.
    quint64 refreshGeneration() const override { return m_refreshGeneration; }
    // The device of the eject that runs now (or ran last).
    const QString &ejectingDeviceName() const { return m_ejectingDeviceName; }
    bool showAbout() const override { return m_showAbout; }
    bool showCleanDialog() const { return m_showCleanDialog; }
    bool isAuthorizing() const { return m_isAuthorizing; }
    const QLocale &dateFormatterLocale() const override { return m_dateLocale; }
    // The clean-on-insert sheet's device name.
    QString cleanPromptDeviceName() const;

    // ---- Work on devices: one scan or clean per device at a time ----
    // Does a scan or clean the window started still run on the device?
    bool isBusy(const QString &deviceID) const { return m_work.contains(deviceID); }
    // The selected device is being cleaned (a clean, or a quick clean's deletion).
    bool isCleaning() const;
    // That clean's share done (0 to 1), or -1 while it is not known.
    double cleanProgress() const;
    // Can a scan or clean of the selected device start now? (The controls
    // that would start one are enabled only then.)
    bool canStartWork() const;
    // The window was asked to close while work ran (it waits for that work),
    // or while the settings' folder did not take what is to be stored.
    bool isQuitting() const { return m_isQuitting; }
    // The window is asked to close: true when it may close now, with every
    // record and setting stored. Otherwise every scan and clean stops at its
    // next item (one whose device stopped answering is given up within the
    // time limit), the window says it is finishing, and their records are
    // stored; what the folder does not take (read-only, full) the user is
    // asked about (Try Again, Quit Anyway; a dialog closed without either
    // keeps the window). readyToClose() follows once all is stored or the
    // user chose to quit without it.
    bool prepareToClose();
    // Blocks until the history's saves and the preferences are written.
    void waitForSaves();

    // ---- Written by the views and sheets ----
    void setShowSettings(bool on);
    void setShowHistory(bool on) override;
    void setShowAbout(bool on) override;
    void setSelectedHistoryItem(const std::optional<CleanHistory> &item);
    void setSelectedFileTypes(const FileTypeSet &types) override;
    void setCustomExtensions(const QStringList &extensions) override;
    void setExcludedFilePatterns(const QStringList &patterns) override;
    void setPromptCleanOnInsert(bool on) override;
    void setAutoEjectAfterClean(bool on) override;
    void setCleanHistory(const QList<CleanHistory> &history);   // stores it too
    void setShowCleanDialog(bool on);
    void setShowingAlert(bool on);      // the alert was closed by the user or the window

    // ---- Start-up and notifications ----
    void onAppearSetup();
    void startDeviceMonitoring();
    void stopDeviceMonitoring();
    void loadSelectedFileTypes();
    void loadCustomExtensions();
    void loadExcludedPatterns();
    // Reads the stored history in the background: a long one never holds the
    // window back. It is filled in when it arrives, after the records added
    // meanwhile; until then saves wait for it (they would write over it).
    void loadCleanHistory();
    // True from loadCleanHistory() until the stored history is in.
    bool isLoadingHistory() const { return m_historyArrival != nullptr; }
    void saveCleanHistory();
    // A clean's record, newest first, stored with the list.
    void addHistoryRecord(const CleanHistory &record);
    // Removes the first record with this id and stores the list; an unknown id
    // changes and writes nothing. The history window's selection goes with it.
    void deleteHistoryRecord(const QUuid &id) override;
    // Stores the empty list (the key stays) and clears the window's selection.
    void clearAllHistory() override;
    // A tap on a history row: selects its record, or clears the selection when
    // that record is the one selected.
    void toggleHistorySelection(const CleanHistory &record) override;
    void handleLanguageChange(const NotificationCenter::Notification &notification);
    void handleDeviceAccessibilityChange(const NotificationCenter::Notification &notification);
    void onLanguageDidChange(const NotificationCenter::Notification &notification);
    void onDeviceAccessibilityChanged(const NotificationCenter::Notification &notification);
    void onMenuBarScanRequest(const NotificationCenter::Notification &notification);
    void onOpenSettingsRequest(const NotificationCenter::Notification &notification);

    // ---- Settings sheet ----
    // The sheet's dismissal, however it closed (Done, Escape, the window's
    // close): stores the custom extensions, the selected kinds and the
    // excluded patterns, dropping the custom kind when it has no extension.
    void settingsSheetDismissed();

    // ---- Device poll and selection ----
    void checkDeviceChanges();
    void selectPendingDevice();
    void handleDeviceRemoval();
    void hideDeviceNotification();
    void refreshDeviceState();           // the header's refresh, for the selected device
    void selectDevice(const LocalUSBDevice &device);   // a tap in the sidebar

    // ---- Readiness ----
    void markInsertedDeviceReady();
    void markDeviceReady();

    // ---- Clean-on-insert prompt ----
    void onShouldShowCleanPromptChange(bool value);
    void onSelectedDeviceChange(const std::optional<LocalUSBDevice> &device);
    void showCleanPromptIfNeeded();
    void presentCleanDialog();
    void withNewDevice(const std::function<void(const LocalUSBDevice &)> &action);
    void cleanPromptScan();
    void cleanPromptClean();
    void cleanPromptIgnore();
    void onCleanPromptDismiss();

    // ---- Scan ----
    void scanButtonAction();
    void rescanAction();
    void scanDevice(const LocalUSBDevice &device);
    void scanSelectedDevice(const LocalUSBDevice &device);
    void handleScanAuthorizationResult(bool granted, const LocalUSBDevice &device);
    void performScan(const LocalUSBDevice &device);
    void showDeviceDisconnectedAlert();
    void showAccessDeniedAlert();

    // ---- Alert ----
    void dismissAlertAndRefresh();       // the OK button of the message alert
    void dismissMessageAlert(std::function<void()> then);
    void refreshAfterAlert();
    void reloadSelectedDeviceAfterAlert(const LocalUSBDevice &device);
    void resetCompletionAlert();
    void dismissAlert();

    // ---- Clean and quick clean ----
    void cleanButtonTapped();
    void startCleaning();
    void performCleaning();
    bool isFileTypeSelected(FileType type) const;
    void quickCleanDevice(const LocalUSBDevice &device);
    void prepareQuickClean(const LocalUSBDevice &device);
    void handleQuickCleanAuthorizationResult(bool granted);
    void performQuickClean(const LocalUSBDevice &device);
    void resetScanState();
    static std::optional<FileType> fileType(const FileItem &file, const ScanResult &in);

    // ---- Eject ----
    void ejectSelectedDevice();
    void ejectAfterAuthorizationSuccess(const LocalUSBDevice &device);
    void ejectAfterAuthorizationFailure(const LocalUSBDevice &device);
    void ejectAfterAuthorizationCancel(const LocalUSBDevice &device);

    // ---- Authorization ----
    using AuthorizationCompletion = std::function<void(bool granted)>;
    void requestDeviceAuthorization(const LocalUSBDevice &device, AuthorizationCompletion completion);
    void authorizeButtonAction(const LocalUSBDevice &device);
    void handleAuthorizationResult(bool granted, const LocalUSBDevice &device);
    void refreshAuthorizedDevice(const LocalUSBDevice &device);

signals:
    // Any state field changed.
    void stateChanged();
    // The work the window waited for before closing has ended (prepareToClose).
    void readyToClose();

private:
    static QStringList idsOf(const QList<LocalUSBDevice> &devices);
    enum class ReadinessKind { inserted, replaced, selected };
    enum class AuthorizationEnd { granted, notGranted, setupFailed };
    enum class AuthorizationEject { success, failure, cancel };
    enum class WorkKind { scan, clean };
    struct DeviceWork
    {
        WorkKind kind = WorkKind::scan;
        double progress = -1;   // a clean's share done, -1 while unknown
    };
    struct CleanRun;
    struct QuickCleanRun;
    struct QuickCleanAccess;

    template <typename T>
    void set(T &field, T value)
    {
        field = std::move(value);
        emit stateChanged();
    }
    void setSelectedDevice(const std::optional<LocalUSBDevice> &device);
    // The device poll rests while a look could act on nothing. A published
    // list is looked at at once, and the poll looks every half second again
    // from then on, or from a change of the window's state, until it rests.
    bool devicePollHasWork(int count) const;
    void restDevicePoll();
    void deviceListChanged();
    void wakeDevicePoll();
    void setShouldShowCleanPrompt(bool value);
    void scheduleChangeHandlers();
    void runChangeHandlers();
    void flipRefreshToggle();
    void showMessageAlert(const QString &title, const QString &message);
    // Shown now when no alert is up, else as soon as the one up is closed.
    void showMessageAlertWhenFree(const QString &title, const QString &message);
    void alertClosed();
    void preferencesWriteFailed(const Preferences::WriteFailure &failure);
    // Settings or history that could not be read and were set aside: told once.
    void tellWhatWasSetAside();
    QString updateDateLocale();   // the language code it used
    bool isSelected(const QString &deviceID) const;
    void selectIfDifferent(const LocalUSBDevice &device);

    // The device poll's new device: an id that was not there before.
    void handleNewDevice(const QList<LocalUSBDevice> &devices, const QStringList &previousIDs);
    // The selected device takes the sizes its record in the list reads now.
    void followListedSizes(const QList<LocalUSBDevice> &devices);
    void autoSelectNewDevice(const LocalUSBDevice &device);

    void startReadinessTimer(ReadinessKind kind);
    // Restarts a readiness timer when requests wait and none is pending.
    void keepParkedRequestsWaking();
    void cancelReadinessTimer();
    void deviceReadyTimerFired(std::function<void()> work);
    void manualSelectionReadyTimerFired();
    // Holds a request until the window's device is ready.
    void parkUntilReady(const QString &resumeLine, std::function<void()> resume);
    void parkDeviceRequest(const QString &resumeLine, const LocalUSBDevice &device,
                           std::function<void(const LocalUSBDevice &)> resume,
                           std::function<void()> dropped = {});

    void reportScanProgress(double value, quint64 scan);
    void setScanProgress(double value);
    bool acceptScanResult(const QString &deviceID, quint64 scan);
    void handleScanCompletion(const ScanOutcome &outcome, const QString &deviceID, quint64 scan);
    // Stores what a scan of the selected device found and says how it ended;
    // false when it found nothing to act on (gone, cut short or empty).
    bool showScanOutcome(const ScanOutcome &outcome);
    void continueQuickClean(const QuickCleanAccess &access, const LocalUSBDevice &device);
    void handleCleanCompletion(const QList<FileItem> &cleaned, const QList<FileItem> &failed, const CleanRun &run);
    void finishCleaning(qint64 freedSpace, const QList<FileItem> &cleanedFiles, const QList<FileItem> &failed,
                        const CleanRun &run);
    void cleanAfterQuickScan(const ScanOutcome &outcome, const LocalUSBDevice &device, quint64 scan);
    void handleQuickCleanCompletion(const QList<FileItem> &cleaned, const QList<FileItem> &failed,
                                    const QuickCleanRun &run);
    void finishQuickClean(const QuickCleanRun &run, const QList<FileItem> &cleaned, const QList<FileItem> &failed);
    // What the selected device's view shows after its clean: the completion
    // view (with the failures) when something went, else the results still
    // there and an alert that says why nothing went.
    void showCleanEnd(const LocalUSBDevice &device, const QList<FileItem> &cleaned, const QList<FileItem> &failed,
                      const ScanResult &scanned);
    // The alert for a clean its device cut short (it stopped answering or
    // went away), or, when the device is no longer listed, for its result.
    void tellCleanCutShort(const LocalUSBDevice &device, const QList<FileItem> &cleaned, const QList<FileItem> &failed);
    // The alert that says how a clean ended, for a device the window no
    // longer shows; nothing removed, it says why.
    void tellCleanResult(const LocalUSBDevice &device, const QList<FileItem> &cleaned, const QList<FileItem> &failed);
    void showNothingRemovedAlert(const LocalUSBDevice &device, const QList<FileItem> &failed);
    void scheduleAutoEject(const QString &deviceID);
    // True (logged, nothing started) when work runs on the device already
    // or the window is closing; `what` names the request in the log.
    bool refuseWhileBusy(const QString &deviceID, const QString &what);
    void beginWork(const QString &deviceID, WorkKind kind);
    void setWorkProgress(const QString &deviceID, double share);
    // The work on the device has ended; a closing window may close once none is left.
    void endWork(const QString &deviceID);
    // The closing window closes once what it stores is written, or the user
    // chose to quit without it (prepareToClose).
    void closeOnceStored();
    static QString summarySentence(qint64 cleanedCount, qint64 freedBytes, qint64 failedCount);

    void ejectTimeoutFired(quint64 eject);
    void handleEjectResult(bool success, const QList<BlockingProcess> &blocking, const QString &reason,
                           const LocalUSBDevice &device, quint64 eject);
    void ejectAfterAuthorization(const LocalUSBDevice &device, AuthorizationEject kind);
    void handleEjectResultAfterAuthorization(bool success, const QList<BlockingProcess> &blocking,
                                             const QString &reason, const LocalUSBDevice &device,
                                             AuthorizationEject kind, quint64 eject);

    void showAuthorizationPanel(const LocalUSBDevice &device, AuthorizationCompletion completion);
    void handleAuthorizationPanelResponse(const std::optional<QString> &folder, const LocalUSBDevice &device,
                                          AuthorizationCompletion completion);
    void applyAuthorizationResult(bool granted, const std::optional<LocalUSBDevice> &record,
                                  const LocalUSBDevice &device, AuthorizationCompletion completion);
    void finishAuthorization(const LocalUSBDevice &device, AuthorizationCompletion completion, AuthorizationEject kind);
    void showAuthorizationFailedAlert();
    void showAuthorizationSuccessAndEject(const LocalUSBDevice &device);
    void showAuthorizationFailedAndEject(const LocalUSBDevice &device);
    void showAuthorizationCancelledAndEject(const LocalUSBDevice &device);

    // Wraps a callback so it does nothing once this window is gone.
    template <typename F>
    auto guarded(F f)
    {
        return [self = QPointer<ContentView>(this), f = std::move(f)](auto &&...args) {
            if (self)
                f(std::forward<decltype(args)>(args)...);
        };
    }

    DeviceService &m_devices;
    FolderPicker &m_folderPicker;
    Scheduler &m_scheduler;
    Preferences &m_preferences;
    DialogPresenter *m_dialogs;
    NotificationCenter &m_center;
    LanguageManager *m_languageManager;
    std::function<void()> m_recheckFullDiskAccess;
    std::unique_ptr<SettingsStore> m_settings;
    std::unique_ptr<HistoryStore> m_historyStore;
    // The stored history on its way in, with what changed in the list meanwhile.
    struct HistoryArrival;
    std::shared_ptr<HistoryArrival> m_historyArrival;
    bool m_historySaveWaiting = false;
    void takeArrivedHistory();

    std::optional<LocalUSBDevice> m_selectedDevice;
    ScanResult m_scanResults;
    qint64 m_totalJunkSize = 0;
    qint64 m_cleanedFileCount = 0;
    qint64 m_failedFileCount = 0;
    int m_failureReason = 0;
    qint64 m_unreadableFolderCount = 0;
    bool m_isScanning = false;
    bool m_showSettings = false;
    double m_scanProgress = 0;
    FileTypeSet m_selectedFileTypes;
    QStringList m_excludedFilePatterns;
    bool m_deviceReady = false;
    Scheduler::TimerId m_deviceReadyTimer = 0;
    QList<CleanHistory> m_cleanHistory;
    bool m_showHistory = false;
    std::optional<CleanHistory> m_selectedHistoryItem;
    QStringList m_customExtensions;
    bool m_userHasSelectedDevice = false;
    bool m_showingAlert = false;
    QString m_alertMessage;
    QString m_completionMessage;
    ActiveAlert m_activeAlert;
    bool m_showDeviceNotification = false;
    QString m_deviceNotificationMessage;
    bool m_deviceNotificationIsInsertion = false;
    quint64 m_refreshGeneration = 0;
    QString m_ejectingDeviceName;
    int m_lastDeviceCount = 0;
    std::optional<LocalUSBDevice> m_newDeviceForCleaning;
    QString m_lastDetectedDeviceID;
    bool m_shouldShowCleanPrompt = false;
    Scheduler::TimerId m_deviceCheckTimer = 0;
    bool m_devicePollResting = false;
    int m_deviceSelectionRetryCount = 0;
    bool m_isEjecting = false;
    bool m_refreshToggle = false;
    bool m_showAbout = false;
    QString m_alertTitle;
    bool m_showCleanDialog = false;
    QStringList m_lastDeviceIDs;
    bool m_isAuthorizing = false;
    QLocale m_dateLocale;

    // The values the change handlers last saw (they run one turn after a change).
    std::optional<QString> m_handledSelectedID;
    bool m_handledShouldShowCleanPrompt = false;
    bool m_changeHandlersQueued = false;

    quint64 m_scanSequence = 0;     // the newest scan; older results are dropped
    int m_parkedRequests = 0;       // requests waiting for readiness
    std::optional<std::pair<QString, QString>> m_pendingAlert;   // title and message
    quint64 m_ejectSequence = 0;
    quint64 m_activeEject = 0;      // the eject whose time-out and result own isEjecting

    QHash<QString, DeviceWork> m_work;   // by device id: what runs on it
    bool m_isQuitting = false;
    bool m_mayClose = false;   // all is stored, or the user chose to quit without it
};
