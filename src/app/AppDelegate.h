#pragma once

#include <QObject>

#include <memory>

class AppInfoManager;
class NotificationCenter;
class PermissionManager;
class Preferences;
class QWidget;
class Scheduler;
class SystemCleanHelper;

// The application's launch decisions: whether the first-run guide opens, that
// closing the last window ends the app, and the About window toggle.
class AppDelegate : public QObject
{
    Q_OBJECT
public:
    static inline const QString hasCompletedOnboardingKey = QStringLiteral("hasCompletedOnboarding");

    // What the first-run guide works with.
    struct Services
    {
        Preferences &preferences;
        Scheduler &scheduler;
        NotificationCenter &center;
        PermissionManager &permissions;
        SystemCleanHelper &helper;
    };

    explicit AppDelegate(Services services, QObject *parent = nullptr);
    ~AppDelegate() override;

    // Reads "hasCompletedOnboarding"; without it the guide opens half a second later.
    void applicationDidFinishLaunching();
    static bool applicationShouldTerminateAfterLastWindowClosed() { return true; }

    // The observer of "showAboutWindow": toggles the About window.
    void handleShowAboutWindow();
    // Opens the first-run guide in a window of its own, centred on the screen.
    void showOnboardingWindow();

    AppInfoManager &aboutWindows() const { return *m_about; }
    // The guide's window once opened (closing only hides it).
    QWidget *onboardingWindow() const { return m_onboardingWindow.get(); }

private:
    Services m_services;
    std::unique_ptr<AppInfoManager> m_about;
    std::unique_ptr<QWidget> m_onboardingWindow;
};
