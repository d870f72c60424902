// The window's whole flow, without widgets, on a real FAT32 stick (fusefat on
// a loop device): it appears, is selected, a quick clean removes its junk, the
// history lands in the preferences file and the automatic eject unmounts it.

#include "history/HistoryStore.h"
#include "devices/USBDeviceManager.h"

#include "FakeDeviceService.h"
#include "FakeMachine.h"
#include "MountFixture.h"
#include "TestMain.h"

#include <QFileInfo>
#include <QTemporaryDir>

using namespace std::chrono_literals;

class TestWindowFlow : public QObject
{
    Q_OBJECT

private slots:
    void insertQuickCleanRecordAndEject()
    {
        if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Fat32); !why.isEmpty())
            QSKIP(qPrintable(why));

        VirtualScheduler scheduler;
        QTemporaryDir prefsDir;
        const QString prefsFile = prefsDir.path() + "/preferences.json";
        Preferences preferences(prefsFile);
        NotificationCenter center;
        // The manager reads a copy of the mount table holding only this test's
        // stick (none of the machine's own), and looks when the test says, on
        // the scheduler's virtual time; the mount watch and udev's events that
        // make it look by itself are test_monitored_refresh's, on a real stick.
        const QString mountInfo = prefsDir.path() + "/mountinfo";
        QVERIFY(MountFixture::writeMountInfoOf({}, mountInfo));   // empty until the stick is mounted
        USBDeviceManager::Environment env;
        env.paths.mountInfo = mountInfo;
        env.startMonitoring = false;
        env.useUDisks2 = false;   // a desktop without UDisks2: the eject falls to umount (test_udisks2_desktop ejects through the real daemons)
        env.udisksctl = prefsDir.path() + "/no-udisksctl";
        env.dotClean = QStringLiteral(SWEEPBROOK_DOT_CLEAN);
        USBDeviceManager manager(env, scheduler, preferences, center);
        USBDeviceService devices(manager);
        testsupport::FakePicker picker;
        picker.cancelAtOnce = true;
        ContentView window(ContentView::Services{devices, picker, scheduler, preferences, center, nullptr, {}});
        window.setAutoEjectAfterClean(true);
        QVERIFY(scheduler.settle());
        window.onAppearSetup();   // the volumes listed now are the poll's baseline

        // Insert the stick.
        MountFixture fx;
        const auto image = fx.makeImage(MountFixture::Kind::Fat32, 32, QStringLiteral("FLOWSTICK"));
        const auto loop = image ? fx.attachLoop(*image) : std::nullopt;
        const QString point = fx.mountRoot() + QStringLiteral("/FLOWSTICK");
        if (!loop || !fx.mountFat(*loop, point))
            QSKIP(qPrintable(fx.lastError()));
        testsupport::writeFile(point + "/.DS_Store", QByteArray(6148, 'd'));
        testsupport::writeFile(point + "/._photo.jpg", QByteArray(4096, 'a'));
        testsupport::writeFile(point + "/DCIM/Thumbs.db", QByteArray(100, 't'));
        testsupport::writeFile(point + "/photo.jpg", "keep me");

        const auto step = [&](std::chrono::milliseconds by) {
            QVERIFY(MountFixture::writeMountInfoOf(point, mountInfo));
            scheduler.advance(by);
            QVERIFY(scheduler.settle(30s));
        };
        QVERIFY(MountFixture::writeMountInfoOf(point, mountInfo));
        manager.refreshDevices();
        QVERIFY(scheduler.settle(30s));
        step(500ms);   // the window's poll sees one more device
        QVERIFY(window.selectedDevice());
        QCOMPARE(window.selectedDevice()->path, point);

        // The prompt's Clean choice, before the stick has had time to settle:
        // it waits for readiness, then scans and cleans in one pass.
        window.quickCleanDevice(*window.selectedDevice());
        for (int i = 0; i < 12 && QFileInfo::exists(point + "/.DS_Store"); ++i)
            step(500ms);
        QVERIFY(!QFileInfo::exists(point + "/.DS_Store"));
        QVERIFY(!QFileInfo::exists(point + "/._photo.jpg"));
        QVERIFY(!QFileInfo::exists(point + "/DCIM/Thumbs.db"));
        QVERIFY(QFileInfo::exists(point + "/photo.jpg"));
        QVERIFY(!window.showingAlert());

        // One record, in the preferences file on disk.
        Preferences reread(prefsFile);
        const QList<CleanHistory> history = HistoryStore(reread).load();
        QCOMPARE(history.size(), 1);
        QCOMPARE(history.first().cleanedFileCount, 3);
        QCOMPARE(history.first().freedSpace, qint64(6148 + 4096 + 100));
        QCOMPARE(history.first().deviceID, window.selectedDevice()->id);

        // One second later the stick is ejected.
        for (int i = 0; i < 10 && MountFixture::isMounted(point); ++i)
            step(1000ms);
        QVERIFY(!MountFixture::isMounted(point));
        step(1000ms);   // the outcome is reported a second after the eject
        QVERIFY(!window.isEjecting());
        QVERIFY(!window.showingAlert());
        // The stick is forgotten (another volume of this machine may be selected now).
        QVERIFY(!window.selectedDevice() || window.selectedDevice()->path != point);
    }
};

SWEEPBROOK_TEST_MAIN(TestWindowFlow)
#include "test_window_flow.moc"
