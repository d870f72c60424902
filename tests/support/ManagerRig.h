#pragma once

#include "devices/USBDeviceManager.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/Scheduler.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace testsupport {

// The real machine's mount table, sysfs and tools, without monitoring or
// UDisks2 (udevd does not run on the test machines): for real volumes. A
// refresh waits for a volume's probe until blkid's own time limit has passed
// too (a loaded machine can hold blkid past the app's second; the app lists
// the volume at a later refresh, which on virtual time does not come by
// itself): one refresh lists what is mounted. Tests of the probe's time limit
// set it.
inline USBDeviceManager::Environment realMachineEnvironment()
{
    USBDeviceManager::Environment env;
    env.startMonitoring = false;
    env.useUDisks2 = false;
    env.probeTimeout = std::chrono::seconds(5);
    return env;
}

// A device manager on virtual time, with preferences and notifications of its own.
struct ManagerRig
{
    VirtualScheduler scheduler;
    QTemporaryDir prefsDir;
    Preferences preferences{prefsFile()};
    NotificationCenter center;
    std::unique_ptr<USBDeviceManager> manager;

    QString prefsFile() const { return prefsDir.filePath(QStringLiteral("prefs.json")); }

    void startManager(const USBDeviceManager::Environment &env)
    {
        manager = std::make_unique<USBDeviceManager>(env, scheduler, preferences, center);
    }

    // Runs everything pending; fails the calling test when it does not finish.
    void settle()
    {
        [&] { QVERIFY(scheduler.settle()); }();
    }
};

} // namespace testsupport
