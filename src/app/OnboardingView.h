#pragma once

#include <QWidget>

class NotificationCenter;
class OnboardingFlow;

// The first-run guide's content, 700 by 650: the step indicator, the page of
// the current step and the navigation bar, drawn from OnboardingFlow. It is
// built afresh whenever the flow changes or the interface language changes,
// so every text is looked up again; the flow keeps the step and the checks.
class OnboardingView : public QWidget
{
    Q_OBJECT
public:
    OnboardingView(OnboardingFlow &flow, NotificationCenter &center, QWidget *parent = nullptr);
    ~OnboardingView() override;

    OnboardingFlow &flow() const;

private:
    struct Impl;
    Impl *d;
};

// The guide's own window (titled in the desktop's language, closable only):
// OnboardingView over `flow`, which it also owns. Finishing the guide closes
// it; closing only hides it.
QWidget *makeOnboardingWindow(OnboardingFlow *flow, NotificationCenter &center);
