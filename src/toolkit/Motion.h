#pragma once

// Short transitions for the views. They only draw: the state they show has
// changed before they start, the widgets reach their final visibility at once
// and a transition never takes a click. A new change cuts a running one short.

#include <QEasingCurve>

#include <atomic>
#include <functional>

class QObject;
class QVariantAnimation;
class QWidget;

namespace ui::motion {

struct Curve
{
    int milliseconds = 0;   // 0: no transition, the change shows at once
    QEasingCurve::Type easing = QEasingCurve::InOutQuad;
};

// The toolkit's default: list edits in the settings sheet.
inline constexpr Curve standard{350, QEasingCurve::InOutQuad};
// The first-run guide's change of step (the back button's too).
inline constexpr Curve stepChange{300, QEasingCurve::InOutQuad};
inline constexpr Curve none{0};

namespace detail {
inline std::atomic<bool> finishAtOnce{false};
}

// While set, every transition ends as it starts. The test rig sets it for the
// whole run (tests/support/TestMain.h), so no test sees a half-drawn view.
inline void setFinishAtOnce(bool on)
{
    detail::finishAtOnce = on;
}
inline bool finishesAtOnce()
{
    return detail::finishAtOnce;
}

// Runs a transition owned by `owner`: `step` gets the eased progress from 0
// to 1, then `done` runs. With no time to take (finishing at once, or a curve
// of none) both run before this returns, and there is no animation.
QVariantAnimation *run(QObject *owner, Curve curve, std::function<void(qreal)> step,
                       std::function<void()> done = {});

// Ends every running transition now, as if its time had passed.
void finishAll();

// Replaces what `host` shows by what `change` makes of it, the old look fading
// out over the new one, which takes clicks from the first moment.
void crossfade(QWidget *host, const std::function<void()> &change, Curve curve);

// Shows or hides a widget in a layout. A widget that goes leaves a picture of
// itself in its place that fades while the space closes; one that comes fades
// in while its space opens. isVisible() answers the new state at once. The
// focus a going widget holds moves to the control before it in the Tab order
// (not to the next one, which a scroll area would scroll to).
void setShown(QWidget *widget, bool shown, Curve curve = standard);

} // namespace ui::motion
