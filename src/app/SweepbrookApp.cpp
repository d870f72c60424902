#include "app/SweepbrookApp.h"

#include "app/AboutSheet.h"
#include "app/AppDelegate.h"
#include "cleaning/SystemCleanHelper.h"
#include "devices/PermissionManager.h"
#include "history/views/HistorySheet.h"
#include "localization/Bidi.h"
#include "localization/LanguageManager.h"
#include "localization/Localization.h"
#include "mainwindow/ContentView.h"
#include "mainwindow/DeviceService.h"
#include "mainwindow/views/FileDialogFolderPicker.h"
#include "mainwindow/views/MainWindow.h"
#include "toolkit/Toolkit.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/Scheduler.h"
#include "settings/views/SettingsView.h"
#include "settings/UpdateRules.h"

#include <QAction>
#include <QDialog>
#include <QEvent>
#include <QLibraryInfo>
#include <QTranslator>
#include <QApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QSet>

#include <cstdio>
#include <cstdlib>

struct SweepbrookApp::Impl
{
    explicit Impl(Options options)
        : scheduler(options.scheduler ? *options.scheduler : Scheduler::shared())
        , preferences(options.preferences ? *options.preferences : Preferences::standard())
        , center(options.center ? *options.center : NotificationCenter::defaultCenter())
        , languages(options.languageManager ? *options.languageManager : LanguageManager::shared())
        , manager(std::make_unique<USBDeviceManager>(options.environment.value_or(USBDeviceManager::Environment{}),
                                                     scheduler, preferences, center))
        , service(std::make_unique<USBDeviceService>(*manager))
        , picker(std::make_unique<FileDialogFolderPicker>())
        , presenter(options.dialogPresenter ? options.dialogPresenter : &messageBoxes)
        , helper(&SystemCleanHelper::shared())
    {
    }

    Scheduler &scheduler;
    Preferences &preferences;
    NotificationCenter &center;
    LanguageManager &languages;
    // Declared in the order they are made; they go in the reverse order, the
    // window before the state it draws and the state before its services.
    std::unique_ptr<USBDeviceManager> manager;
    std::unique_ptr<USBDeviceService> service;
    std::unique_ptr<FileDialogFolderPicker> picker;
    MessageBoxDialogPresenter messageBoxes;
    DialogPresenter *presenter;
    SystemCleanHelper *helper;   // the one shown the presenter
    std::unique_ptr<ContentView> view;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<AppDelegate> delegate;
    MenuActions menus;
    bool started = false;
    std::unique_ptr<QTranslator> qtTranslator;
};

void SweepbrookApp::prepareProcess()
{
    QApplication::setApplicationName(QStringLiteral("Sweepbrook"));
    QApplication::setApplicationVersion(QStringLiteral(SWEEPBROOK_VERSION));
    QApplication::setOrganizationName(QStringLiteral("Sweepbrook"));
    QApplication::setDesktopFileName(QStringLiteral("sweepbrook"));
    // Outside a full desktop Qt has no icon theme; the app's symbols come from Adwaita.
    ui::ensureIconTheme();
    LanguageManager::shared();
    updates::appBaseAddress();
}

SweepbrookApp::SweepbrookApp() : SweepbrookApp(Options{})
{
}

SweepbrookApp::SweepbrookApp(Options options) : d(std::make_unique<Impl>(std::move(options)))
{
    // Arabic lays the windows out right to left, from the first one built.
    bidi::followLanguage(d->languages, this);
    // The privileged clean tells of system files it could not delete through the app's dialogs.
    d->helper->setDialogPresenter(d->presenter);
    PermissionManager &permissions = PermissionManager::shared();
    d->view = std::make_unique<ContentView>(ContentView::Services{
        *d->service, *d->picker, d->scheduler, d->preferences, d->center, &d->languages,
        [&permissions] { permissions.checkPermissionStatus(); }, d->presenter});
    d->window = std::make_unique<MainWindow>(*d->view, *d->service, d->languages);
    d->picker->setWindow(d->window.get());
    new HistorySheet(*d->view, d->window.get());   // lives as long as the window
    d->window->setSettingsSheetMaker(
        [this](QWidget *parent) { return new SettingsView(*d->view, d->languages, parent); });
    connect(d->manager.get(), &USBDeviceManager::connectedDevicesChanged, d->window.get(), &MainWindow::devicesChanged);
    d->menus = buildMenus(*d->window, d->center);
    // The sidebar footer's About sheet lives with the window.
    new AboutSheet(*d->view, d->window.get());
    d->delegate = std::make_unique<AppDelegate>(AppDelegate::Services{
        d->preferences, d->scheduler, d->center, permissions, SystemCleanHelper::shared()});
}

SweepbrookApp::~SweepbrookApp()
{
    // The window before the state it draws, the state before its services.
    d->window.reset();
    d->view.reset();
    d->helper->setDialogPresenter(nullptr);
    // A background step still under way (an access grant being set up) uses
    // the device service: let it end before the services go.
    if (auto *qt = dynamic_cast<QtScheduler *>(&d->scheduler))
        qt->waitForBackground(std::chrono::seconds(15));
    if (d->qtTranslator)
        QCoreApplication::removeTranslator(d->qtTranslator.get());
}

void SweepbrookApp::loadQtTranslations()
{
    // Qt's own texts (the folder dialog, standard buttons) in the interface language.
    if (!d->qtTranslator)
        d->qtTranslator = std::make_unique<QTranslator>();
    QCoreApplication::removeTranslator(d->qtTranslator.get());
    if (d->qtTranslator->load(LocalizationManager::currentLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
                              QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(d->qtTranslator.get());
}

void SweepbrookApp::start()
{
    if (d->started)
        return;
    d->started = true;
    if (AppDelegate::applicationShouldTerminateAfterLastWindowClosed()) {
        QApplication::setQuitOnLastWindowClosed(true);
        connect(qApp, &QApplication::lastWindowClosed, qApp, &QApplication::quit);
    }
    loadQtTranslations();
    d->center.addObserver(LanguageManager::languageDidChange, this,
                          [this](const NotificationCenter::Notification &) { loadQtTranslations(); });
    d->window->show();
    AppDelegate *delegate = d->delegate.get();
    NotificationCenter &center = d->center;
    // The delegate hears the About command from the next turn on, for as long as it lives.
    d->scheduler.post([delegate, &center] {
        center.addObserver(showAboutWindow, delegate,
                           [delegate](const NotificationCenter::Notification &) { delegate->handleShowAboutWindow(); });
    }, delegate);
    d->scheduler.post([delegate] { delegate->applicationDidFinishLaunching(); }, delegate);
}

void SweepbrookApp::exitIfWorkLeftBehind(int code)
{
    if (!d->manager->leavesWorkBehind())
        return;
    logLine(QStringLiteral("设备没有响应，不等待仍在其中的操作，直接退出"));
    d->view->waitForSaves();   // the history, then the preferences file
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(code);
}

namespace {

// The Quit command's shortcut from every dialog too. Qt hands an application
// shortcut only to windows that no modal dialog blocks, and a sheet blocks the
// window whose menu holds the command: each dialog shown carries the command
// itself.
class QuitFromDialogs final : public QObject
{
public:
    QuitFromDialogs(QAction *quit, QObject *owner) : QObject(owner), m_quit(quit) { qApp->installEventFilter(this); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show) {
            auto *dialog = qobject_cast<QDialog *>(watched);
            if (dialog && dialog->isWindow() && !dialog->actions().contains(m_quit))
                dialog->addAction(m_quit);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QAction *m_quit;
};

// Ends every modal dialog the way Escape does (a sheet keeps what was edited
// in it), the innermost first.
void endModalDialogs()
{
    QSet<QWidget *> ended;
    while (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
        if (ended.contains(dialog))
            return;   // it would not go
        ended.insert(dialog);
        dialog->reject();
    }
}

// Ends the app once its window has closed after the Quit command.
class QuitWhenClosed final : public QObject
{
public:
    explicit QuitWhenClosed(QWidget *window) : QObject(window), m_window(window) { window->installEventFilter(this); }
    void arm() { m_armed = true; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (m_armed && watched == m_window && event->type() == QEvent::Hide && !m_window->isVisible())
            QCoreApplication::quit();
        return QObject::eventFilter(watched, event);
    }

private:
    QWidget *m_window;
    bool m_armed = false;
};

} // namespace

SweepbrookApp::MenuActions SweepbrookApp::buildMenus(QMainWindow &window, NotificationCenter &center)
{
    QMenu *menu = window.menuBar()->addMenu(QStringLiteral("Sweepbrook"));
    menu->setObjectName(QStringLiteral("appMenu"));
    MenuActions actions;

    actions.about = menu->addAction(localized(QStringLiteral("about_app")));
    actions.about->setObjectName(QStringLiteral("aboutAction"));
    actions.about->setMenuRole(QAction::AboutRole);
    QObject::connect(actions.about, &QAction::triggered, &window, [&center] { center.post(showAboutWindow); });

    actions.scan = menu->addAction(localized(QStringLiteral("scan_device")));
    actions.scan->setObjectName(QStringLiteral("scanAction"));
    actions.scan->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    QObject::connect(actions.scan, &QAction::triggered, &window,
                     [&center] { center.post(ContentView::triggerDeviceScan); });

    menu->addSeparator();
    actions.quit = menu->addAction(localized(QStringLiteral("quit_app")));
    actions.quit->setObjectName(QStringLiteral("quitAction"));
    actions.quit->setMenuRole(QAction::QuitRole);
    actions.quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    actions.quit->setShortcutContext(Qt::ApplicationShortcut);
    new QuitFromDialogs(actions.quit, &window);
    auto *quitWhenClosed = new QuitWhenClosed(&window);
    QObject::connect(actions.quit, &QAction::triggered, &window, [&window, quitWhenClosed] {
        quitWhenClosed->arm();
        // The sheets go first, so the window can say that it is finishing.
        endModalDialogs();
        // The close button's path: a window still finishing work stays, and
        // closes (and so ends the app) once the work is recorded.
        const bool closed = window.close();
        endModalDialogs();   // what ending a dialog raised
        if (closed)
            QCoreApplication::quit();
    });
    return actions;
}

MainWindow &SweepbrookApp::window() const { return *d->window; }
ContentView &SweepbrookApp::contentView() const { return *d->view; }
USBDeviceManager &SweepbrookApp::deviceManager() const { return *d->manager; }
DeviceService &SweepbrookApp::deviceService() const { return *d->service; }
AppDelegate &SweepbrookApp::delegate() const { return *d->delegate; }
QAction *SweepbrookApp::aboutAction() const { return d->menus.about; }
QAction *SweepbrookApp::scanAction() const { return d->menus.scan; }
QAction *SweepbrookApp::quitAction() const { return d->menus.quit; }
