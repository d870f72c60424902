// Runs one scan of a folder for every kind and prints what it found, one
// "kind<TAB>path" line per item, after the scan's own diagnostics. Tests start
// it through setpriv to scan as an unprivileged user.
//
//     scan_probe <root> [excluded pattern...]
#include "devices/USBDeviceManager.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/Scheduler.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <chrono>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().size() < 2) {
        std::fprintf(stderr, "usage: scan_probe <root> [excluded pattern...]\n");
        return 2;
    }
    USBDeviceManager::Environment env;
    env.startMonitoring = env.useUDisks2 = false;
    VirtualScheduler scheduler;
    // Never saved: the probe only reads.
    Preferences preferences(QDir::tempPath() + QStringLiteral("/scan-probe-unused-%1.json").arg(app.applicationPid()));
    NotificationCenter center;
    USBDeviceManager manager(env, scheduler, preferences, center);

    LocalUSBDevice device;
    device.id = device.path = app.arguments().at(1);
    device.name = QFileInfo(device.path).fileName();
    int completions = 0;
    ScanResult found;
    const QStringList excluded = app.arguments().mid(2);
    manager.scanDevice(device, FileTypes::allCases(), {}, excluded, [](double) {}, [&](const ScanResult &result) {
        ++completions;
        found = result;
    });
    if (!scheduler.settle(std::chrono::minutes(2))) {
        std::fprintf(stderr, "scan did not finish\n");
        return 3;
    }
    std::fflush(stdout);
    for (auto it = found.cbegin(); it != found.cend(); ++it) {
        for (const FileItem &item : it.value())
            std::printf("%s\t%s\n", qPrintable(FileTypes::rawValue(it.key())), item.fsPath().constData());
    }
    std::fflush(stdout);
    return completions == 1 ? 0 : 4;
}
