#pragma once

#include "TestGuard.h"

#include "toolkit/Motion.h"
#include "platform/Volumes.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTest>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace testsupport {

// Empties and recreates the private HOME and XDG folders the test runner gave
// this test, so every run starts from a clean slate.
inline void prepareTestHome()
{
    const QByteArray home = qgetenv("HOME");
    if (home.isEmpty() || !home.contains("test-homes"))
        return;   // run by hand outside ctest: leave the real home alone
    QDir(QString::fromLocal8Bit(home)).removeRecursively();
    for (const char *var : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
        const QString dir = QString::fromLocal8Bit(qgetenv(var));
        if (!dir.isEmpty())
            QDir().mkpath(dir);
    }
    const QString runtime = QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR"));
    if (!runtime.isEmpty())
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// Lets the views' transitions run for the rest of a scope, for a test of one
// while it runs; whatever still runs ends with the scope.
struct RunningTransitions
{
    RunningTransitions() { ui::motion::setFinishAtOnce(false); }
    ~RunningTransitions()
    {
        ui::motion::finishAll();
        ui::motion::setFinishAtOnce(true);
    }
    RunningTransitions(const RunningTransitions &) = delete;
    RunningTransitions &operator=(const RunningTransitions &) = delete;
};

// As root, the test runs in a mount namespace of its own, entered before any
// thread starts: the sticks it mounts stay in it (tests running alongside and
// the desktop never see them, and they go with the test whatever happens),
// mounts made elsewhere from then on do not reach it, and the removable
// volumes it came with (other tests' sticks, the user's own) are detached
// from it. Whatever enumerates volumes in the test, or in the programs it
// starts, finds only the test's own sticks. An ordinary user cannot mount
// sticks, and keeps the machine's namespace. In a PID namespace of its own
// (TestGuard.h), /proc is the namespace's: the pids the test reads there are
// those it can signal.
inline void enterOwnMountNamespace()
{
    if (::geteuid() != 0)
        return;
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::fprintf(stderr, "cannot make a mount namespace of the test's own: %s\n", std::strerror(errno));
        return;
    }
    if (guard::ownPidNamespace && ::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        std::fprintf(stderr, "cannot mount the namespace's own /proc: %s\n", std::strerror(errno));
    SystemPaths paths;
    paths.useBlkid = false;   // the filter needs no file-system type
    const BlockDeviceProbe probe(paths);
    const QList<MountEntry> mounts = readMountInfo();
    for (auto it = mounts.crbegin(); it != mounts.crend(); ++it) {
        if (isRemovableMount(it->mountPoint, *it, probe.probeMount(*it)))
            ::umount2(it->mountPointBytes.constData(), MNT_DETACH);
    }
}

} // namespace testsupport

// Like QTEST_MAIN, with a QApplication (offscreen under ctest), guarded
// (TestGuard.h), a clean home, as root a mount namespace of the test's own,
// and the views' transitions ending as they start.
#define SWEEPBROOK_TEST_MAIN(TestClass)                                  \
    int main(int argc, char **argv)                                      \
    {                                                                    \
        testsupport::runGuarded(argv[0]);                                \
        testsupport::prepareTestHome();                                  \
        testsupport::enterOwnMountNamespace();                           \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))              \
            qputenv("QT_QPA_PLATFORM", "offscreen");                     \
        QApplication app(argc, argv);                                    \
        app.setAttribute(Qt::AA_Use96Dpi, true);                         \
        ui::motion::setFinishAtOnce(true);                               \
        TestClass tc;                                                    \
        QTEST_SET_MAIN_SOURCE_PATH                                       \
        return QTest::qExec(&tc, argc, argv);                            \
    }
