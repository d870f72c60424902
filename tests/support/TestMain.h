#pragma once

#include "CrashTrace.h"
#include "TestGuard.h"

#include "toolkit/Motion.h"
#include "platform/Volumes.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTest>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
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
inline bool inOwnMountNamespace = false;

inline void enterOwnMountNamespace()
{
    if (::geteuid() != 0)
        return;
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::fprintf(stderr, "cannot make a mount namespace of the test's own: %s\n", std::strerror(errno));
        return;
    }
    inOwnMountNamespace = true;
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

// A screen for a test that draws: when SWEEPBROOK_TEST_SCREEN asks for one
// ("1280x800x24"), an Xvfb of the test's own, which it picks a free display
// for, that leaves no lock file and (as root) keeps its socket in a
// /tmp/.X11-unix of the test's mount namespace, and that goes with the test
// (its PID namespace, else SIGTERM when the test's main thread ends). Without
// Xvfb the test draws offscreen.
inline void startTestScreen()
{
    const QByteArray screen = qgetenv("SWEEPBROOK_TEST_SCREEN");
    if (screen.isEmpty())
        return;
    const QByteArray xvfb = QFile::encodeName(QStandardPaths::findExecutable(QStringLiteral("Xvfb")));
    int display[2];
    if (xvfb.isEmpty() || ::pipe2(display, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "no Xvfb: the test draws offscreen\n");
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        return;
    }
    if (inOwnMountNamespace)
        (void)::mount("sweepbrook-test", "/tmp/.X11-unix", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
    const QByteArray log = qgetenv("TMPDIR") + "/xvfb.log";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int out = ::open(log.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(display[1], 3);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::execl(xvfb.constData(), "Xvfb", "-displayfd", "3", "-nolock", "-nolisten", "tcp", "-screen", "0",
                screen.constData(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::close(display[1]);
    QByteArray number;
    char c = 0;
    pollfd ready{display[0], POLLIN, 0};
    while (::poll(&ready, 1, 30000) > 0 && ::read(display[0], &c, 1) == 1 && c != '\n')
        number += c;
    ::close(display[0]);
    if (number.isEmpty()) {
        QFile said(QFile::decodeName(log));
        std::fprintf(stderr, "Xvfb did not start: %s\n", said.open(QIODevice::ReadOnly) ? said.readAll().constData() : "");
        std::exit(1);
    }
    ::setenv("DISPLAY", (':' + number).constData(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
}

} // namespace testsupport

// Like QTEST_MAIN, with a QApplication (offscreen under ctest, or on a
// screen of the test's own), guarded (TestGuard.h), a clean home, as root a
// mount namespace of the test's own, a crash handler with an end
// (CrashTrace.h), and the views' transitions ending as they start.
#define SWEEPBROOK_TEST_MAIN(TestClass)                                  \
    int main(int argc, char **argv)                                      \
    {                                                                    \
        testsupport::runGuarded(argv[0]);                                \
        testsupport::crash::install();                                   \
        testsupport::prepareTestHome();                                  \
        testsupport::enterOwnMountNamespace();                           \
        testsupport::startTestScreen();                                  \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))              \
            qputenv("QT_QPA_PLATFORM", "offscreen");                     \
        QApplication app(argc, argv);                                    \
        app.setAttribute(Qt::AA_Use96Dpi, true);                         \
        ui::motion::setFinishAtOnce(true);                               \
        TestClass tc;                                                    \
        QTEST_SET_MAIN_SOURCE_PATH                                       \
        auto args = testsupport::crash::withoutQtHandler(argc, argv);    \
        return QTest::qExec(&tc, int(args.size()) - 1, args.data());     \
    }
