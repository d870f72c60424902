#include "app/AppDelegate.h"

#include "platform/Preferences.h"
#include "platform/Scheduler.h"

using namespace std::chrono_literals;

AppDelegate::AppDelegate(Preferences &preferences, Scheduler &scheduler, QObject *parent)
    : QObject(parent), m_preferences(preferences), m_scheduler(scheduler)
{
}

void AppDelegate::applicationDidFinishLaunching()
{
    if (m_preferences.boolean(hasCompletedOnboardingKey))
        return;
    m_scheduler.after(500ms, [this] { showOnboardingWindow(); }, this);
}

void AppDelegate::handleShowAboutWindow()
{
    // The About window is not part of this build yet; the request is accepted
    // and ends here.
}

void AppDelegate::showOnboardingWindow()
{
    // The first-run guide is not part of this build yet; launching without
    // a completed guide opens nothing.
}
