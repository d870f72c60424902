#pragma once

// Fakes for the window's logic: devices that are only a list and record every
// scan, clean and eject with its completion for the test to answer, a folder
// picker that records where it was asked to start, and a rig of the logic on
// virtual time with private preferences.

#include "localization/LanguageManager.h"
#include "mainwindow/ContentView.h"
#include "mainwindow/DeviceService.h"
#include "mainwindow/FolderPicker.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/Scheduler.h"

#include "WindowBasics.h"

#include <QMutex>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>

namespace testsupport {

// A device mounted at /media/<name> unless `path` says otherwise.
inline LocalUSBDevice makeDevice(const QString &name, bool accessible = true, const QString &path = {})
{
    LocalUSBDevice device;
    device.name = name;
    device.path = path.isEmpty() ? QStringLiteral("/media/") + name : path;
    device.id = device.path + QStringLiteral("|sd") + name;
    device.isAccessible = accessible;
    return device;
}

class FakeDevices final : public DeviceService
{
public:
    // `completion` answers with a complete scan's result, `finish` with any outcome.
    struct Scan
    {
        LocalUSBDevice device;
        ScanProgress progress;
        ScanCompletion finish;
        void completion(const ScanResult &result) const { finish(ScanOutcome(result)); }
    };
    struct Clean { QList<FileItem> files; CleanCompletion completion; CleanProgress progress; };
    struct Eject { LocalUSBDevice device; EjectCompletion completion; };

    QList<LocalUSBDevice> connectedDevices() const override
    {
        QMutexLocker lock(&m_lock);
        return m_list;
    }
    void refreshDevices() override { ++refreshCount; }
    void whenListChanges(QObject *context, std::function<void()> changed) override
    {
        m_listeners.append({QPointer<QObject>(context), std::move(changed)});
    }
    std::optional<LocalUSBDevice> device(const QString &id) const override
    {
        return find([&](const LocalUSBDevice &d) { return d.id == id && !unresolved.contains(id); });
    }
    std::optional<LocalUSBDevice> deviceContaining(const QString &path) const override
    {
        return find([&](const LocalUSBDevice &d) { return path == d.path || path.startsWith(d.path + u'/'); });
    }
    void scanDevice(const LocalUSBDevice &d, const QList<FileType> &, const QStringList &, const QStringList &,
                    ScanProgress progress, ScanCompletion completion) override
    {
        scans.append({d, std::move(progress), std::move(completion)});
    }
    void cleanFiles(const QList<FileItem> &files, CleanCompletion completion, CleanProgress progress) override
    {
        cleans.append({files, cleanAtOnce ? CleanCompletion() : completion, progress});
        if (cleanAtOnce)
            completion(files, {});
    }
    void stopWork() override { ++stopRequests; }
    void ejectDevice(const LocalUSBDevice &d, EjectCompletion completion) override
    {
        ejects.append({d, std::move(completion)});
    }
    bool hasSecurityBookmark(const QString &) const override
    {
        look("hasSecurityBookmark");
        return hasGrant;
    }
    std::optional<LocalUSBDevice> updateDeviceAccessibility(const QString &id, bool accessible) override
    {
        look("updateDeviceAccessibility");
        QMutexLocker lock(&m_lock);
        for (LocalUSBDevice &d : m_list) {
            if (d.id == id) {
                d.isAccessible = accessible && grantWorks && rootReadable;
                return d;
            }
        }
        return std::nullopt;
    }
    std::optional<QByteArray> createBookmarkData(const QString &) const override
    {
        look("createBookmarkData");
        return bookmarkWorks ? std::optional(QByteArray("grant")) : std::nullopt;
    }
    void saveSecurityBookmark(const QString &, const QByteArray &) override { ++savedBookmarks; }
    bool startAccessingDevice(const QString &) override
    {
        look("startAccessingDevice");
        return grantWorks;
    }
    void stopAccessingDevice(const QString &) override { look("stopAccessingDevice"); }
    bool forceRefreshDeviceAccess(const QString &) override
    {
        look("forceRefreshDeviceAccess");
        return false;
    }

    // Publishes a new list (on the main thread), as the manager does.
    void setList(const QList<LocalUSBDevice> &devices)
    {
        {
            QMutexLocker lock(&m_lock);
            m_list = devices;
        }
        for (const auto &[context, changed] : m_listeners) {
            if (context)
                changed();
        }
    }

    QList<Scan> scans;
    QList<Clean> cleans;
    QList<Eject> ejects;
    int refreshCount = 0;
    int stopRequests = 0;
    bool cleanAtOnce = false;               // every clean ends at once, all its files cleaned
    // The grant runs on the window's background thread.
    std::atomic<int> savedBookmarks{0};
    std::atomic<bool> grantWorks{true};
    std::atomic<bool> bookmarkWorks{true};
    std::atomic<bool> rootReadable{true};   // what a re-read of the granted device finds
    std::atomic<bool> hasGrant{false};      // a stored grant for every device
    QStringList unresolved;                 // listed, but a lookup by id misses them
    // Called first by every call that looks at a device (on a stuck mount it
    // would wait): tests hold these calls up, or see which thread made them.
    std::function<void(const char *call)> onDeviceLook;

private:
    void look(const char *call) const
    {
        if (onDeviceLook)
            onDeviceLook(call);
    }
    std::optional<LocalUSBDevice> find(const std::function<bool(const LocalUSBDevice &)> &matches) const
    {
        QMutexLocker lock(&m_lock);
        const auto it = std::find_if(m_list.cbegin(), m_list.cend(), matches);
        return it == m_list.cend() ? std::nullopt : std::optional(*it);
    }

    mutable QMutex m_lock;
    QList<LocalUSBDevice> m_list;
    QList<std::pair<QPointer<QObject>, std::function<void()>>> m_listeners;
};

class FakePicker final : public FolderPicker
{
public:
    void chooseFolder(const QString &, const QString &startPath, Completion completion) override
    {
        starts << startPath;
        if (cancelAtOnce)
            completion(std::nullopt);
        else
            pending = std::move(completion);
    }
    QStringList starts;       // one per question
    Completion pending;
    bool cancelAtOnce = false;
};

// The window's logic over the fakes. It has not appeared yet: list the
// devices, then call view.onAppearSetup().
struct WindowRig : WindowBasics
{
    FakeDevices devices;
    FakePicker picker;
    ContentView view{{devices, picker, clock, prefs, center, &language, {}}};

    // Selects a listed device and waits until it is ready.
    void selectReady(const LocalUSBDevice &device)
    {
        view.selectDevice(device);
        clock.advance(std::chrono::milliseconds(3100));
        QVERIFY(view.deviceReady());
    }
};

// The window's logic over the fakes, shown (it has appeared) with these devices.
struct Window : WindowRig
{
    explicit Window(const QList<LocalUSBDevice> &initial = {})
    {
        devices.setList(initial);
        view.onAppearSetup();
    }
    // Moves virtual time on (or runs what is due now).
    void tick(std::chrono::milliseconds by = std::chrono::milliseconds(0))
    {
        by.count() ? clock.advance(by) : clock.runDue();
    }
    ~Window() { LanguageManager::setShared(nullptr); }
    // Lets the background looks at devices answer.
    void settle() { QVERIFY(clock.settle()); }
    QString selectedName() const { return view.selectedDevice() ? view.selectedDevice()->name : QString(); }
    // Texts in Simplified Chinese for the rest of the window's life.
    void inChinese()
    {
        LanguageManager::setShared(&language);
        language.setLanguage(AppLanguage::chinese);
    }
};

} // namespace testsupport
