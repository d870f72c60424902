#pragma once

#include "mainwindow/views/Motion.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTest>

#include <cstdlib>

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

} // namespace testsupport

// Like QTEST_MAIN, with a QApplication (offscreen under ctest), a clean home,
// and the views' transitions ending as they start.
#define SWEEPBROOK_TEST_MAIN(TestClass)                                  \
    int main(int argc, char **argv)                                      \
    {                                                                    \
        testsupport::prepareTestHome();                                  \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))              \
            qputenv("QT_QPA_PLATFORM", "offscreen");                     \
        QApplication app(argc, argv);                                    \
        app.setAttribute(Qt::AA_Use96Dpi, true);                         \
        ui::motion::setFinishAtOnce(true);                               \
        TestClass tc;                                                    \
        QTEST_SET_MAIN_SOURCE_PATH                                       \
        return QTest::qExec(&tc, argc, argv);                            \
    }
