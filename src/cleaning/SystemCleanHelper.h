#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <optional>

class Scheduler;

// Deletes what a clean hands it and judges whether privileged deletion works here.
// (This first part holds the privileged-access probe and its 30-second cache.)
class SystemCleanHelper
{
public:
    // What the probe looks at. Tests replace it.
    struct ProbeEnvironment
    {
        std::function<bool()> isRoot;                  // default: geteuid() == 0
        QString pkexecPath = QStringLiteral("/usr/bin/pkexec");
        // default: the polkit authority (org.freedesktop.PolicyKit1) answers on the system bus
        std::function<bool()> polkitAuthorityAnswers;
    };

    static inline constexpr double fullDiskAccessCacheTimeout = 30.0;   // seconds

    SystemCleanHelper(Scheduler &scheduler, ProbeEnvironment environment);
    ~SystemCleanHelper();

    static SystemCleanHelper &shared();
    static void setShared(SystemCleanHelper *helper);   // tests; nullptr restores

    // True when privileged deletion works here: the app runs as root, or pkexec
    // is installed and a polkit authority answers. Cached for 30 seconds
    // (by the scheduler's clock).
    bool checkFullDiskAccess();
    void clearFullDiskAccessCache();

    // How many times the probe really looked (tests).
    int probeCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
