#pragma once

// What the keyboard meets in a window: the controls Tab reaches, whether each
// shows that it has the focus, as painted, with its ring clear of its label,
// and whether Enter and Space press it.

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QImage>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include <cmath>
#include <utility>

namespace testsupport {

// Makes the window the active one (only there does a control hold the focus)
// and waits until it is.
inline bool activated(QWidget *window)
{
    window->activateWindow();
    return QTest::qWaitFor([window] { return window->isActiveWindow(); }, 5000);
}

inline double colourDistance(const QColor &a, const QColor &b)
{
    return std::hypot(a.red() - b.red(), a.green() - b.green(), a.blue() - b.blue());
}

// Grabs of a control without the focus and with it, given by Tab; empty
// when it cannot take the focus.
inline std::pair<QImage, QImage> grabsAroundFocus(QWidget *control)
{
    if (!activated(control->window()))
        return {};
    control->clearFocus();
    const QImage without = control->grab().toImage();
    control->setFocus(Qt::TabFocusReason);
    if (!control->hasFocus())
        return {};
    const QImage with = control->grab().toImage();
    return {without, with.size() == without.size() ? with : QImage()};
}

// In device pixels, the longer side of what shows a control's focus: the
// control, or in a list the part in sight of the entry the keys are on.
inline int focusShownLength(QWidget *control)
{
    QSize shown = control->size();
    if (const auto *list = qobject_cast<QAbstractItemView *>(control)) {
        const QRect entry = list->visualRect(list->currentIndex()).intersected(list->viewport()->rect());
        if (!entry.isEmpty())
            shown = entry.size();
    }
    return int(std::ceil(std::max(shown.width(), shown.height()) * control->devicePixelRatioF()));
}

// The control shows its focus: a grab of it with the focus differs clearly
// from one without (a colour distance above 80) in at least as many pixels as
// a line along the longer side of what shows it (the control, or a list's
// entry: a chip in a long line of them too). A ring drawn outside the control,
// in the colour of what lies under it, or around an entry out of sight,
// changes next to none.
inline bool showsFocus(QWidget *control)
{
    const auto [without, with] = grabsAroundFocus(control);
    if (with.isNull())
        return false;
    int changed = 0;
    for (int y = 0; y < with.height(); ++y) {
        for (int x = 0; x < with.width(); ++x)
            changed += colourDistance(with.pixelColor(x, y), without.pixelColor(x, y)) > 80 ? 1 : 0;
    }
    return changed >= focusShownLength(control);
}

// The ring of a control drawn as its label alone (no fill) keeps clear of the
// label: no pixel the focus changes lies within a point of one the control
// draws without it (one unlike the colour at its corner).
inline bool ringClearOfLabel(QWidget *control)
{
    const auto [without, with] = grabsAroundFocus(control);
    if (with.isNull())
        return false;
    const QColor background = without.pixelColor(0, 0);
    const int reach = int(std::ceil(control->devicePixelRatioF()));
    const auto drawnNear = [&](int x, int y) {
        for (int v = std::max(0, y - reach); v <= std::min(without.height() - 1, y + reach); ++v) {
            for (int u = std::max(0, x - reach); u <= std::min(without.width() - 1, x + reach); ++u) {
                if (colourDistance(without.pixelColor(u, v), background) > 40)
                    return true;
            }
        }
        return false;
    };
    for (int y = 0; y < with.height(); ++y) {
        for (int x = 0; x < with.width(); ++x) {
            if (colourDistance(with.pixelColor(x, y), without.pixelColor(x, y)) > 40 && drawnNear(x, y))
                return false;
        }
    }
    return true;
}

// The controls Tab reaches in a window, in its order from the first, each
// once: Tab is pressed until it comes back round (at most `most` times).
inline QList<QWidget *> tabStops(QWidget *window, int most = 60)
{
    QList<QWidget *> stops;
    if (!activated(window))
        return stops;
    for (int i = 0; i < most; ++i) {
        QWidget *focus = QApplication::focusWidget();
        QTest::keyClick(focus && focus->window() == window ? focus : window, Qt::Key_Tab);
        focus = QApplication::focusWidget();
        if (!focus || (!stops.isEmpty() && focus == stops.first()))
            break;
        if (!stops.contains(focus))
            stops << focus;
    }
    return stops;
}

// A stop's name for a message: its object name, else its class.
inline QString stopName(const QWidget *stop)
{
    return stop->objectName().isEmpty() ? QString::fromLatin1(stop->metaObject()->className()) : stop->objectName();
}

// Of the controls Tab reaches in a window, those that show no focus.
inline QStringList stopsShowingNoFocus(QWidget *window)
{
    QStringList silent;
    for (QWidget *stop : tabStops(window)) {
        if (!showsFocus(stop))
            silent << stopName(stop);
    }
    return silent;
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
