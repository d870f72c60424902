#pragma once

// What the keyboard meets in a control: whether it shows that it has the
// focus, as painted, and whether Enter and Space press it.

#include <QAbstractButton>
#include <QImage>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include <cmath>

namespace testsupport {

// Makes the window the active one (only there does a control hold the focus)
// and waits until it is.
inline bool activated(QWidget *window)
{
    window->activateWindow();
    return QTest::qWaitFor([window] { return window->isActiveWindow(); }, 5000);
}

// The control shows its focus: a grab of it with the focus differs clearly
// from one without (a colour distance above 80) in at least as many pixels as
// a line along its longer side has. A ring drawn outside the control, or in
// the colour of what lies under it, changes next to none.
inline bool showsFocus(QWidget *control)
{
    if (!activated(control->window()))
        return false;
    control->clearFocus();
    const QImage without = control->grab().toImage();
    control->setFocus(Qt::TabFocusReason);
    if (!control->hasFocus())
        return false;
    const QImage with = control->grab().toImage();
    if (with.size() != without.size())
        return false;
    int changed = 0;
    for (int y = 0; y < with.height(); ++y) {
        for (int x = 0; x < with.width(); ++x) {
            const QColor a = with.pixelColor(x, y), b = without.pixelColor(x, y);
            changed += std::hypot(a.red() - b.red(), a.green() - b.green(), a.blue() - b.blue()) > 80 ? 1 : 0;
        }
    }
    return changed >= std::max(with.width(), with.height());
}

// Each of the keys (Return, Enter and Space unless told) presses the focused
// button once. A button that goes when pressed (a sheet's Done) is given one.
inline bool pressedByKeys(QAbstractButton *button,
                          std::initializer_list<Qt::Key> keys = {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space})
{
    const QPointer<QAbstractButton> alive(button);
    QSignalSpy clicks(button, &QAbstractButton::clicked);
    for (const Qt::Key key : keys) {
        if (!alive || !activated(button->window()))
            return false;
        button->setFocus(Qt::TabFocusReason);
        const qsizetype before = clicks.size();
        QTest::keyClick(button, key);
        if (clicks.size() != before + 1)
            return false;
    }
    return true;
}

} // namespace testsupport
