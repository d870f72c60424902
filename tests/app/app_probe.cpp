// The real app in a process of its own, driven as a user would drive it, so
// a test can watch the process end: it starts on one stick (its own mount
// table and preferences), scans it, presses "Clean All" and prints
// "cleaning", then the clean's share done as the window shows it
// ("progress 0.25"). A line "close" on standard input closes the window the way the
// window's close button does, "quit" types the Quit command's Ctrl+Q into it,
// "quit settings" and "quit history" into that sheet opened over it; when the
// window stays, it prints "finishing: " and what the window says.
// A question the app asks (a message box) is said as "asked: " with its
// text and message (line breaks written \n); "answer N" presses its Nth button.
// The process then ends as the app ends. Given a FUSE daemon's pid and a
// count, it stops that daemon (SIGSTOP) from inside the app's own removal of
// that many files on the stick, before that removal returns, so the clean
// cannot remove a file more before the daemon stops, and prints "daemon stopped".
//
//   app_probe <mountinfo> <preferences> <dot_clean> <volume time limit ms> <mount point> [<daemon> <removals>]

#include "app/SweepbrookApp.h"
#include "history/views/CleanHistoryView.h"
#include "mainwindow/ContentView.h"
#include "mainwindow/views/MainWindow.h"
#include "platform/Preferences.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>

#include "MountFixture.h"
#include "Patience.h"
#include "VolumeCallHook.h"

#include <csignal>
#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

namespace {

void say(const QString &line)
{
    std::fprintf(stderr, "%s\n", qPrintable(line));   // stdout carries the app's own diagnostics
    std::fflush(stderr);
}

QString shown(const QWidget &window, const char *name)
{
    const auto *label = window.findChild<QLabel *>(QLatin1String(name));
    return label && label->isVisible() ? label->text() : QString();
}

} // namespace

int main(int argc, char **argv)
{
    QApplication qt(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 6 && args.size() != 8) {
        say(QStringLiteral("usage: app_probe <mountinfo> <preferences> <dot_clean> <volume time limit ms> <mount point> "
                           "[<daemon> <removals>]"));
        return 2;
    }
    // The daemon stopped from inside the app's own removal of the N-th file on the stick.
    struct stat stick{};
    if (args.size() == 8 && ::stat(QFile::encodeName(args.at(5)).constData(), &stick) == 0) {
        using Hook = testsupport::VolumeCallHook;
        Hook::arm(Hook::Call::removal, stick.st_dev, args.at(7).toInt(), [daemon = pid_t(args.at(6).toInt())] {
            if (MountFixture::stopProcess(daemon))
                say(QStringLiteral("daemon stopped"));
        });
    }
    Preferences preferences(args.at(2));
    preferences.setBool(QStringLiteral("hasCompletedOnboarding"), true);
    USBDeviceManager::Environment env;
    env.paths.mountInfo = args.at(1);
    env.dotClean = args.at(3);
    env.volumeTimeout = std::chrono::milliseconds(args.at(4).toInt());
    SweepbrookApp::Options options;
    options.environment = env;
    options.preferences = &preferences;
    SweepbrookApp app(options);
    app.start();

    ContentView &view = app.contentView();
    const QString point = args.at(5);
    if (!QTest::qWaitFor([&] { return view.selectedDevice() && view.selectedDevice()->path == point; }, 20000)) {
        say(QStringLiteral("no stick"));
        return 3;
    }
    view.markDeviceReady();
    view.scanDevice(*view.selectedDevice());
    QAbstractButton *button = nullptr;
    if (!QTest::qWaitFor([&] {
            button = app.window().findChild<QAbstractButton *>(QStringLiteral("cleanAllButton"));
            return button && button->isVisible() && button->isEnabled();
        }, 60000)) {
        say(QStringLiteral("no results"));
        return 3;
    }
    button->click();
    say(QStringLiteral("cleaning"));
    // The clean's share done, as the window shows it.
    double lastShare = -1;
    QObject::connect(&view, &ContentView::stateChanged, &app, [&] {
        if (view.cleanProgress() != lastShare) {
            lastShare = view.cleanProgress();
            say(QStringLiteral("progress %1").arg(lastShare));
        }
    });

    // Each question the app asks (a message box of its own), once.
    QPointer<QMessageBox> asked;
    QTimer questions;
    QObject::connect(&questions, &QTimer::timeout, &app, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || box == asked)
            return;
        asked = box;
        say(QStringLiteral("asked: ") + box->text() + QStringLiteral(" | ")
            + QString(box->informativeText()).replace(u'\n', QStringLiteral("\\n")));
    });
    questions.start(50);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    bool closing = false;
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[64];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        const QByteArray command = n > 0 ? QByteArray(buffer, int(n)) : QByteArray();
        if (n <= 0)
            input.setEnabled(false);
        if (command.startsWith("answer ")) {
            // The question up now, answered with its Nth button.
            const int which = command.mid(7).trimmed().toInt();
            if (asked && which >= 1 && which <= asked->buttons().size())
                asked->buttons().at(which - 1)->click();
            else
                say(QStringLiteral("no question"));
            return;
        }
        if (closing || (!command.contains("close") && !command.contains("quit")))
            return;
        closing = true;
        if (command.contains("quit")) {
            // The Quit command's key, typed into the window or a sheet over it.
            QWidget *target = &app.window();
            if (command.contains("settings")) {
                view.setShowSettings(true);
                target = app.window().settingsSheet();
            } else if (command.contains("history")) {
                view.setShowHistory(true);
                target = app.window().findChild<CleanHistoryView *>();
            }
            if (!target) {
                say(QStringLiteral("no sheet"));
                return;
            }
            target->activateWindow();
            (void)QTest::qWaitForWindowActive(target, testsupport::kPatience);
            QTest::keyClick(target, Qt::Key_Q, Qt::ControlModifier);
        } else {
            app.window().close();
        }
        if (app.window().isVisible())
            say(QStringLiteral("finishing: ") + shown(app.window(), "cleaningTitle") + QStringLiteral(" | ")
                + shown(app.window(), "cleaningStatus"));
    });
    const int code = QApplication::exec();
    say(QStringLiteral("event loop ended"));
    app.exitIfWorkLeftBehind(code);
    say(QStringLiteral("leaving"));
    return code;
}
