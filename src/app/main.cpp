#include "app/SweepbrookApp.h"

#include <QApplication>

#include <csignal>

int main(int argc, char *argv[])
{
    // A child that closes its end of a pipe must not take the app down with it.
    std::signal(SIGPIPE, SIG_IGN);

    QApplication app(argc, argv);
    SweepbrookApp::prepareProcess();

    // The app takes no command-line arguments.
    SweepbrookApp sweepbrook;
    sweepbrook.start();
    const int code = QApplication::exec();
    sweepbrook.exitIfWorkLeftBehind(code);
    return code;
}
