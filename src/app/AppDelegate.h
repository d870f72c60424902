#pragma once

#include <QObject>

class Preferences;
class Scheduler;

// The application's launch decisions: whether the first-run guide opens, that
// closing the last window ends the app, and the About window toggle.
class AppDelegate : public QObject
{
    Q_OBJECT
public:
    static inline const QString hasCompletedOnboardingKey = QStringLiteral("hasCompletedOnboarding");

    AppDelegate(Preferences &preferences, Scheduler &scheduler, QObject *parent = nullptr);

    // Reads "hasCompletedOnboarding"; without it the guide opens half a second later.
    void applicationDidFinishLaunching();
    static bool applicationShouldTerminateAfterLastWindowClosed() { return true; }

    // The observer of "showAboutWindow": toggles the About window.
    void handleShowAboutWindow();
    // Opens the first-run guide.
    void showOnboardingWindow();

private:
    Preferences &m_preferences;
    Scheduler &m_scheduler;
};
