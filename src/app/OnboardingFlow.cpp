#include "app/OnboardingFlow.h"

#include "cleaning/SystemCleanHelper.h"
#include "devices/PermissionManager.h"
#include "platform/Log.h"
#include "platform/Preferences.h"

#include <QPointer>

// One watch after the set-up button. Its start and its ticks share it, and it
// holds nothing of the guide but a guarded pointer: it runs to its end even
// when the guide's window has closed or gone.
struct OnboardingFlow::Poll
{
    QPointer<OnboardingFlow> flow;
    PermissionManager *permissions;
    SystemCleanHelper *helper;
    Scheduler *scheduler;
    qint64 attempts = 0;
    Scheduler::TimerId timer = 0;
    bool ended = false;
};

OnboardingFlow::OnboardingFlow(PermissionManager &permissions, SystemCleanHelper &helper, Scheduler &scheduler,
                               Preferences &preferences, QObject *parent)
    : QObject(parent), m_permissions(permissions), m_helper(helper), m_scheduler(scheduler), m_preferences(preferences)
{
    connect(&permissions, &PermissionManager::hasFullDiskAccessChanged, this, &OnboardingFlow::changed);
}

bool OnboardingFlow::hasFullDiskAccess() const
{
    return m_permissions.hasFullDiskAccess();
}

bool OnboardingFlow::privilegedAsRoot() const
{
    return m_permissions.privilegedAsRoot();
}

QString OnboardingFlow::titleKey(Step step)
{
    switch (step) {
    case Step::welcome: return QStringLiteral("welcome_to_sweepbrook");
    case Step::permissions: return QStringLiteral("setup_permissions");
    case Step::complete: return QStringLiteral("ready_to_go");
    }
    return {};
}

bool OnboardingFlow::isStepCompleted(Step step) const
{
    switch (step) {
    case Step::welcome: return m_step != Step::welcome;
    case Step::permissions: return m_step == Step::complete;
    case Step::complete: return false;
    }
    return false;
}

OnboardingFlow::Circle OnboardingFlow::stepCircle(Step step) const
{
    if (isStepCompleted(step))
        return Circle::completed;
    return step == m_step ? Circle::current : Circle::upcoming;
}

QString OnboardingFlow::mainButtonKey() const
{
    return m_step == Step::complete ? QStringLiteral("get_started") : QStringLiteral("continue");
}

void OnboardingFlow::setStep(Step step)
{
    if (m_step == step)
        return;
    m_step = step;
    emit changed();
}

void OnboardingFlow::setChecking(bool on)
{
    if (m_checking == on)
        return;
    m_checking = on;
    emit changed();
}

void OnboardingFlow::nextStep()
{
    switch (m_step) {
    case Step::welcome:
        setStep(Step::permissions);
        refreshPermissionStatus();
        break;
    case Step::permissions:
        setStep(Step::complete);
        break;
    case Step::complete:
        completeOnboarding();
        break;
    }
}

void OnboardingFlow::previousStep()
{
    if (m_step == Step::complete)
        setStep(Step::permissions);
    else if (m_step == Step::permissions)
        setStep(Step::welcome);
}

void OnboardingFlow::refreshPermissionStatus()
{
    m_helper.clearFullDiskAccessCache();
    // The probe runs in the background; an answer that differs redraws the pages.
    m_permissions.checkPermissionStatus();
}

void OnboardingFlow::recheckPermission()
{
    setChecking(true);
    refreshPermissionStatus();
    m_scheduler.after(recheckSpinner, [this] { setChecking(false); }, this);
}

void OnboardingFlow::requestFullDiskAccess()
{
    setChecking(true);
    PermissionManager *permissions = &m_permissions;
    m_scheduler.post([permissions] { permissions->showPermissionGuide(); }, permissions);

    auto poll = std::make_shared<Poll>(Poll{this, &m_permissions, &m_helper, &m_scheduler});
    // No context object: the watch outlives the guide's window if it must.
    m_scheduler.after(pollDelay, [poll] {
        poll->timer = poll->scheduler->every(pollInterval, [poll] { tick(poll); });
    });
}

void OnboardingFlow::tick(const std::shared_ptr<Poll> &poll)
{
    if (poll->ended || poll->attempts >= maxAttempts)
        return;
    const qint64 attempt = ++poll->attempts;
    if (attempt >= maxAttempts)
        poll->scheduler->cancel(poll->timer);   // this was the last look

    // A fresh look; the answer arrives on the main thread and decides.
    poll->helper->clearFullDiskAccessCache();
    poll->permissions->checkPermissionStatus([poll, attempt] {
        if (poll->ended)
            return;
        const bool granted = poll->permissions->hasFullDiskAccess();
        if (!granted && attempt < maxAttempts)
            return;
        poll->ended = true;
        poll->scheduler->cancel(poll->timer);
        if (OnboardingFlow *flow = poll->flow)
            flow->setChecking(false);
        if (attempt >= maxAttempts && !poll->permissions->hasFullDiskAccess())
            logLine(QStringLiteral("OnboardingView: Permission check timeout after %1 attempts").arg(maxAttempts));
    });
}

void OnboardingFlow::completeOnboarding()
{
    m_preferences.setBool(hasCompletedOnboardingKey, true);
    m_preferences.setBool(justCompletedOnboardingKey, true);
    logLine(QStringLiteral("🎆 Onboarding完成"));
    emit finished();
}
