// The window's logic where it used to lose track of its device or to hide how
// something ended: requests parked across another device's removal, a late
// result of a stick pulled and put back, scans that did not finish, cleans
// that left files behind, settings that could not be saved, and looks at a
// device that keep the main thread waiting.

#include "cleaning/SystemCleanHelper.h"
#include "history/HistoryStore.h"
#include "localization/ByteCountFormat.h"
#include "localization/Localization.h"
#include "platform/DialogPresenter.h"

#include "ConfigFolder.h"
#include "FakeDeviceService.h"
#include "MountFixture.h"
#include "TestMain.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <thread>

#include <signal.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

using testsupport::ConfigFolder;
using testsupport::makeDevice;

FileItem item(const QString &path, qint64 size, int failure = 0)
{
    FileItem file = FileItem::fromPath(path, size);
    file.failure = failure;
    return file;
}

QString L(const char *key)
{
    return localized(QString::fromLatin1(key));
}

using testsupport::Window;

ScanOutcome outcome(ScanOutcome::End end, const ScanResult &found, qint64 unreadable = 0, int error = 0)
{
    ScanOutcome result(found);
    result.end = end;
    result.unreadableFolders = unreadable;
    result.error = error;
    return result;
}

// Keeps every dialog shown, and answers it as `answer` says (0: closed without a button).
struct AskedDialogs final : DialogPresenter
{
    QList<GuideDialog> shown;
    std::function<int()> answer = [] { return 0; };
    int runModal(const GuideDialog &dialog) override
    {
        shown << dialog;
        return answer();
    }
    bool openPrivilegedAccessSettings() override { return false; }
};

// The window's logic over the fakes and a preferences store of the test's own, appeared.
struct WindowOver
{
    explicit WindowOver(Preferences &store) : prefs(store), language(store, center) { view.onAppearSetup(); }
    Preferences &prefs;
    VirtualScheduler clock;
    NotificationCenter center;
    LanguageManager language;
    testsupport::FakeDevices devices;
    testsupport::FakePicker picker;
    AskedDialogs dialogs;
    ContentView view{{devices, picker, clock, prefs, center, &language, {}, &dialogs}};
};

// What the window shows after a scan: the alert's title and message ("" for
// none), the kinds listed and the folders it says could not be read.
struct Shown { QString title, message; int kinds; qint64 unreadable; bool cleaned; };

} // namespace

Q_DECLARE_METATYPE(ScanOutcome)
Q_DECLARE_METATYPE(ConfigFolder::State)
Q_DECLARE_METATYPE(Shown)

class TestWindowOutcomes : public QObject
{
    Q_OBJECT

private slots:
    // A scan parked while a readiness timer ran still runs when another
    // device's removal stops that timer.
    void parkedRequestSurvivesAnotherRemoval()
    {
        const LocalUSBDevice a = makeDevice(QStringLiteral("a"));
        const LocalUSBDevice b = makeDevice(QStringLiteral("b"));
        Window w({a, b});
        w.view.scanDevice(a);   // parked; its own readiness timer starts
        w.tick(1000ms);
        w.devices.setList({a});   // b is pulled
        w.tick(500ms);
        QVERIFY(!w.view.deviceReady());
        w.tick(4000ms);
        QCOMPARE(w.devices.scans.size(), 1);
        QCOMPARE(w.devices.scans[0].device.id, a.id);
    }

    // A stick pulled and put back has the same id: the scan of its first
    // insertion answers too late to be taken, and so leaves nothing to clean.
    void lateResultOfAnEarlierInsertion()
    {
        const LocalUSBDevice a = makeDevice(QStringLiteral("a"));
        Window w;
        w.devices.setList({a});
        w.tick(5500ms);   // inserted, selected, ready
        w.view.scanDevice(a);
        QVERIFY(w.view.isScanning());
        w.devices.setList({});
        w.tick(500ms);
        QVERIFY(!w.view.selectedDevice() && !w.view.isScanning());
        w.devices.setList({a});
        w.tick(5500ms);
        QCOMPARE(w.view.selectedDevice()->id, a.id);

        w.devices.scans[0].completion({{FileType::trash, {item("/media/a/.Trashes", 10)}}});
        w.tick();
        QVERIFY(w.view.scanResults().isEmpty());
        QVERIFY(!w.view.showingAlert());
        w.view.cleanButtonTapped();
        QVERIFY(w.devices.cleans.isEmpty());
    }

    // How a scan ended, through to what the window shows; a quick clean
    // deletes nothing on the strength of a scan that did not finish.
    void scanOutcomes_data()
    {
        QTest::addColumn<ScanOutcome>("scan");
        QTest::addColumn<bool>("quick");
        QTest::addColumn<Shown>("shown");
        const ScanResult junk{{FileType::trash, {item("/media/a/.Trashes", 10)}}};
        const QString nothing = L("no_cleanable_files_found");
        const QString unreadable = format(L("scan_unreadable_folders"), 2);
        const QString cut = format(L("scan_cut_short_message"), 1) + QStringLiteral("\n\n") + L("failure_reason_io");
        for (const bool quick : {false, true}) {
            const char *kind = quick ? "quick clean" : "scan";
            QTest::addRow("%s, volume gone", kind) << outcome(ScanOutcome::End::volumeGone, junk, 0) << quick
                                                   << Shown{L("error"), L("device_disconnected"), 0, 0, false};
            QTest::addRow("%s, folders unreadable", kind)
                << outcome(ScanOutcome::End::complete, junk, 2) << quick << Shown{{}, {}, quick ? 0 : 1, 2, quick};
            QTest::addRow("%s, cut short", kind) << outcome(ScanOutcome::End::cutShort, junk, 0, EIO) << quick
                                                 << Shown{L("error"), cut, 1, 0, false};
            QTest::addRow("%s, device stopped answering", kind)
                << outcome(ScanOutcome::End::notAnswering, {}, 0, ETIMEDOUT) << quick
                << Shown{L("device_not_answering_title"), format(L("scan_not_answering_message"), QStringLiteral("a")), 0,
                         0, false};
        }
        QTest::newRow("scan, nothing readable found")
            << outcome(ScanOutcome::End::complete, {}, 2) << false
            << Shown{L("cleaning_completed_title"), nothing + u'\n' + unreadable, 0, 2, false};
    }

    void scanOutcomes()
    {
        QFETCH(ScanOutcome, scan);
        QFETCH(bool, quick);
        QFETCH(Shown, shown);
        const LocalUSBDevice a = makeDevice(QStringLiteral("a"));
        Window w({a});
        w.devices.cleanAtOnce = true;
        w.selectReady(a);
        quick ? w.view.quickCleanDevice(a) : w.view.scanDevice(a);
        const int refreshes = w.devices.refreshCount;
        w.devices.scans[0].finish(scan);
        w.tick();
        QVERIFY(!w.view.isScanning());
        QCOMPARE(w.view.showingAlert(), !shown.title.isEmpty());
        if (w.view.showingAlert()) {
            QCOMPARE(w.view.alertTitle(), shown.title);
            QCOMPARE(w.view.alertMessage(), shown.message);
        }
        QCOMPARE(w.view.scanResults().size(), shown.kinds);
        QCOMPARE(w.view.unreadableFolderCount(), shown.unreadable);
        QCOMPARE(w.devices.cleans.size(), shown.cleaned ? 1 : 0);
        // A volume gone is looked for again at once.
        QCOMPARE(w.devices.refreshCount > refreshes, scan.end == ScanOutcome::End::volumeGone);
    }

    // A clean that left files behind says so: with the completion view's
    // count and reason when something went, with an alert and its reason
    // when nothing did. A device that stopped answering or went away
    // half-way is told of with both counts, also once it is no longer listed
    // (pulled: before the clean's end); a clean that finished all the same
    // through what it held is told of with its result.
    void cleanFailures_data()
    {
        QTest::addColumn<bool>("quick");
        QTest::addColumn<int>("removed");   // of the three
        QTest::addColumn<int>("error");     // why the others stayed
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("pulled");
        for (const bool quick : {false, true}) {
            const char *kind = quick ? "quick clean" : "clean";
            QTest::addRow("%s, password not asked for", kind)
                << quick << 0 << SystemCleanHelper::noAuthenticationAgent << L("failure_reason_no_authentication_agent")
                << false;
            QTest::addRow("%s, device gone half-way", kind)
                << quick << 1 << ENOTCONN << format(L("clean_device_gone_message"), QStringLiteral("a"), 1, 2) << false;
            QTest::addRow("%s, device pulled half-way", kind)
                << quick << 1 << ENOTCONN << format(L("clean_device_gone_message"), QStringLiteral("a"), 1, 2) << true;
            QTest::addRow("%s, device pulled at once", kind)
                << quick << 0 << ENODEV << format(L("clean_device_gone_message"), QStringLiteral("a"), 0, 3) << true;
            QTest::addRow("%s, read-only stick", kind) << quick << 0 << EROFS << L("failure_reason_read_only") << false;
            QTest::addRow("%s, authorization dismissed", kind) << quick << 0 << ECANCELED << L("failure_reason_cancelled") << false;
            QTest::addRow("%s, changed since the scan", kind) << quick << 0 << ESTALE << L("failure_reason_changed") << false;
            QTest::addRow("%s, partly removed", kind) << quick << 2 << EACCES << QString() << false;
            QTest::addRow("%s, administrator tool stopped half-way", kind)
                << quick << 1 << SystemCleanHelper::toolStopped << QString() << false;
            QTest::addRow("%s, pkexec missing", kind)
                << quick << 0 << SystemCleanHelper::elevationMissing << L("failure_reason_pkexec_missing") << false;
            QTest::addRow("%s, no polkit authority", kind)
                << quick << 0 << SystemCleanHelper::noPolkitAuthority << L("failure_reason_no_polkit_authority") << false;
            QTest::addRow("%s, finished while pulled", kind)
                << quick << 3 << 0
                << format(L("clean_complete_message"), QStringLiteral("a")) + u'\n'
                       + format(L("clean_summary"), 3, displayedByteCount(6))
                << true;
            QTest::addRow("%s, stopped answering at once", kind) << quick << 0 << ETIMEDOUT
                                                                 << L("failure_reason_not_answering") << false;
            QTest::addRow("%s, stopped answering half-way", kind)
                << quick << 1 << ETIMEDOUT << format(L("clean_not_answering_message"), QStringLiteral("a"), 1, 2)
                << false;
        }
    }

    void cleanFailures()
    {
        QFETCH(bool, quick);
        QFETCH(int, removed);
        QFETCH(int, error);
        QFETCH(QString, reason);
        QFETCH(bool, pulled);
        const LocalUSBDevice a = makeDevice(QStringLiteral("a"));
        Window w({a});
        w.selectReady(a);
        const QList<FileItem> files{item("/media/a/.DS_Store", 1), item("/media/a/._x", 2), item("/media/a/._y", 3)};
        quick ? w.view.quickCleanDevice(a) : w.view.scanDevice(a);
        w.devices.scans[0].completion({{FileType::dsStore, {files[0]}}, {FileType::temporaryFiles, files.mid(1)}});
        if (!quick)
            w.view.cleanButtonTapped();
        QCOMPARE(w.devices.cleans.size(), 1);
        QList<FileItem> failed;
        for (const FileItem &file : files.mid(removed))
            failed << item(file.path(), file.size, error);
        if (pulled) {
            w.devices.setList({});
            w.tick(500ms);
            QVERIFY(!w.view.selectedDevice());
        }
        w.devices.cleans[0].completion(files.mid(0, removed), failed);
        w.tick();
        if (pulled) {
            QCOMPARE(w.view.alertTitle(), L(error ? "device_gone_during_clean_title" : "cleaning_completed_title"));
            QCOMPARE(w.view.alertMessage(), reason);
            w.settle();
            QCOMPARE(HistoryStore(w.prefs).load().size(), removed ? 1 : 0);
            return;
        }

        QCOMPARE(w.view.cleanedFileCount(), removed);
        QCOMPARE(w.view.failedFileCount(), 3 - removed);
        QCOMPARE(w.view.failureReason(), error);
        QVERIFY(!w.view.isScanning());
        w.settle();
        const QList<CleanHistory> history = HistoryStore(w.prefs).load();
        if (removed > 0) {
            // The completion view: what went, and the count of what did not;
            // a device that stopped answering is told of besides.
            QCOMPARE(w.view.showingAlert(), !reason.isEmpty());
            if (!reason.isEmpty())
                QCOMPARE(w.view.alertMessage(), reason);
            QCOMPARE(w.view.totalJunkSize(), totalSize(files.mid(0, removed)));
            QVERIFY(w.view.scanResults().isEmpty());
            QVERIFY(history.size() == 1 && history[0].cleanedFileCount == removed);
            return;
        }
        // Nothing went: the files are still listed, and the alert says why.
        QCOMPARE(w.view.alertTitle(), L("clean_failed_title"));
        QCOMPARE(w.view.alertMessage(), format(L("clean_failed_message"), 3, a.name) + QStringLiteral("\n\n") + reason);
        QCOMPARE(w.view.scanResults().size(), 2);
        QCOMPARE(w.view.totalJunkSize(), 6);
        QVERIFY(history.isEmpty());
    }

    // Settings that cannot be written are told once, in our words, and not
    // over an alert that is up.
    void preferencesWriteFailureToldOnce()
    {
        QTemporaryDir dir;
        QFile blocker(dir.filePath(QStringLiteral("config")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));   // a file where the folder should be
        blocker.close();
        const QString path = dir.filePath(QStringLiteral("config/sweepbrook/preferences.json"));
        Preferences prefs(path);
        WindowOver window(prefs);
        ContentView &view = window.view;
        VirtualScheduler &clock = window.clock;
        testsupport::FakeDevices &devices = window.devices;

        view.setPromptCleanOnInsert(true);
        QVERIFY(!prefs.flush());
        clock.runDue();
        QVERIFY(view.showingAlert());
        QCOMPARE(view.alertTitle(), L("preferences_write_failed_title"));
        QCOMPARE(view.alertMessage(), format(L("preferences_write_failed_message"), path) + QStringLiteral("\n\n")
                                          + L("failure_reason_not_a_folder"));
        view.dismissAlertAndRefresh();
        view.setAutoEjectAfterClean(true);
        QVERIFY(!prefs.flush());
        clock.advance(1000ms);
        QVERIFY(!view.showingAlert());   // once per run of failures

        // After a write that worked, the next failure is told again, once the
        // alert up now is closed.
        QVERIFY(QFile::remove(dir.filePath(QStringLiteral("config"))));
        view.setAutoEjectAfterClean(false);
        QVERIFY(prefs.flush());
        QVERIFY(QDir(dir.filePath(QStringLiteral("config"))).removeRecursively());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const LocalUSBDevice a = makeDevice(QStringLiteral("a"));
        view.ejectAfterAuthorizationCancel(a);
        devices.ejects.last().completion(false, {}, {});
        clock.runDue();
        QCOMPARE(view.alertTitle(), L("eject_failed"));
        view.setPromptCleanOnInsert(false);
        QVERIFY(!prefs.flush());
        clock.runDue();
        QCOMPARE(view.alertTitle(), L("eject_failed"));
        view.dismissAlert();
        clock.runDue();
        QCOMPARE(view.alertTitle(), L("preferences_write_failed_title"));
        view.dismissAlert();
    }

    // Settings or history that could not be read were set aside, and the
    // window starts without them: it says once what was kept, and where.
    void setAsideToldOnce()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("sweepbrook/preferences.json"));
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("sweepbrook"))));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("{not json") > 0);
        file.close();
        const auto appear = [](Preferences &prefs) {
            WindowOver window(prefs);
            window.clock.settle();   // the stored history comes in after the window shows
            const ContentView &view = window.view;
            return QStringList{view.showingAlert() ? view.alertTitle() : QString(), view.alertMessage()};
        };
        {
            Preferences prefs(path);
            const QString kept = QDir(dir.filePath(QStringLiteral("sweepbrook")))
                                     .entryInfoList({QStringLiteral("preferences.json.corrupt-*")}).value(0).filePath();
            QVERIFY(!kept.isEmpty());
            QCOMPARE(appear(prefs), (QStringList{L("stored_data_set_aside_title"), format(L("preferences_set_aside_message"), kept)}));
            QCOMPARE(appear(prefs).value(0), QString());   // told once

            prefs.setBytes(HistoryStore::key, "[1");   // a history no version wrote
            QVERIFY(prefs.flush());
        }
        Preferences prefs(path);
        QCOMPARE(appear(prefs), (QStringList{L("stored_data_set_aside_title"),
                                            format(L("history_set_aside_message"), HistoryStore::backupKey, path)}));
        QCOMPARE(appear(prefs).value(0), QString());
        // Records that cannot be read among others are kept aside alone, and told as such.
        prefs.setBytes(HistoryStore::key, "[1,2]");
        QCOMPARE(appear(prefs), (QStringList{L("stored_data_set_aside_title"),
                                            format(L("history_records_set_aside_message"), 2,
                                                   HistoryStore::backupKey + u'2', path)}));
    }

    // What the folder of the settings does not take (a clean's record, or a
    // change of settings that could not be read and could not be set aside,
    // which is told at start) is said of the history or the settings and of
    // the folder's state, and kept: written once the folder takes it again,
    // with the next save or at quit. A quit while the folder still does not
    // take it asks first, saying so with the folder's state: a question
    // closed without an answer keeps the window; Try Again writes again (and
    // asks again while the folder still refuses); Quit Anyway closes without it.
    void keptUntilTheFolderTakesIt_data()
    {
        QTest::addColumn<bool>("unreadable");
        QTest::addColumn<ConfigFolder::State>("state");
        QTest::addColumn<int>("quit");   // 0: the next save takes it; else the answer that ends the question
        QTest::newRow("a record, read-only, then the next save") << false << ConfigFolder::State::readOnly << 0;
        QTest::newRow("a record, full, freed at quit") << false << ConfigFolder::State::full << 1000;
        QTest::newRow("a record, read-only, quit without it") << false << ConfigFolder::State::readOnly << 1001;
        QTest::newRow("unreadable settings, read-only, freed at quit") << true << ConfigFolder::State::readOnly << 1000;
    }

    void keptUntilTheFolderTakesIt()
    {
        QFETCH(bool, unreadable);
        QFETCH(ConfigFolder::State, state);
        QFETCH(int, quit);
        QTemporaryDir dir;
        const ConfigFolder folder(dir.filePath(QStringLiteral("config")));
        QFile corrupt(folder.file());
        QVERIFY(!unreadable || (corrupt.open(QIODevice::WriteOnly) && corrupt.write("{not json") > 0));
        corrupt.close();
        if (!folder.set(unreadable ? state : ConfigFolder::State::writable) || (state == ConfigFolder::State::full && !folder.mounted))
            QSKIP("the folder cannot be taken away here (filling it needs a tmpfs of our own, as root)");
        const FileItem junk = item(QStringLiteral("/media/a/.DS_Store"), 6148);
        QUuid recorded;
        {
            Preferences prefs(folder.file());
            WindowOver window(prefs);
            ContentView &view = window.view;
            QVERIFY(window.clock.settle());
            if (unreadable) {
                QCOMPARE(view.alertMessage(), format(L("preferences_not_set_aside_message"), folder.file(), folder.told(state)));
                view.dismissAlert();
                view.setAutoEjectAfterClean(true);
            } else {
                window.devices.setList({makeDevice(QStringLiteral("a"))});
                window.clock.advance(5500ms);   // inserted, selected, ready
                view.scanDevice(*view.selectedDevice());
                window.devices.scans.value(0).completion({{FileType::dsStore, {junk}}});
                view.cleanButtonTapped();
                QVERIFY(folder.set(state));
                window.devices.cleans.value(0).completion({junk}, {});
                QVERIFY(window.clock.settle());
                recorded = view.cleanHistory().value(0).id;
            }
            QVERIFY(!prefs.flush());
            window.clock.runDue();
            const char *what = unreadable ? "preferences_write_failed" : "history_write_failed";
            QCOMPARE(view.alertTitle(), localized(QLatin1String(what) + QStringLiteral("_title")));
            QCOMPARE(view.alertMessage(), format(localized(QLatin1String(what) + QStringLiteral("_message")), folder.file())
                                              + QStringLiteral("\n\n") + folder.told(state));
            if (quit == 0) {
                QVERIFY(folder.set(ConfigFolder::State::writable));
                QVERIFY(prefs.flush());
            } else {
                view.dismissAlert();
                QSignalSpy ready(&view, &ContentView::readyToClose);
                QVERIFY(!view.prepareToClose());
                window.clock.runDue();
                QCOMPARE(window.dialogs.shown.size(), 1);   // closed without an answer
                QVERIFY(!view.isQuitting() && ready.isEmpty());
                int asked = 0;
                bool freed = quit != 1000;
                window.dialogs.answer = [&] {
                    if (++asked == 2 && quit == 1000)
                        freed = folder.set(ConfigFolder::State::writable);
                    return asked == 1 ? 1000 : quit;
                };
                QVERIFY(!view.prepareToClose());
                window.clock.runDue();
                QVERIFY(freed);
                QCOMPARE(ready.size(), 1);
                QCOMPARE(window.dialogs.shown.size(), 3);   // tried again while the folder still refused
                const char *message = unreadable ? "preferences_unsaved_at_quit_message" : "history_unsaved_at_quit_message";
                for (const GuideDialog &dialog : std::as_const(window.dialogs.shown)) {
                    QCOMPARE(dialog.title, localized(QLatin1String(what) + QStringLiteral("_title")));
                    QCOMPARE(dialog.message, format(L(message), folder.file()) + QStringLiteral("\n\n") + folder.told(state)
                                                 + QStringLiteral("\n\n") + L("unsaved_at_quit_advice"));
                    QCOMPARE(dialog.buttons, (QStringList{L("retry"), L("quit_anyway")}));
                }
                QVERIFY(view.prepareToClose());   // the close that follows
            }
        }
        Preferences reopened(folder.file());
        if (quit == 1001) {
            QVERIFY(HistoryStore(reopened).load().isEmpty());   // lost, as the user was told
            return;
        }
        if (!unreadable) {
            QVERIFY(!recorded.isNull());
            QCOMPARE(HistoryStore(reopened).load().value(0).id, recorded);
            return;
        }
        QCOMPARE(reopened.boolValue(QStringLiteral("autoEjectAfterClean")), std::optional(true));
        QFile kept(QDir(folder.path).entryInfoList({QStringLiteral("preferences.json.corrupt-*")}).value(0).filePath());
        QVERIFY(kept.open(QIODevice::ReadOnly) && kept.readAll() == "{not json");
    }

    // Every look at a device during a quick clean and an authorization is made
    // off the main thread: with a device that answers only after 2 s, no task of
    // the main thread waits for it. With root, the device's path is a FAT stick
    // whose FUSE daemon is stopped for those 2 s.
    void devicesThatAnswerLateStallNothing()
    {
        MountFixture fx;
        QTemporaryDir media;
        QString root = media.filePath(QStringLiteral("stick"));
        pid_t daemon = 0;
        if (MountFixture::whyUnavailable(MountFixture::Kind::Fat32).isEmpty()) {
            root = fx.mountRoot() + QStringLiteral("/stick");
            QVERIFY2(fx.mountNew(MountFixture::Kind::Fat32, root), qPrintable(fx.lastError()));
            daemon = MountFixture::fuseDaemon(root);
        } else {
            QVERIFY(QDir().mkpath(root));
            qInfo("without a FUSE stick (%s): only the device service answers late",
                  qPrintable(MountFixture::whyUnavailable(MountFixture::Kind::Fat32)));
        }
        const LocalUSBDevice stick = makeDevice(QStringLiteral("s"), false, root);
        Window w({stick});
        w.selectReady(stick);

        QThread *const mainThread = QThread::currentThread();
        std::atomic<int> onMain{0};
        std::atomic<long long> answerAt{0};   // steady-clock ticks; 0: answers at once
        w.devices.onDeviceLook = [&](const char *) {
            if (QThread::currentThread() == mainThread)
                ++onMain;
            const auto until = std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(answerAt.load()));
            std::this_thread::sleep_until(until);
        };
        // The device stops answering for 2 s from now.
        const auto stall = [&] {
            answerAt = (std::chrono::steady_clock::now() + 2s).time_since_epoch().count();
            if (daemon > 0) {
                ::kill(daemon, SIGSTOP);
                std::thread([daemon] {
                    std::this_thread::sleep_for(2s);
                    ::kill(daemon, SIGCONT);
                }).detach();
            }
        };
        // Runs `step` and the main thread's work it leads to; the longest the
        // main thread stood still.
        const auto longestStall = [&](const std::function<void()> &step) {
            QElapsedTimer timer;
            timer.start();
            step();
            const qint64 direct = timer.elapsed();
            [&] { QVERIFY(w.clock.settle(30s)); }();
            return std::max<qint64>(direct, w.clock.longestTask().count());
        };

        // The quick clean of a device that needs a grant: its path, the grant,
        // then the panel.
        stall();
        const qint64 quickClean = longestStall([&] { w.view.quickCleanDevice(stick); });
        QVERIFY(w.picker.pending);
        QVERIFY(w.view.isAuthorizing());

        // The authorization: where the chosen folder is, the grant, access and the re-read.
        stall();
        const qint64 authorization = longestStall([&] { w.picker.pending(root); });
        QVERIFY(!w.view.isAuthorizing());
        QCOMPARE(w.devices.scans.size(), 1);   // granted: the quick clean's scan started

        QCOMPARE(onMain.load(), 0);
        QVERIFY2(quickClean < 1000, qPrintable(QString::number(quickClean)));
        QVERIFY2(authorization < 1000, qPrintable(QString::number(authorization)));
    }
};

SWEEPBROOK_TEST_MAIN(TestWindowOutcomes)
#include "test_window_outcomes.moc"
