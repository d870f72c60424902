#pragma once

#include "devices/USBDeviceManager.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class AppDelegate;
class DialogPresenter;
class ContentView;
class DeviceService;
class FileDialogFolderPicker;
class LanguageManager;
class MainWindow;
class NotificationCenter;
class Preferences;
class QAction;
class QMainWindow;
class Scheduler;

// The application as a whole: the device manager and its service, the folder
// dialog, the main window's logic and widgets, the menu commands and the
// delegate. main() makes one and starts it; tests make one with their own
// environment and preferences.
class SweepbrookApp : public QObject
{
    Q_OBJECT
public:
    // Posted (no object) by the "about_app" menu command.
    static inline const QString showAboutWindow = QStringLiteral("showAboutWindow");

    // Every part not given is the app's own: the real system, the shared
    // scheduler, the standard preferences, the default notification centre
    // and the shared language manager.
    struct Options
    {
        std::optional<USBDeviceManager::Environment> environment;
        Scheduler *scheduler = nullptr;
        Preferences *preferences = nullptr;
        NotificationCenter *center = nullptr;
        LanguageManager *languageManager = nullptr;
        // Where the privileged clean's dialogs (system files left) and the
        // question before quitting with what the settings' folder did not
        // take are shown: message boxes unless a test records them.
        DialogPresenter *dialogPresenter = nullptr;
    };

    // What the process sets up once its QApplication exists and before the
    // app is made: its names, the icon theme, the interface language and
    // the update server's address (read once, at start).
    static void prepareProcess();

    SweepbrookApp();
    explicit SweepbrookApp(Options options);
    ~SweepbrookApp() override;

    // Shows the main window and runs the launch steps: the delegate starts
    // observing "showAboutWindow" on the next turn, then decides on onboarding.
    void start();

    // Called once the event loop has ended. A scan or clean given up on a
    // device that stopped answering still has a thread waiting inside that
    // device, and nothing may wait for it: the history and settings are
    // written and the process ends here with `code`. Otherwise it returns.
    void exitIfWorkLeftBehind(int code);

    MainWindow &window() const;
    ContentView &contentView() const;
    USBDeviceManager &deviceManager() const;
    DeviceService &deviceService() const;
    AppDelegate &delegate() const;
    QAction *aboutAction() const;
    QAction *scanAction() const;
    QAction *quitAction() const;

    // The app menu of a window: "about_app" posts showAboutWindow, "scan_device"
    // (Ctrl+S) posts triggerDeviceScan, "quit_app" (Ctrl+Q, from any window,
    // sheet or dialog of the app) ends the modal dialogs as Escape does, then
    // closes the window the way its close button does (work under way first
    // stops and is recorded; the window says it is finishing) and ends the app
    // once the window has closed, whatever other window is open.
    // Titles are looked up once, here.
    struct MenuActions
    {
        QAction *about = nullptr;
        QAction *scan = nullptr;
        QAction *quit = nullptr;
    };
    static MenuActions buildMenus(QMainWindow &window, NotificationCenter &center);

private:
    void loadQtTranslations();

    struct Impl;
    std::unique_ptr<Impl> d;
};
