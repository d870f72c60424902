#pragma once

#include "platform/Scheduler.h"

#include <QObject>
#include <QString>

#include <array>
#include <chrono>

class PermissionManager;
class Preferences;
class SystemCleanHelper;

// The first-run guide's logic: its three steps, where the step indicator and
// the navigation bar stand, and the watch on privileged deletion while the
// user sets it up. No widgets: OnboardingView draws it.
class OnboardingFlow : public QObject
{
    Q_OBJECT
public:
    enum class Step { welcome, permissions, complete };
    static constexpr std::array<Step, 3> allSteps{Step::welcome, Step::permissions, Step::complete};
    // How a step's circle is drawn: done (green, a check mark), the current
    // step (blue) or one still ahead (faded).
    enum class Circle { completed, current, upcoming };

    static inline const QString hasCompletedOnboardingKey = QStringLiteral("hasCompletedOnboarding");
    static inline const QString justCompletedOnboardingKey = QStringLiteral("justCompletedOnboarding");

    // The watch after the set-up button: first look after 3 s, then every 2 s,
    // at most 15 looks. A re-check shows its spinner for 1 s.
    static constexpr int maxAttempts = 15;
    static constexpr std::chrono::milliseconds pollDelay{3000};
    static constexpr std::chrono::milliseconds pollInterval{2000};
    static constexpr std::chrono::milliseconds recheckSpinner{1000};

    OnboardingFlow(PermissionManager &permissions, SystemCleanHelper &helper, Scheduler &scheduler,
                   Preferences &preferences, QObject *parent = nullptr);

    Step currentStep() const { return m_step; }
    bool isCheckingPermission() const { return m_checking; }
    // What the pages show: does privileged deletion work here?
    bool hasFullDiskAccess() const;
    // With access: whether it is there because the app runs as root (else
    // pkexec and a polkit authority were found). The pages say which.
    bool privilegedAsRoot() const;

    static int index(Step step) { return int(step); }
    static QString titleKey(Step step);
    bool isStepCompleted(Step step) const;
    Circle stepCircle(Step step) const;
    bool showsBackButton() const { return m_step != Step::welcome; }
    QString mainButtonKey() const;
    // The main button waits only while the permissions page checks.
    bool isMainButtonEnabled() const { return !(m_step == Step::permissions && m_checking); }

    void nextStep();
    void previousStep();
    // The set-up button: opens the desktop's guide and watches for the result.
    void requestFullDiskAccess();
    // The refresh and verified buttons: one fresh look, spinner for a second.
    void recheckPermission();
    // Forgets the cached answer and asks again; changed() follows an answer
    // that differs from the last.
    void refreshPermissionStatus();
    // Remembers that the guide was finished and asks the host to close it.
    void completeOnboarding();

signals:
    void changed();
    void finished();

private:
    struct Poll;
    static void tick(const std::shared_ptr<Poll> &poll);
    void setChecking(bool on);
    void setStep(Step step);

    PermissionManager &m_permissions;
    SystemCleanHelper &m_helper;
    Scheduler &m_scheduler;
    Preferences &m_preferences;
    Step m_step = Step::welcome;
    bool m_checking = false;
};
