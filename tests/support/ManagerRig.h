#pragma once

#include "devices/USBDeviceManager.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/Scheduler.h"

#include <QTemporaryDir>

#include <memory>

namespace testsupport {

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
};

} // namespace testsupport
