#include "app/AppDelegate.h"

#include "app/AppInfoManager.h"
#include "app/OnboardingFlow.h"
#include "app/OnboardingView.h"
#include "platform/Preferences.h"
#include "platform/Scheduler.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

using namespace std::chrono_literals;

AppDelegate::AppDelegate(Services services, QObject *parent)
    : QObject(parent), m_services(services), m_about(std::make_unique<AppInfoManager>())
{
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching()
{
    if (m_services.preferences.boolean(hasCompletedOnboardingKey))
        return;
    m_services.scheduler.after(500ms, [this] { showOnboardingWindow(); }, this);
}

void AppDelegate::handleShowAboutWindow()
{
    m_about->toggle();
}

void AppDelegate::showOnboardingWindow()
{
    auto *flow = new OnboardingFlow(m_services.permissions, m_services.helper, m_services.scheduler,
                                    m_services.preferences);
    // A second opening replaces the first window.
    m_onboardingWindow.reset(makeOnboardingWindow(flow, m_services.center));
    QWidget *window = m_onboardingWindow.get();
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), window->size());
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
    window->show();
    window->raise();
    window->activateWindow();
}
