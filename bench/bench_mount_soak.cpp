// The whole app with its window while one FAT32 stick (fusefat on a loop
// device) is mounted and unmounted over and over, as a user plugs a stick in
// and pulls it out: after each mount the window has listed and selected the
// stick, after each unmount it has dropped it. Every `--every` cycles the
// heap in use is read after malloc_trim (mallinfo2: what the allocator hands
// out, mapped blocks included), with the process's resident size, open
// descriptors and threads. After the warm-up (the first tenth of the cycles)
// the heap should stay flat; the growth per cycle over the rest is printed.
//
// The app runs in this process (the same composition as main(), the real
// mount table, its monitor and its pool), in a mount namespace of its own,
// so only this stick comes and goes; run as root, under xvfb-run or
// offscreen. Its diagnostics go to standard output (send them to a file or
// /dev/null); the figures go to standard error.
//
//   bench_mount_soak [cycles=10000] [--every N] [--exit-without-teardown]
//
// --exit-without-teardown ends the process right after the last figures, so
// that heaptrack counts what is still held as leaked: two runs of different
// lengths compared (heaptrack_print --diff) show what grows per cycle.

#include "app/SweepbrookApp.h"
#include "mainwindow/ContentView.h"
#include "mainwindow/DeviceService.h"
#include "mainwindow/views/MainWindow.h"
#include "platform/Preferences.h"

#include "MountFixture.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <cstdlib>

#include <malloc.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

void say(const char *format, auto... values)
{
    std::fprintf(stderr, format, values...);
    std::fflush(stderr);
}

// This process's own mount namespace, with the sticks other programs mounted
// under the places the app lists detached in it (and nowhere else).
bool enterOwnNamespace()
{
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    QList<QByteArray> others;
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 5)
            continue;
        const QByteArray &point = fields.at(4);
        if (point.startsWith("/tmp/sweepbrook-") || point.startsWith("/media/") || point.startsWith("/run/media/"))
            others.prepend(point);   // the deepest first
    }
    for (const QByteArray &point : std::as_const(others)) {
        // Octal escapes as the kernel writes them ("\040" for a space).
        QByteArray path;
        for (qsizetype i = 0; i < point.size(); ++i) {
            if (point.at(i) == '\\' && i + 3 < point.size()) {
                path.append(char(point.mid(i + 1, 3).toInt(nullptr, 8)));
                i += 3;
            } else {
                path.append(point.at(i));
            }
        }
        ::umount2(path.constData(), MNT_DETACH);
    }
    return true;
}

struct Reading
{
    qint64 heap = 0;        // bytes handed out by malloc, after malloc_trim
    qint64 resident = 0;    // kB
    int descriptors = 0;
    int threads = 0;
};

Reading read()
{
    ::malloc_trim(0);
    const struct mallinfo2 info = ::mallinfo2();
    Reading reading;
    reading.heap = qint64(info.uordblks + info.hblkhd);
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                reading.resident = line.mid(6).trimmed().split(' ').value(0).toLongLong();
            else if (line.startsWith("Threads:"))
                reading.threads = line.mid(8).trimmed().toInt();
        }
    }
    reading.descriptors = int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
    return reading;
}

bool listed(const SweepbrookApp &app, const QString &point)
{
    for (const LocalUSBDevice &device : app.deviceService().connectedDevices()) {
        if (device.path == point)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    int cycles = 10000;
    int every = 500;
    bool exitWithoutTeardown = false;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg = argv[i];
        if (arg == "--every" && i + 1 < argc)
            every = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--exit-without-teardown")
            exitWithoutTeardown = true;
        else if (arg.toInt() > 0)
            cycles = arg.toInt();
        else {
            say("usage: bench_mount_soak [cycles] [--every N] [--exit-without-teardown]\n");
            return 2;
        }
    }
    if (::geteuid() != 0) {
        say("run as root: it mounts a stick\n");
        return 1;
    }
    // Before any thread: threads started earlier would stay in the old namespace.
    if (!enterOwnNamespace()) {
        say("cannot make a mount namespace of its own\n");
        return 1;
    }
    if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Fat32); !why.isEmpty()) {
        say("%s\n", qPrintable(why));
        return 1;
    }
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication qt(argc, argv);
    SweepbrookApp::prepareProcess();
    QTemporaryDir home;
    Preferences preferences(home.filePath(QStringLiteral("preferences.json")));
    preferences.setBool(QStringLiteral("hasCompletedOnboarding"), true);

    MountFixture fx;
    const std::optional<QString> image = fx.makeImage(MountFixture::Kind::Fat32, 32, QStringLiteral("SOAK"));
    const std::optional<QString> loop = image ? fx.attachLoop(*image) : std::nullopt;
    if (!loop) {
        say("no stick: %s\n", qPrintable(fx.lastError()));
        return 1;
    }
    const QString point = fx.mountRoot() + QStringLiteral("/SOAK");
    QDir().mkpath(point);

    int code = 0;
    {
        SweepbrookApp::Options options;
        options.preferences = &preferences;
        SweepbrookApp app(options);
        app.start();
        if (!QTest::qWaitForWindowExposed(&app.window())) {
            say("the window did not show\n");
            return 1;
        }
        ContentView &view = app.contentView();
        const auto selected = [&] { return view.selectedDevice() && view.selectedDevice()->path == point; };

        say("cycles: %d, figures every %d\n", cycles, every);
        say("%8s %14s %12s %5s %8s\n", "cycle", "heap bytes", "RSS kB", "fds", "threads");
        const int warmUp = std::max(every, cycles / 10 / every * every);
        std::optional<Reading> afterWarmUp;
        Reading last = read();
        say("%8d %14lld %12lld %5d %8d\n", 0, last.heap, last.resident, last.descriptors, last.threads);
        for (int cycle = 1; cycle <= cycles; ++cycle) {
            if (!fx.mountFat(*loop, point)
                || !QTest::qWaitFor([&] { return listed(app, point) && selected(); }, 20000)) {
                say("cycle %d: the stick was not listed: %s\n", cycle, qPrintable(fx.lastError()));
                code = 1;
                break;
            }
            if (!fx.unmount(point)
                || !QTest::qWaitFor([&] { return !listed(app, point) && !view.selectedDevice(); }, 20000)) {
                say("cycle %d: the stick was not dropped\n", cycle);
                code = 1;
                break;
            }
            if (cycle % every == 0 || cycle == cycles) {
                QTest::qWait(50);   // the window's last refreshes
                last = read();
                say("%8d %14lld %12lld %5d %8d\n", cycle, last.heap, last.resident, last.descriptors, last.threads);
                if (cycle == warmUp)
                    afterWarmUp = last;
            }
        }
        if (afterWarmUp && code == 0 && cycles > warmUp) {
            const double perCycle = double(last.heap - afterWarmUp->heap) / double(cycles - warmUp);
            say("heap after the warm-up (%d cycles): %lld bytes; at the end: %lld bytes; %.1f bytes per cycle\n",
                warmUp, afterWarmUp->heap, last.heap, perCycle);
        }
        if (exitWithoutTeardown) {
            std::fflush(stdout);
            std::_Exit(code);
        }
    }
    return code;
}
