#include "app/SweepbrookApp.h"
#include "localization/LanguageManager.h"

#include <QApplication>
#include <QIcon>

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
    if (QIcon::themeName().isEmpty() || QIcon::themeName() == QLatin1String("hicolor"))
        QIcon::setThemeName(QStringLiteral("Adwaita"));

    LanguageManager::shared();

    // The app takes no command-line arguments.
    SweepbrookApp sweepbrook;
    sweepbrook.start();
    return QApplication::exec();
}
