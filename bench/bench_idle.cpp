// Idle CPU of the device side: a device manager with monitoring on (udev and
// mount watches, the fallback refresh: every half second here, since the
// fake's mount table is a file the kernel does not flag) and 4 removable
// volumes on a fake machine, left alone for 60 seconds (or the number of
// seconds given). The real app on real sticks: bench/idle_app.sh.
// With --no-udev the machine has no udev database: the file systems are
// left to blkid, as on a system where udevd does not run.
// With --events=N a child makes about N device events a minute meanwhile, of a
// device that is no block device (a "change" of /dev/null; root only), as
// other programs' network, tty and input devices do: the monitor listens for
// block devices only, and must not wake for them.
// With --block-events=N the child makes about N "change" events a minute of a
// block device that is neither removable nor listed (a loop device over a
// file here; root only), as other programs' loop devices do: the monitor lets
// them go on its own thread, without waking the main thread.
// Run: build/bench/bench_idle [seconds] [--no-udev] [--events=N] [--block-events=N] > /dev/null
#include "FakeMachine.h"
#include "MountFixture.h"

#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/Scheduler.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A child writing "change" to a device's uevent file (/dev/null's by
// default) about perMinute times a minute until it is killed; -1 when it
// could not start.
pid_t startDeviceEvents(int perMinute, const QByteArray &uevent = "/sys/class/mem/null/uevent")
{
    const int fd = ::open(uevent.constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        const long pauseNs = 60'000'000'000L / perMinute;
        const timespec pause{pauseNs / 1'000'000'000L, pauseNs % 1'000'000'000L};
        for (;;) {
            if (::write(fd, "change", 6) < 0)
                ::_exit(1);
            ::nanosleep(&pause, nullptr);
        }
    }
    ::close(fd);
    return child;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const bool noUdev = args.contains(QStringLiteral("--no-udev"));
    int seconds = 60;
    int eventsPerMinute = 0;
    int blockEventsPerMinute = 0;
    for (const QString &arg : args) {
        if (arg.toInt() > 0)
            seconds = arg.toInt();
        if (arg.startsWith(QStringLiteral("--events=")))
            eventsPerMinute = arg.mid(9).toInt();
        if (arg.startsWith(QStringLiteral("--block-events=")))
            blockEventsPerMinute = arg.mid(15).toInt();
    }

    testsupport::FakeMachine machine;
    for (int i = 0; i < 4; ++i) {
        const QString disk = QStringLiteral("sd") + QChar(u'b' + i);
        const QString devnum = QStringLiteral("8:%1").arg(16 * (i + 1) + 1);
        machine.addPartition(devnum, QStringLiteral("pci0000:00/usb1/1-%1/host%1/target%1:0:0").arg(i + 1), disk,
                             disk + u'1', true,
                             "E:ID_BUS=usb\nE:ID_FS_TYPE=vfat\nE:ID_FS_VERSION=FAT32\nE:ID_FS_UUID=0000-000"
                                 + QByteArray::number(i) + "\n");
        machine.mount(devnum, machine.mountPoint(QStringLiteral("STICK%1").arg(i)), QStringLiteral("vfat"),
                      QStringLiteral("/dev/") + disk + u'1');
    }
    USBDeviceManager::Environment env = machine.environment(/*monitoring=*/true);
    if (noUdev) {
        QDir(machine.udev()).removeRecursively();
        env.paths.useBlkid = true;
    }
    QTemporaryDir prefsDir;
    Preferences preferences(prefsDir.path() + QStringLiteral("/prefs.json"));
    NotificationCenter center;
    USBDeviceManager manager(env, Scheduler::shared(), preferences, center);

    // The app's own CPU and that of the processes it ran (blkid).
    const auto cpuSeconds = [] {
        double total = 0;
        for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
            rusage usage{};
            getrusage(who, &usage);
            for (const timeval &t : {usage.ru_utime, usage.ru_stime})
                total += double(t.tv_sec) + double(t.tv_usec) / 1e6;
        }
        return total;
    };
    const pid_t generator = eventsPerMinute > 0 ? startDeviceEvents(eventsPerMinute) : 0;
    if (generator < 0) {
        std::fprintf(stderr, "cannot make device events of /dev/null (run as root)\n");
        return 1;
    }
    MountFixture fixture;   // the fixed loop device, detached at the end
    pid_t blockGenerator = 0;
    QString fixedLoop;
    if (blockEventsPerMinute > 0) {
        const std::optional<QString> image = fixture.makeImage(MountFixture::Kind::Ext4, 16, QStringLiteral("FIXED"));
        const std::optional<QString> loop = image ? fixture.attachLoop(*image) : std::nullopt;
        fixedLoop = loop.value_or(QString()).mid(5);
        blockGenerator = loop ? startDeviceEvents(blockEventsPerMinute, "/sys/class/block/" + fixedLoop.toUtf8() + "/uevent")
                              : -1;
        if (blockGenerator < 0) {
            std::fprintf(stderr, "cannot make block device events of a loop device (run as root): %s\n",
                         qPrintable(fixture.lastError()));
            return 1;
        }
    }
    const double start = cpuSeconds();
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    QCoreApplication::exec();
    // Read before the generator is reaped, which would add its time to ours.
    const double cpu = cpuSeconds() - start;
    if (generator > 0) {
        ::kill(generator, SIGKILL);
        ::waitpid(generator, nullptr, 0);
        std::fprintf(stderr, "with about %d device events a minute of /dev/null meanwhile\n", eventsPerMinute);
    }
    if (blockGenerator > 0) {
        ::kill(blockGenerator, SIGKILL);
        ::waitpid(blockGenerator, nullptr, 0);
        std::fprintf(stderr, "with about %d block device events a minute of %s (fixed, not listed) meanwhile\n",
                     blockEventsPerMinute, qPrintable(fixedLoop));
    }
    std::fprintf(stderr, "idle over %d s with 4 volumes, %s: %.3f s CPU = %.3f %% of one core\n", seconds,
                 noUdev ? "no udev database (blkid)" : "udev database", cpu, 100.0 * cpu / seconds);
    return 0;
}
