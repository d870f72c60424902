// One scan or clean per device at a time, whatever starts it (the clean
// button twice, the menu's scan command, the clean-on-insert prompt, requests
// that waited for readiness), and a window that, asked to close while a
// clean runs, stops it, records what it removed and only then closes.

#include "history/HistoryStore.h"
#include "localization/Localization.h"

#include "FakeDeviceService.h"
#include "TestMain.h"

#include <QSignalSpy>

using namespace std::chrono_literals;

namespace {

using testsupport::makeDevice;
using testsupport::Window;

FileItem item(const QString &path, qint64 size)
{
    return FileItem::fromPath(path, size);
}

const ScanResult kJunk{{FileType::dsStore, {item("/media/a/.DS_Store", 10)}},
                       {FileType::temporaryFiles, {item("/media/a/._x", 20), item("/media/a/._y", 30)}}};

// The window with device a (and b) listed, a selected and ready, a's scan done.
struct Scanned : Window
{
    LocalUSBDevice a = makeDevice(QStringLiteral("a"));
    LocalUSBDevice b = makeDevice(QStringLiteral("b"));

    Scanned() : Window({makeDevice(QStringLiteral("a")), makeDevice(QStringLiteral("b"))})
    {
        selectReady(a);
        view.scanDevice(a);
        devices.scans.last().completion(kJunk);
        tick();
    }
    QList<CleanHistory> history()
    {
        settle();
        return HistoryStore(prefs).load();
    }
};

} // namespace

class TestWorkPerDevice : public QObject
{
    Q_OBJECT

private slots:
    // While a's clean runs nothing else starts on a, however it is asked
    // for; b stays free; once the clean has ended a is free again.
    void oneWorkPerDevice()
    {
        Scanned w;
        QVERIFY(w.view.canStartWork());
        w.view.cleanButtonTapped();
        w.view.cleanButtonTapped();   // the second click of a double click
        QCOMPARE(w.devices.cleans.size(), 1);
        QVERIFY(w.view.isBusy(w.a.id) && w.view.isCleaning() && !w.view.canStartWork());

        w.center.post(ContentView::triggerDeviceScan);    // the menu's scan command
        w.view.scanDevice(w.a);                          // the header's scan button
        w.view.quickCleanDevice(w.a);                    // the prompt's Clean choice
        w.view.ejectSelectedDevice();
        w.tick(4000ms);
        QCOMPARE(w.devices.scans.size(), 1);
        QCOMPARE(w.devices.cleans.size(), 1);
        QVERIFY(w.devices.ejects.isEmpty());

        // The clean's share done reaches the view; an unknown share stays unknown.
        QCOMPARE(w.view.cleanProgress(), -1.0);
        w.devices.cleans[0].progress(0.25);
        QCOMPARE(w.view.cleanProgress(), 0.25);

        // Another device is free.
        w.view.scanDevice(w.b);
        QCOMPARE(w.devices.scans.size(), 2);
        QVERIFY(w.view.isBusy(w.b.id) && !w.view.isCleaning());
        w.devices.scans[1].completion({});
        w.tick();

        w.view.selectDevice(w.a);
        w.devices.cleans[0].completion(kJunk.value(FileType::dsStore) + kJunk.value(FileType::temporaryFiles), {});
        w.tick();
        QVERIFY(!w.view.isBusy(w.a.id) && w.view.canStartWork());
        QCOMPARE(w.view.cleanedFileCount(), 3);
        QCOMPARE(w.history().size(), 1);
        QCOMPARE(w.history()[0].cleanedFileCount, 3);
        w.view.scanDevice(w.a);
        w.tick(3600ms);   // a was chosen again: ready 3 s later
        QCOMPARE(w.devices.scans.size(), 3);
    }

    // Requests that waited for readiness start one piece of work, not two:
    // the prompt's Clean and the menu's scan parked together.
    void parkedRequestsStartOneWork()
    {
        const LocalUSBDevice a = makeDevice(QStringLiteral("a"));
        Window w({a});
        w.view.quickCleanDevice(a);
        w.view.cleanButtonTapped();
        w.center.post(ContentView::triggerDeviceScan);
        w.tick(3600ms);
        QCOMPARE(w.devices.scans.size(), 1);
        QVERIFY(w.devices.cleans.isEmpty());
        QVERIFY(w.view.isBusy(a.id));
    }

    // Closing while a clean runs: the window stays and says it is
    // finishing, the clean is asked to stop, nothing new starts, and the
    // window closes once what the clean removed is recorded.
    void closingWaitsForTheClean()
    {
        Scanned w;
        QSignalSpy ready(&w.view, &ContentView::readyToClose);
        w.view.cleanButtonTapped();
        QVERIFY(!w.view.prepareToClose());
        QVERIFY(w.view.isQuitting());
        QCOMPARE(w.devices.stopRequests, 1);
        w.view.selectDevice(w.b);
        w.view.scanDevice(w.b);
        w.tick(4000ms);
        QCOMPARE(w.devices.scans.size(), 1);

        // It stopped after one item: that one is recorded, and no alert
        // holds the closing window up.
        const QList<FileItem> files = w.devices.cleans[0].files;
        QList<FileItem> stayed;
        for (const FileItem &file : files.mid(1))
            stayed << failedWith(file, EINTR);
        w.devices.cleans[0].completion(files.mid(0, 1), stayed);
        QCOMPARE(ready.size(), 0);   // not before the record is stored
        w.tick();
        QCOMPARE(ready.size(), 1);
        QVERIFY(!w.view.showingAlert());
        const QList<CleanHistory> history = HistoryStore(w.prefs).load();   // stored before the signal
        QVERIFY(history.size() == 1 && history[0].cleanedFileCount == 1);
        QVERIFY(w.view.prepareToClose());
    }

    // A scan under way stops at its next entry; the window closes once it has
    // ended, showing nothing of what it found.
    void closingStopsAScan()
    {
        Scanned w;
        QSignalSpy ready(&w.view, &ContentView::readyToClose);
        w.view.scanDevice(w.a);
        QVERIFY(!w.view.prepareToClose());
        QCOMPARE(w.devices.stopRequests, 1);
        ScanOutcome stopped(kJunk);
        stopped.end = ScanOutcome::End::stopped;
        w.devices.scans.last().finish(stopped);
        w.tick();
        QCOMPARE(ready.size(), 1);
        QVERIFY(!w.view.showingAlert() && w.view.scanResults().isEmpty() && w.devices.cleans.isEmpty());
    }
};

SWEEPBROOK_TEST_MAIN(TestWorkPerDevice)
#include "test_work_per_device.moc"
