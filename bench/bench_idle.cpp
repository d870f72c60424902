// Idle CPU of the device side: a device manager with monitoring on (the
// one-second refresh, udev and mount watches) and 4 removable volumes on a fake
// machine, left alone for 60 seconds (or the number of seconds given).
// Run: build/bench/bench_idle [seconds] > /dev/null
#include "FakeMachine.h"

#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/Scheduler.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <ctime>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;

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
    QTemporaryDir prefsDir;
    Preferences preferences(prefsDir.path() + QStringLiteral("/prefs.json"));
    NotificationCenter center;
    USBDeviceManager manager(machine.environment(/*monitoring=*/true), Scheduler::shared(), preferences, center);

    timespec start{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &start);
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    QCoreApplication::exec();
    timespec end{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &end);
    const double cpu = double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9;
    std::fprintf(stderr, "idle over %d s with 4 volumes: %.3f s CPU = %.3f %% of one core\n", seconds, cpu,
                 100.0 * cpu / seconds);
    return 0;
}
