#include "app/SweepbrookApp.h"
#include "localization/LanguageManager.h"
#include "mainwindow/views/Toolkit.h"
#include "settings/UpdateRules.h"

#include <QApplication>

#include <csignal>

int main(int argc, char *argv[])
{
    // A child that closes its end of a pipe must not take the app down with it.
    std::signal(SIGPIPE, SIG_IGN);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sweepbrook"));
    QApplication::setApplicationVersion(QStringLiteral(SWEEPBROOK_VERSION));
    QApplication::setOrganizationName(QStringLiteral("Sweepbrook"));
    QApplication::setDesktopFileName(QStringLiteral("sweepbrook"));

    // Outside a full desktop Qt has no icon theme; the app's symbols come from Adwaita.
    ui::ensureIconTheme();

    LanguageManager::shared();
    // The update server's address is read once, at start.
    updates::appBaseAddress();

    // The app takes no command-line arguments.
    SweepbrookApp sweepbrook;
    sweepbrook.start();
    const int code = QApplication::exec();
    sweepbrook.exitIfWorkLeftBehind(code);
    return code;
}
