// The floor of the app's idle cost: the app's own window with the same
// volumes listed, doing nothing. The whole app is composed as main.cpp does,
// on a device manager that does not monitor (it enumerates once, at start);
// once the window has appeared and shows the volumes, its device poll stops.
// What is left is Qt's event loop, the X connection and whatever else the
// composition keeps running. bench/idle_app.sh measures it beside the app.
// Run: floor_idle_window (under xvfb-run; it runs until it is killed)
#include "app/SweepbrookApp.h"
#include "mainwindow/ContentView.h"

#include <QApplication>
#include <QTimer>

#include <csignal>

int main(int argc, char *argv[])
{
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    SweepbrookApp::prepareProcess();

    SweepbrookApp::Options options;
    USBDeviceManager::Environment environment;
    environment.startMonitoring = false;
    options.environment = environment;
    SweepbrookApp sweepbrook(options);
    sweepbrook.start();
    // The window's first looks at the list (it is published in the background) come first.
    QTimer::singleShot(3000, &app, [&sweepbrook] { sweepbrook.contentView().stopDeviceMonitoring(); });
    return QApplication::exec();
}
