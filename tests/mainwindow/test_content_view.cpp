#include "history/HistoryStore.h"
#include "localization/Localization.h"

#include "FakeDeviceService.h"
#include "TestMain.h"

#include <QTemporaryDir>

#include <array>
#include <atomic>

using namespace std::chrono_literals;

namespace {

using testsupport::FakeDevices;
using testsupport::makeDevice;

// "b!" names an unreadable device.
QList<LocalUSBDevice> devicesNamed(const QStringList &names)
{
    QList<LocalUSBDevice> list;
    for (const QString &name : names)
        list << makeDevice(QString(name).remove(QLatin1Char('!')), !name.endsWith(QLatin1Char('!')));
    return list;
}

FileItem item(const QString &path, qint64 size)
{
    return FileItem::fromPath(path, size);
}

using testsupport::Window;

// Drives one path of the window to its alert; the unreadable stick has a real root.
using AlertPath = std::function<void(Window &, const LocalUSBDevice &stick)>;

// The poll's view of a change; before it the first device is the user's selection.
struct Poll { QStringList before, after; QString selected, detected, banner; bool readyLater; };
// folder: chosen in the panel, below the media folder (empty: cancel); rootReadable: as the
// record re-read after the grant says.
struct Grant { QString folder; bool grantWorks, rootReadable, scans, ejects; };
// flow after 0: success, 1: failed set-up, 2: cancel; message: of the failure alert.
struct AfterGrant { int flow; bool ejected; QStringList holders; QString message; QString reason{}; };

} // namespace

Q_DECLARE_METATYPE(AlertPath)
Q_DECLARE_METATYPE(Poll)
Q_DECLARE_METATYPE(Grant)
Q_DECLARE_METATYPE(AfterGrant)

class TestContentView : public QObject
{
    Q_OBJECT

private slots:
    void pollDiff_data()
    {
        // selected and detected (the device handled as new): empty for none; banner: its text's key.
        QTest::addColumn<Poll>("poll");
        QTest::newRow("insertion") << Poll{{}, {"a"}, "a", "a", "device_inserted", true};
        QTest::newRow("inserted before the others") << Poll{{"a", "b"}, {"c", "a", "b"}, "a", "c", "device_inserted", true};
        QTest::newRow("two at once") << Poll{{"a"}, {"b", "a", "c"}, "a", "c", "device_inserted", true};
        QTest::newRow("removal") << Poll{{"a"}, {}, "", "", "device_ejected", false};
        QTest::newRow("replacement") << Poll{{"a"}, {"b"}, "b", "b", "device_inserted", true};
        QTest::newRow("reordered") << Poll{{"a", "b"}, {"b", "a"}, "a", "", "", false};
    }

    void pollDiff()
    {
        QFETCH(Poll, poll);
        Window w(devicesNamed(poll.before));
        if (!poll.before.isEmpty())
            w.selectReady(makeDevice(poll.before.first()));
        w.devices.setList(devicesNamed(poll.after));
        w.tick(500ms);

        QCOMPARE(w.selectedName(), poll.selected);
        QCOMPARE(w.view.lastDetectedDeviceID(), poll.detected.isEmpty() ? QString() : makeDevice(poll.detected).id);
        if (poll.banner.isEmpty()) {
            QVERIFY(w.view.deviceReady());
            return;
        }
        QVERIFY(w.view.showDeviceNotification() && !w.view.deviceReady());
        QVERIFY(w.view.deviceNotificationMessage().startsWith(localized(poll.banner).section(u'%', 0, 0)));
        // The banner's symbol follows this flag, whatever the language of the text.
        QCOMPARE(w.view.deviceNotificationIsInsertion(), poll.banner == QLatin1String("device_inserted"));
        w.tick(3100ms);
        QVERIFY(!w.view.showDeviceNotification());
        w.tick(2000ms);
        QCOMPARE(w.view.deviceReady(), poll.readyLater);
    }

    // The poll only reads the published list, and rests (no timer at all)
    // while a look could act on nothing: a window left alone asks for no
    // enumeration, and a list published is looked at at once.
    void pollOnlyReadsTheList()
    {
        Window w(devicesNamed({"a", "b"}));
        const int asked = w.devices.refreshCount;   // the appearance's own
        w.settle();   // the stored history, read in the background, has come in
        QVERIFY(!w.view.isLoadingHistory());
        w.tick(60s);
        QCOMPARE(w.devices.refreshCount, asked);
        QVERIFY(w.view.isDevicePollResting() && w.view.isMonitoringDevices());
        QCOMPARE(w.clock.pendingCount(), 0);
        w.devices.setList(devicesNamed({"a", "b", "c"}));
        QVERIFY(!w.view.isDevicePollResting());
        w.tick();
        QCOMPARE(w.view.lastDetectedDeviceID(), makeDevice("c").id);
        QCOMPARE(w.devices.refreshCount, asked);
    }

    void parkedRequestsWaitForReadiness()
    {
        // Listed before the window appeared: no readiness timer runs, so parking starts one.
        const LocalUSBDevice a = makeDevice(QStringLiteral("a"));
        Window w({a});
        w.view.scanDevice(a);
        w.view.scanDevice(a);
        QVERIFY(w.view.hasDeviceReadyTimer());
        QVERIFY(w.view.selectedDevice()->id == a.id && w.view.userHasSelectedDevice());
        w.tick(2900ms);
        QCOMPARE(w.devices.scans.size(), 0);
        w.tick(700ms);
        QCOMPARE(w.devices.scans.size(), 1);   // one scan of a device at a time: the second is refused

        // A parked request whose device left the list is dropped.
        Window gone({a});
        gone.view.quickCleanDevice(a);
        gone.view.stopDeviceMonitoring();   // so the removal does not stop the readiness timer
        gone.devices.setList({});
        gone.tick(4000ms);
        QCOMPARE(gone.devices.scans.size(), 0);

        // A parked request runs on the device's fresh record: no "please wait" for the stale one.
        const LocalUSBDevice stale = makeDevice(QStringLiteral("s"), false, QStringLiteral("/nonexistent/s"));
        Window fresh({stale});
        fresh.view.scanDevice(stale);
        fresh.devices.setList({makeDevice(QStringLiteral("s"), true, stale.path)});
        fresh.tick(3600ms);
        QCOMPARE(fresh.devices.scans.size(), 1);
        QVERIFY(!fresh.view.showingAlert());
    }

    void cleanPrompt_data()
    {
        QTest::addColumn<bool>("promptOn");
        QTest::addColumn<bool>("accessible");
        QTest::addColumn<bool>("opens");
        QTest::newRow("on, accessible") << true << true << true;
        QTest::newRow("on, inaccessible") << true << false << false;
        QTest::newRow("off") << false << true << false;
    }

    void cleanPrompt()
    {
        QFETCH(bool, promptOn);
        QFETCH(bool, accessible);
        QFETCH(bool, opens);
        Window w;
        w.view.setPromptCleanOnInsert(promptOn);
        const LocalUSBDevice a = makeDevice(QStringLiteral("a"), accessible);
        w.devices.setList({a});
        w.tick(500ms);
        w.tick(300ms);
        QCOMPARE(w.view.showCleanDialog(), opens);
        QVERIFY(!w.view.shouldShowCleanPrompt());   // a stale request would open the sheet later
        if (!opens)
            return;
        QCOMPARE(w.view.cleanPromptDeviceName(), a.name);
        // Clean from the sheet before the device is ready: it waits, then scans.
        w.view.cleanPromptClean();
        w.view.onCleanPromptDismiss();
        QVERIFY(!w.view.newDeviceForCleaning());
        QCOMPARE(w.view.activeAlert(), ContentView::ActiveAlert::none);
        QCOMPARE(w.devices.scans.size(), 0);
        w.tick(5000ms);
        QCOMPARE(w.devices.scans.size(), 1);
    }

    void scanResults()
    {
        const LocalUSBDevice a = makeDevice(QStringLiteral("a"));
        const LocalUSBDevice b = makeDevice(QStringLiteral("b"));
        Window w({a, b});
        w.selectReady(a);

        // A second scan of the device while one runs is refused.
        w.view.scanDevice(a);
        w.view.scanDevice(a);
        QVERIFY(w.view.isScanning());
        QCOMPARE(w.devices.scans.size(), 1);
        w.devices.scans[0].progress(1.0);
        w.devices.scans[0].completion({{FileType::trash, {item("/media/a/.Trash/x", 5), item("/media/a/.Trash/y", 7)}}});
        w.tick();
        QVERIFY(!w.view.isScanning());
        QCOMPARE(w.view.scanProgress(), 1.0);
        QCOMPARE(w.view.totalJunkSize(), 12);

        // A different selection clears the results; a result for the old device is dropped.
        w.view.scanDevice(a);
        w.view.selectDevice(b);
        QVERIFY(w.view.scanResults().isEmpty());
        w.devices.scans[1].completion({{FileType::trash, {item("/media/a/.Trash/z", 1)}}});
        QVERIFY(w.view.scanResults().isEmpty());
        QVERIFY(!w.view.isScanning());
    }

    // "Nothing to clean" is decided on the number of items, not on their bytes.
    void nothingToClean()
    {
        const LocalUSBDevice a = makeDevice(QStringLiteral("a"));
        for (const QList<qint64> &sizes : {QList<qint64>{}, QList<qint64>{0, 0}, QList<qint64>{0, 5}}) {
            Window w({a});
            w.selectReady(a);
            w.view.scanDevice(a);
            QList<FileItem> items;
            for (qint64 size : sizes)
                items << item(QStringLiteral("/media/a/._") + QString::number(items.size()), size);
            w.devices.scans[0].completion({{FileType::temporaryFiles, items}});
            QCOMPARE(w.view.showingAlert(), items.isEmpty());
            QCOMPARE(w.view.scanResults().value(FileType::temporaryFiles).size(), items.size());
        }
    }

    // Results belong to the selected device: a new id clears them, a re-read record keeps them.
    void resultsFollowTheSelectedDevice_data()
    {
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<QString>("selected");
        QTest::newRow("another device inserted") << QStringList{"a", "b"} << "b";
        QTest::newRow("selected device removed") << QStringList{} << "";
        QTest::newRow("record re-read") << QStringList{"a"} << "a";
    }

    void resultsFollowTheSelectedDevice()
    {
        QFETCH(QStringList, after);
        QFETCH(QString, selected);
        Window w;
        w.devices.setList(devicesNamed({QStringLiteral("a")}));
        w.tick(5500ms);   // inserted, selected automatically, ready
        QVERIFY(w.view.deviceReady() && !w.view.userHasSelectedDevice());
        w.view.scanDevice(*w.view.selectedDevice());
        w.devices.scans[0].completion({{FileType::dsStore, {item("/media/a/.DS_Store", 10)}}});
        QCOMPARE(w.view.scanResults().size(), 1);

        w.devices.setList(devicesNamed(after));
        w.view.refreshDeviceState();
        w.tick(500ms);
        QCOMPARE(w.selectedName(), selected);
        QCOMPARE(w.view.scanResults().isEmpty(), selected != QLatin1String("a"));
    }

    void menuScanRequest_data()
    {
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QString>("sidebar");    // chosen before the request; empty: nothing
        QTest::addColumn<QString>("scanned");    // empty: no scan
        QTest::newRow("readable selection") << QStringList{"a", "b"} << "b" << "b";
        QTest::newRow("unreadable selection") << QStringList{"a", "b!"} << "b" << "a";
        QTest::newRow("nothing selected") << QStringList{"a", "b"} << "" << "a";
        QTest::newRow("no device") << QStringList{} << "" << "";
    }

    void menuScanRequest()
    {
        QFETCH(QStringList, listed);
        QFETCH(QString, sidebar);
        QFETCH(QString, scanned);
        const QList<LocalUSBDevice> devices = devicesNamed(listed);
        Window w(devices);
        if (!sidebar.isEmpty())
            w.selectReady(devicesNamed(listed.filter(sidebar)).constFirst());
        w.center.post(ContentView::triggerDeviceScan);
        w.tick(4000ms);   // the first device of a fresh window is not ready at once
        QCOMPARE(w.devices.scans.size(), scanned.isEmpty() ? 0 : 1);
        QCOMPARE(w.selectedName(), scanned);
        QVERIFY(scanned.isEmpty() || w.devices.scans[0].device.name == scanned);
        QCOMPARE(w.view.userHasSelectedDevice(), !sidebar.isEmpty());   // the request's own choice is not the user's
        QVERIFY(!w.view.showingAlert());
    }

    // The poll tries to select an inserted device on at most 10 unchanged checks.
    void pendingSelectionRetries_data()
    {
        QTest::addColumn<int>("missedRetries");
        QTest::addColumn<bool>("selected");
        QTest::newRow("found on the 10th retry") << 9 << true;
        QTest::newRow("found after the 10th") << 10 << false;
    }

    void pendingSelectionRetries()
    {
        QFETCH(int, missedRetries);
        QFETCH(bool, selected);
        const LocalUSBDevice b = makeDevice(QStringLiteral("b"));
        const LocalUSBDevice a = makeDevice(QStringLiteral("a"), false);
        Window w({b});
        w.devices.unresolved = {a.id};
        w.devices.setList({b, a});
        w.tick(5600ms);   // inserted, selected automatically, ready
        QCOMPARE(w.view.selectedDevice()->id, a.id);
        w.center.post(ContentView::triggerDeviceScan);   // a cannot be read: the request turns to b
        QVERIFY(w.view.selectedDevice()->id == b.id && !w.view.userHasSelectedDevice());
        w.tick(500ms * missedRetries);
        w.devices.unresolved.clear();
        w.tick(2000ms);
        QCOMPARE(w.view.selectedDevice()->id, selected ? a.id : b.id);
    }

    // A clean that ends after the user moved to another device writes its record
    // and history, and nothing of the other device's view; no eject follows.
    void cleanEndsOnAnotherDevice_data()
    {
        QTest::addColumn<bool>("quick");
        QTest::newRow("clean") << false;
        QTest::newRow("quick clean") << true;
    }

    void cleanEndsOnAnotherDevice()
    {
        QFETCH(bool, quick);
        const LocalUSBDevice a = makeDevice(QStringLiteral("a"));
        const LocalUSBDevice b = makeDevice(QStringLiteral("b"));
        Window w({a, b});
        w.inChinese();
        w.view.setAutoEjectAfterClean(true);
        w.selectReady(a);
        const QList<FileItem> files{item("/media/a/.DS_Store", 1000), item("/media/a/._x", 2000),
                                    item("/media/a/._y", 3000), item("/media/a/._z", 4000)};
        const ScanResult found{{FileType::dsStore, {files[0]}}, {FileType::temporaryFiles, files.mid(1)}};
        quick ? w.view.quickCleanDevice(a) : w.view.scanDevice(a);
        w.devices.scans[0].completion(found);
        if (!quick)
            w.view.cleanButtonTapped();
        QVERIFY(w.devices.cleans.size() == 1 && w.devices.cleans[0].files.size() == 4);

        // The user moves on and scans b while a's clean runs.
        w.selectReady(b);
        w.view.scanDevice(b);
        const auto viewOfB = [&w] {
            return std::tuple(w.view.isScanning(), w.view.cleanedFileCount(), w.view.failedFileCount(),
                              w.view.totalJunkSize(), w.view.completionMessage(), w.view.scanResults().size(),
                              w.view.showingAlert());
        };
        const auto before = viewOfB();
        QVERIFY(std::get<0>(before));
        w.devices.cleans[0].completion(files.mid(0, 3), files.mid(3));
        w.tick();
        QCOMPARE(viewOfB(), before);
        QVERIFY(w.clock.settle());
        const QList<CleanHistory> stored = HistoryStore(w.prefs).load();
        QCOMPARE(stored.size(), 1);
        QVERIFY(stored[0].deviceID == a.id && stored[0].cleanedFiles.size() == 3);
        QCOMPARE(w.view.cleanHistory().size(), 1);
        w.tick(1100ms);
        QCOMPARE(w.devices.ejects.size(), 0);   // a is no longer selected

        // b's own scan still lands, with its clean-all results.
        w.devices.scans[1].completion({{FileType::trash, {item("/media/b/.Trashes", 5)}}});
        QVERIFY(!w.view.isScanning() && w.view.scanResults().size() == 1 && w.view.cleanedFileCount() == 0);
    }

    // Counts and history hold the removed files; when none went, the results stay shown.
    void quickCleanReportsWhatWasRemoved_data()
    {
        QTest::addColumn<int>("deleted");
        QTest::addColumn<qint64>("size");   // shown after the clean
        QTest::newRow("all") << 4 << qint64(10);
        QTest::newRow("some failed") << 3 << qint64(6);
        QTest::newRow("all failed") << 0 << qint64(10);
    }

    void quickCleanReportsWhatWasRemoved()
    {
        QFETCH(int, deleted);
        QFETCH(qint64, size);
        const LocalUSBDevice a = makeDevice(QStringLiteral("a"));
        Window w({a});
        w.selectReady(a);
        w.view.quickCleanDevice(a);
        const QList<FileItem> files{item("/media/a/1", 1), item("/media/a/2", 2), item("/media/a/3", 3),
                                    item("/media/a/4", 4)};
        w.devices.scans[0].completion({{FileType::systemLogs, files}});
        QCOMPARE(w.devices.cleans.size(), 1);
        w.devices.cleans[0].completion(files.mid(0, deleted), files.mid(deleted));
        w.tick();
        QVERIFY(!w.view.isScanning());
        QCOMPARE(w.view.cleanedFileCount(), deleted);
        QCOMPARE(w.view.totalJunkSize(), size);
        QCOMPARE(w.view.failedFileCount(), 4 - deleted);
        QCOMPARE(w.view.showingAlert(), deleted == 0);   // its texts: everyAlertSetsItsTitle
        QCOMPARE(w.view.scanResults().isEmpty(), deleted > 0);
        QVERIFY(w.clock.settle());
        const QList<CleanHistory> stored = HistoryStore(w.prefs).load();
        QCOMPARE(stored.size(), deleted ? 1 : 0);
        QVERIFY(!deleted || stored[0].fileTypes == QStringList{QStringLiteral("systemLogs")});
    }

    void ejectTimeoutBelongsToItsEject()
    {
        const LocalUSBDevice a = makeDevice(QStringLiteral("a"));
        const LocalUSBDevice b = makeDevice(QStringLiteral("b"));
        Window w({a, b});
        w.selectReady(a);

        // A slow eject: the time-out alert, then a late success still forgets the device.
        w.view.ejectSelectedDevice();
        QVERIFY(w.view.isEjecting());
        w.tick(10000ms);
        QVERIFY(!w.view.isEjecting() && w.view.showingAlert());
        w.devices.ejects[0].completion(true, {}, {});
        w.tick(1000ms);
        QVERIFY(!w.view.selectedDevice());

        // A quick eject, then another: the first one's clock does not time the second.
        w.selectReady(b);
        w.view.dismissAlert();
        w.view.ejectSelectedDevice();
        w.tick(1000ms);
        w.devices.ejects[1].completion(false, {}, {});
        w.tick(1000ms);
        QCOMPARE(w.view.alertMessage(), localized(QStringLiteral("device_eject_error")));
        w.view.dismissAlert();
        w.tick(3000ms);
        w.view.ejectSelectedDevice();   // 5 s after the first
        w.tick(5500ms);                 // past the first eject's 10 s
        QVERIFY(w.view.isEjecting());
        QVERIFY(!w.view.showingAlert());

        // Success for a device that is no longer selected leaves the selection.
        w.view.selectDevice(a);
        w.devices.ejects[2].completion(true, {}, {});
        w.tick(1000ms);
        QCOMPARE(w.view.selectedDevice()->id, a.id);
        QVERIFY(!w.view.isEjecting());
    }

    void notificationsReachTheWindowTwice()
    {
        const LocalUSBDevice a = makeDevice(QStringLiteral("a"));
        Window w({a});
        const bool start = w.view.refreshToggle();
        w.center.post(LanguageManager::languageDidChange);
        QCOMPARE(w.view.refreshToggle(), start);   // flipped twice

        w.selectReady(a);
        LocalUSBDevice lost = a;
        lost.isAccessible = false;
        w.devices.setList({lost});
        w.center.post(QStringLiteral("DeviceAccessibilityChanged"), a.id);
        QCOMPARE(w.view.refreshToggle(), !start);   // once: the receiver flips only for an accessible device
        QVERIFY(!w.view.selectedDevice()->isAccessible);
        w.center.post(QStringLiteral("DeviceAccessibilityChanged"), 42);   // not an id: nothing
        QCOMPARE(w.view.refreshToggle(), !start);

        w.center.post(ContentView::openAppSettings);
        QVERIFY(w.view.showSettings());
    }

    // Only the device's own root, or a folder on it, grants access to it.
    void authorization_data()
    {
        QTest::addColumn<Grant>("grant");
        QTest::newRow("root") << Grant{"stick", true, true, true, true};
        QTest::newRow("folder on the device") << Grant{"stick/inside", true, true, true, true};
        QTest::newRow("re-read still unreadable") << Grant{"stick", true, false, false, false};   // no grant
        QTest::newRow("folder elsewhere") << Grant{"other", true, true, false, false};
        QTest::newRow("cancelled") << Grant{"", true, true, false, true};
        QTest::newRow("access not confirmed") << Grant{"stick", false, true, false, false};
    }

    void authorization()
    {
        QFETCH(Grant, grant);
        const auto &[folder, grantWorks, rootReadable, scans, ejects] = grant;
        QTemporaryDir media;
        QVERIFY(QDir(media.path()).mkpath(QStringLiteral("stick/inside")) && QDir(media.path()).mkpath(QStringLiteral("other")));
        const LocalUSBDevice a = makeDevice(QStringLiteral("a"), false, media.filePath(QStringLiteral("stick")));
        Window w({a});
        w.devices.grantWorks = grantWorks;
        w.devices.rootReadable = rootReadable;
        w.selectReady(a);
        w.view.scanDevice(a);
        w.settle();
        QVERIFY(w.view.isAuthorizing());
        QCOMPARE(w.picker.starts, QStringList{a.path});

        w.picker.pending(folder.isEmpty() ? std::nullopt : std::optional(media.filePath(folder)));
        QVERIFY(w.clock.settle());
        QVERIFY(!w.view.isAuthorizing() && w.view.showingAlert());
        QCOMPARE(w.devices.scans.size(), scans ? 1 : 0);
        QCOMPARE(w.devices.savedBookmarks.load(), folder.startsWith(QLatin1String("stick")) ? 1 : 0);
        // On failure the scan's "access denied" alert follows the flow's own one.
        QCOMPARE(w.view.alertMessage() == localized(QStringLiteral("access_denied")), !scans);
        w.tick(3000ms);
        QCOMPARE(w.devices.ejects.size(), ejects ? 1 : 0);
    }

    // Every alert sets its own title: none shows the one left by the alert before.
    void everyAlertSetsItsTitle_data()
    {
        QTest::addColumn<AlertPath>("path");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("message");
        const auto L = [](const char *key) { return localized(QString::fromLatin1(key)); };
        const LocalUSBDevice a = makeDevice(QStringLiteral("a"));
        const LocalUSBDevice missing = makeDevice(QStringLiteral("m"), false, QStringLiteral("/nonexistent/m"));
        const QList<FileItem> files{item("/media/a/._1", 1000), item("/media/a/._2", 2000)};
        const auto quickClean = [a, files](int deleted) {
            return AlertPath([=](Window &w, const LocalUSBDevice &) {
                w.selectReady(a);
                w.view.quickCleanDevice(a);
                w.devices.scans.last().completion({{FileType::temporaryFiles, files}});
                w.devices.cleans.last().completion(files.mid(0, deleted), files.mid(deleted));
                w.tick();
            });
        };
        // The authorize button (or the scan) on the unreadable stick; `knob` is switched off first.
        const auto authorize = [](const char *choice, std::atomic<bool> FakeDevices::*knob, bool viaScan) {
            return AlertPath([=](Window &w, const LocalUSBDevice &stick) {
                if (knob)
                    w.devices.*knob = false;
                w.selectReady(stick);
                viaScan ? w.view.scanDevice(stick) : w.view.authorizeButtonAction(stick);
                w.settle();
                const QString folder = QString::fromLatin1(choice);
                w.picker.pending(folder == QLatin1String("cancel") ? std::nullopt
                                 : std::optional(folder == QLatin1String("root") ? stick.path : w.dir.path()));
                QVERIFY(w.clock.settle());
                w.tick();
            });
        };
        QTest::newRow("scan of a missing root") << AlertPath([=](Window &w, const LocalUSBDevice &) {
            w.selectReady(missing);
            w.view.scanDevice(missing);
            w.settle();
        }) << L("please_wait") << L("device_mounting");
        QTest::newRow("no kinds selected") << AlertPath([=](Window &w, const LocalUSBDevice &) {
            w.selectReady(a);
            w.view.cleanButtonTapped();
        }) << L("error") << L("select_file_types_to_clean");
        QTest::newRow("nothing found") << AlertPath([=](Window &w, const LocalUSBDevice &) {
            w.selectReady(a);
            w.view.scanDevice(a);
            w.devices.scans.last().completion({});
        }) << L("cleaning_completed_title") << L("no_cleanable_files_found");
        QTest::newRow("clean, all failed") << quickClean(0) << L("clean_failed_title")
                                           << format(L("clean_failed_message"), 2, a.name) + QStringLiteral("\n\n")
                                                  + L("failure_reason_unknown");
        QTest::newRow("eject error") << AlertPath([=](Window &w, const LocalUSBDevice &) {
            w.selectReady(a);
            w.view.ejectSelectedDevice();
            w.devices.ejects.last().completion(false, {}, {});
            w.tick(1000ms);
        }) << L("error") << L("device_eject_error");
        QTest::newRow("eject time-out") << AlertPath([=](Window &w, const LocalUSBDevice &) {
            w.selectReady(a);
            w.view.ejectSelectedDevice();
            w.tick(10000ms);
        }) << L("error") << L("device_eject_timeout");
        QTest::newRow("access granted") << authorize("root", nullptr, false) << L("authorization_successful")
                                        << L("authorization_success_message");
        QTest::newRow("grant record not made") << authorize("root", &FakeDevices::bookmarkWorks, false)
                                               << L("authorization_setup_failed") << L("authorization_setup_failed_message");
        QTest::newRow("panel cancelled") << authorize("cancel", nullptr, false) << L("authorization_cancelled")
                                         << L("authorization_cancelled_message");
        const QString refused = L("authorization_failed_message");
        QTest::newRow("access not confirmed") << authorize("root", &FakeDevices::grantWorks, false)
                                              << L("authorization_failed") << refused;
        QTest::newRow("folder elsewhere") << authorize("elsewhere", nullptr, false) << L("authorization_failed") << refused;
        QTest::newRow("scan after a refused grant") << authorize("root", &FakeDevices::grantWorks, true) << L("error")
                                                    << L("access_denied");
        QTest::newRow("device gone after the grant") << AlertPath([=](Window &w, const LocalUSBDevice &stick) {
            w.devices.unresolved = {stick.id};
            authorize("root", nullptr, true)(w, stick);
        }) << L("error") << L("device_disconnected");
    }

    void everyAlertSetsItsTitle()
    {
        QFETCH(AlertPath, path);
        QFETCH(QString, title);
        QFETCH(QString, message);
        Window w;
        QVERIFY(QDir(w.dir.path()).mkpath(QStringLiteral("stick")));
        const LocalUSBDevice stick = makeDevice(QStringLiteral("s"), false, w.dir.filePath(QStringLiteral("stick")));
        const LocalUSBDevice a = makeDevice(QStringLiteral("a"));
        w.devices.setList({a, stick});
        w.view.startDeviceMonitoring();   // both are the baseline: neither counts as inserted
        // A previous alert with a title no path below uses.
        w.view.ejectAfterAuthorizationCancel(a);
        w.devices.ejects.last().completion(false, {}, {});
        w.tick();
        QCOMPARE(w.view.alertTitle(), localized(QStringLiteral("eject_failed")));
        w.view.dismissAlertAndRefresh();

        path(w, stick);
        w.view.onCleanPromptDismiss();   // closing the prompt sheet leaves a showing alert alone
        QVERIFY(w.view.showingAlert());
        QCOMPARE(w.view.activeAlert(), ContentView::ActiveAlert::message);
        QCOMPARE(w.view.alertTitle(), title);
        QCOMPARE(w.view.alertMessage(), message);
    }

    void failedEjectSaysWhy_data()
    {
        QTest::addColumn<QStringList>("holders");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("message");
        const QString busy = QStringLiteral("umount: /media/a: must be superuser to unmount.");
        QTest::newRow("held") << QStringList{"Preview", "mdworker", "Preview"} << QString()
                              << format(localized(QStringLiteral("device_eject_error_processes")), QStringLiteral("a"),
                                        QStringLiteral("Preview, mdworker"));
        QTest::newRow("refused") << QStringList() << busy
                                 << format(localized(QStringLiteral("device_eject_error_reason")), QStringLiteral("a"), busy);
        QTest::newRow("no reason") << QStringList() << QString() << localized(QStringLiteral("device_eject_error"));
    }

    // A failed eject takes its "Ejecting …" banner down and names the programs
    // only when some hold the device; otherwise it gives the system's reason.
    void failedEjectSaysWhy()
    {
        QFETCH(QStringList, holders);
        QFETCH(QString, reason);
        QFETCH(QString, message);
        const LocalUSBDevice a = makeDevice(QStringLiteral("a"));
        Window w({a});
        w.selectReady(a);
        w.view.ejectSelectedDevice();
        QVERIFY(w.view.showDeviceNotification());
        QList<BlockingProcess> blocking;
        for (const QString &name : holders)
            blocking << BlockingProcess{100 + blocking.size(), name, name.left(3)};
        w.devices.ejects[0].completion(false, blocking, reason);
        w.tick(1000ms);
        QVERIFY(!w.view.isEjecting());
        QVERIFY(!w.view.showDeviceNotification());
        QCOMPARE(w.view.alertTitle(), localized(QStringLiteral("error")));
        QCOMPARE(w.view.alertMessage(), message);
        QVERIFY(!message.contains(QStringLiteral("%@")));
        QCOMPARE(w.view.selectedDevice()->id, a.id);
        w.tick(20000ms);   // nothing brings the banner back
        QVERIFY(!w.view.showDeviceNotification());
    }

    void ejectAfterAuthorization_data()
    {
        QTest::addColumn<AfterGrant>("row");
        const QStringList two{"Preview", "mdworker"};
        const QString head = QStringLiteral("无法弹出设备 a");
        const QString held = head + QStringLiteral("，以下进程正在使用它：Preview, mdworker。请关闭这些应用程序后手动弹出设备，然后重新连接");
        const QString unknown = head + QStringLiteral("，可能有应用程序正在使用它。请手动弹出设备后重新连接");
        const QString again = QStringLiteral("USB设备以重新授权。");
        for (int flow : {0, 1, 2})
            QTest::addRow("%d, ejected", flow) << AfterGrant{flow, true, {}, {}};
        QTest::newRow("success, held") << AfterGrant{0, false, two, held + QStringLiteral("。")};
        QTest::newRow("success, not held") << AfterGrant{0, false, {}, unknown + QStringLiteral("。")};
        QTest::newRow("set-up failed, held") << AfterGrant{1, false, two, held + again};
        QTest::newRow("set-up failed, not held") << AfterGrant{1, false, {}, unknown + again};
        const QString refused = QStringLiteral("umount: /media/a: must be superuser to unmount.");
        const QString said = head + QStringLiteral("：umount: /media/a: must be superuser to unmount。请手动弹出设备后重新连接");
        QTest::newRow("success, refused") << AfterGrant{0, false, {}, said + QStringLiteral("。"), refused};
        QTest::newRow("set-up failed, refused") << AfterGrant{1, false, {}, said + again, refused};
        // Holders found: they are named, whatever else was said.
        QTest::newRow("success, held and refused") << AfterGrant{0, false, two, held + QStringLiteral("。"), refused};
        QTest::newRow("cancel, held") << AfterGrant{2, false, two, head + QStringLiteral("。请手动弹出设备后重新连接") + again};
    }

    void ejectAfterAuthorization()
    {
        QFETCH(AfterGrant, row);
        const auto &[flow, ejected, holders, message, reason] = row;
        const LocalUSBDevice a = makeDevice(QStringLiteral("a"));
        Window w;
        w.inChinese();   // the messages word for word
        w.devices.setList({a});
        w.tick(500ms);   // inserted and selected automatically
        const std::array flows{&ContentView::ejectAfterAuthorizationSuccess, &ContentView::ejectAfterAuthorizationFailure,
                               &ContentView::ejectAfterAuthorizationCancel};
        (w.view.*flows[flow])(a);
        QVERIFY(w.view.isEjecting());
        QCOMPARE(w.view.deviceNotificationMessage(), localized(QStringLiteral("ejecting_device")));
        QList<BlockingProcess> blocking;
        for (const QString &name : holders)
            blocking << BlockingProcess{100 + blocking.size(), name, name.left(3)};
        w.devices.ejects[0].completion(ejected, blocking, reason);
        w.tick();
        QVERIFY(!w.view.isEjecting());
        if (!ejected) {
            QVERIFY(!w.view.showDeviceNotification());
            QCOMPARE(w.view.alertTitle(), QStringLiteral("弹出失败"));
            QCOMPARE(w.view.alertMessage(), message);
            QCOMPARE(w.view.selectedDevice()->id, a.id);
            return;
        }
        QVERIFY(w.view.showDeviceNotification());
        QCOMPARE(w.view.deviceNotificationMessage(), localized(QStringLiteral("please_reconnect_device")));
        QVERIFY(!w.view.selectedDevice());
        w.tick(5000ms);   // the list still shows the stick: the poll must not pick it again
        QVERIFY(!w.view.showDeviceNotification());
        QVERIFY(!w.view.selectedDevice());
    }
};

SWEEPBROOK_TEST_MAIN(TestContentView)
#include "test_content_view.moc"
