#pragma once

#include <QColor>
#include <QString>

class OnboardingFlow;
class QWidget;

// The three pages of the first-run guide, built from the flow's state. Their
// buttons call the flow.
namespace onboardingpages {

QWidget *welcomeStep();
QWidget *permissionsStep(OnboardingFlow &flow);
QWidget *completeStep(const OnboardingFlow &flow);

// A filled circle with a symbol, or else a short text, on it.
QWidget *disc(int diameter, const QColor &fill, const QString &symbol, const QString &text, const QColor &foreground,
              int contentSize);

} // namespace onboardingpages
