// How long the main thread stands still while the window works: a heartbeat
// timer (1 ms) on the event loop records the longest gap between its ticks,
// during an authorization and a quick clean of a real exFAT stick (exfat-fuse
// on a loop device, needs root) whose FUSE daemon stops answering for 2 s as
// each begins, and during saves of a history of 100,000 records (no root needed).
// The window's logic runs over the real device manager and the app's
// scheduler, without widgets. The floor is the same heartbeat with the window
// idle. Target: every stall under 16 ms (one frame).
// Run: QT_QPA_PLATFORM=offscreen build/bench/bench_main_thread > /dev/null 2> stalls.txt
//      (the window logic logs to stdout)
#include "devices/USBDeviceManager.h"
#include "mainwindow/ContentView.h"
#include "mainwindow/DeviceService.h"
#include "mainwindow/FolderPicker.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/Scheduler.h"
#include "localization/LanguageManager.h"

#include "BenchSupport.h"
#include "FakeMachine.h"
#include "MountFixture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <thread>

#include <signal.h>

using namespace std::chrono_literals;

namespace {

// The longest the event loop went without running the heartbeat, beyond its
// interval, while it was on.
class Heartbeat
{
public:
    Heartbeat()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_longest = std::max(m_longest, now - m_last);
            m_last = now;
        });
    }
    void start()
    {
        m_longest = 0;
        m_clock.start();
        m_last = 0;
        m_timer.start();
    }
    // Milliseconds of the longest gap, less the interval.
    double stop()
    {
        m_timer.stop();
        return std::max(0.0, double(m_longest) / 1e6 - 1.0);
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};

// Runs the event loop until `done` holds (or five minutes have passed).
bool spinUntil(const std::function<bool()> &done)
{
    QElapsedTimer limit;
    limit.start();
    while (!done()) {
        if (limit.elapsed() > 300000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

double idleFloor(Heartbeat &heartbeat)
{
    heartbeat.start();
    spinUntil([start = QElapsedTimer()]() mutable {
        if (!start.isValid())
            start.start();
        return start.elapsed() > 2000;
    });
    return heartbeat.stop();
}

// The panel answers with the folder it opened at, on the next turn.
class RootPicker final : public FolderPicker
{
public:
    void chooseFolder(const QString &, const QString &startPath, Completion completion) override
    {
        QTimer::singleShot(0, [startPath, completion] { completion(startPath); });
    }
};

// The stick's daemon answers nothing for 2 s from now.
void stall(pid_t daemon)
{
    if (daemon <= 0)
        return;
    ::kill(daemon, SIGSTOP);
    std::thread([daemon] {
        std::this_thread::sleep_for(2s);
        ::kill(daemon, SIGCONT);
    }).detach();
}

CleanHistory record(int n)
{
    CleanHistory r;
    r.id = QUuid::createUuid();
    r.deviceName = QStringLiteral("STICK %1").arg(n);
    r.deviceID = QStringLiteral("/media/user/STICK|sdb1");
    r.timestamp = QDateTime::currentDateTimeUtc();
    r.fileTypes = {QStringLiteral("dsStore"), QStringLiteral("appleDouble")};
    for (int i = 0; i < 2; ++i) {
        const bench::Junk junk = bench::photoStickJunk(QStringLiteral("/media/user/STICK"), n * 2 + i);
        r.cleanedFiles.append({junk.item.name(), junk.item.path(), junk.item.size, FileTypes::rawValue(junk.kind)});
        r.freedSpace += junk.item.size;
    }
    r.cleanedFileCount = r.cleanedFiles.size();
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QTemporaryDir dir;
    Preferences preferences(dir.filePath(QStringLiteral("preferences.json")));
    NotificationCenter center;
    LanguageManager language(preferences, center);
    Scheduler &scheduler = Scheduler::shared();
    Heartbeat heartbeat;
    std::fprintf(stderr, "longest main-thread stall, ms (beyond the 1 ms heartbeat)\n");
    std::fprintf(stderr, "%-44s %8s %8s %8s\n", "phase", "stall", "floor", "took");

    MountFixture fx;
    const QString why = MountFixture::whyUnavailable(MountFixture::Kind::ExFat);
    const QString root = fx.mountRoot() + QStringLiteral("/BENCH");
    const QString mountInfo = dir.filePath(QStringLiteral("mountinfo"));
    if (!why.isEmpty() || !fx.mountNew(MountFixture::Kind::ExFat, root, 64, QStringLiteral("BENCH"))
        || !MountFixture::writeMountInfoOf(root, mountInfo)) {
        std::fprintf(stderr, "%-44s skipped: %s\n", "quick clean, authorization", qPrintable(why.isEmpty() ? fx.lastError() : why));
    }
    const bool stick = QFileInfo(mountInfo).exists();
    if (stick) {
        for (int i = 0; i < 200; ++i) {
            const bench::Junk junk = bench::photoStickJunk(root, i);
            testsupport::writeFile(junk.item.path(), QByteArray(int(junk.item.size % 8192), 'j'));
        }
    }

    USBDeviceManager::Environment env;
    env.paths.mountInfo = stick ? mountInfo : dir.filePath(QStringLiteral("none"));
    env.dotClean = QStringLiteral(SWEEPBROOK_DOT_CLEAN);
    env.useUDisks2 = false;
    env.udisksctl = env.umount = QStringLiteral("false");   // the eject after a grant fails at once
    env.lsof = QStringLiteral("true");
    USBDeviceManager manager(env, scheduler, preferences, center);
    USBDeviceService devices(manager);
    RootPicker picker;
    ContentView view({devices, picker, scheduler, preferences, center, &language, {}});
    view.onAppearSetup();

    if (stick && spinUntil([&] { return !devices.connectedDevices().isEmpty(); })) {
        const pid_t daemon = MountFixture::fuseDaemon(root);
        const LocalUSBDevice device = devices.connectedDevices().first();
        view.selectDevice(device);
        spinUntil([&] { return view.deviceReady(); });

        // The authorization of a device taken as unreadable: the look at its
        // path, the panel, the grant, the access tried and the re-read.
        LocalUSBDevice unreadable = device;
        unreadable.isAccessible = false;
        const double floor = idleFloor(heartbeat);
        QElapsedTimer took;
        took.start();
        heartbeat.start();
        stall(daemon);
        view.authorizeButtonAction(unreadable);
        spinUntil([&] { return !view.isAuthorizing() && view.showingAlert(); });
        std::fprintf(stderr, "%-44s %8.1f %8.1f %8lld\n", "authorization (stick answers after 2 s)", heartbeat.stop(),
                     floor, static_cast<long long>(took.elapsed()));
        view.dismissAlert();
        spinUntil([&] { return !view.isEjecting() && view.showingAlert(); });   // the eject after it fails
        view.dismissAlert();

        // A quick clean: scan, clean (dot_clean and ordinary removal), record, save.
        took.restart();
        heartbeat.start();
        stall(daemon);
        view.quickCleanDevice(device);
        spinUntil([&] { return !view.isScanning() && (view.cleanedFileCount() > 0 || view.showingAlert()); });
        std::fprintf(stderr, "%-44s %8.1f %8.1f %8lld   (%lld files removed)\n", "quick clean of 200 files (after 2 s)",
                     heartbeat.stop(), floor, static_cast<long long>(took.elapsed()),
                     static_cast<long long>(view.cleanedFileCount()));
    }

    // Saves of a long history: the whole list written after each change.
    QList<CleanHistory> history;
    history.reserve(100000);
    for (int n = 0; n < 100000; ++n)
        history.append(record(n));
    view.setCleanHistory(history);
    preferences.flush();
    spinUntil([&] { return preferences.flush(); });
    const double floor = idleFloor(heartbeat);
    const QString file = preferences.filePath();
    const qint64 before = QFileInfo(file).size();
    heartbeat.start();
    QElapsedTimer call;
    // Two changes, each in a turn of its own: the second comes while the
    // first one's save still holds the list, so the window's list is copied.
    QElapsedTimer each;
    each.start();
    view.deleteHistoryRecord(view.cleanHistory().first().id);
    double direct = double(each.nsecsElapsed()) / 1e6;
    QCoreApplication::processEvents();
    each.restart();
    call.start();
    view.deleteHistoryRecord(view.cleanHistory().first().id);
    direct = std::max(direct, double(each.nsecsElapsed()) / 1e6);
    // Until the file holds it (no wait on the main thread: its size is looked at).
    spinUntil([&] { return QFileInfo(file).size() != before && QFileInfo(file).size() < before; });
    const double stalled = heartbeat.stop();
    const double written = double(call.nsecsElapsed()) / 1e6;
    std::fprintf(stderr, "%-44s %8.1f %8.1f %8.0f   (the longer call %.1f ms)\n", "history saves of 100,000 records",
                 std::max(stalled, direct), floor, written, direct);
    preferences.flush();
    return 0;
}
