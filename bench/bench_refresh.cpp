// CPU cost of one device-list refresh with 1, 4 and 16 removable volumes on a
// fake machine (sysfs, udev database and mount table in a temporary folder).
// Run: build/bench/bench_refresh > /dev/null 2> results.txt  (the enumeration logs to stdout)
#include "FakeMachine.h"
#include "ManagerRig.h"

#include <QCoreApplication>

#include <cstdio>
#include <ctime>

namespace {

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double measure(int volumes, int rounds)
{
    testsupport::FakeMachine machine;
    for (int i = 0; i < volumes; ++i) {
        const QString disk = QStringLiteral("sd") + QChar(u'b' + i);
        const QString devnum = QStringLiteral("8:%1").arg(16 * (i + 1) + 1);
        machine.addPartition(devnum, QStringLiteral("pci0000:00/usb1/1-%1/host%1/target%1:0:0").arg(i + 1), disk,
                             disk + u'1', true,
                             "E:ID_BUS=usb\nE:ID_VENDOR=Vendor\nE:ID_MODEL=Stick\nE:ID_FS_TYPE=vfat\n"
                             "E:ID_FS_VERSION=FAT32\nE:ID_FS_UUID=0000-000" + QByteArray::number(i) + "\n");
        machine.mount(devnum, machine.mountPoint(QStringLiteral("STICK%1").arg(i)), QStringLiteral("vfat"),
                      QStringLiteral("/dev/") + disk + u'1');
    }
    testsupport::ManagerRig rig;
    rig.startManager(machine.environment());
    rig.scheduler.settle();
    const double start = cpuSeconds();
    for (int i = 0; i < rounds; ++i) {
        rig.manager->refreshDevices();
        rig.scheduler.settle();
    }
    return (cpuSeconds() - start) / rounds;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    for (int volumes : {1, 4, 16}) {
        const double perRefresh = measure(volumes, 200);
        std::fprintf(stderr, "refresh with %2d volumes: %.3f ms CPU\n", volumes, perRefresh * 1000.0);
    }
    return 0;
}
