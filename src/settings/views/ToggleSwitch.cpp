#include "settings/views/ToggleSwitch.h"

#include "toolkit/Toolkit.h"

#include <QPainter>

namespace {

constexpr int trackWidth = 36;
constexpr int trackHeight = 20;
constexpr int knobInset = 2;

} // namespace

ToggleSwitch::ToggleSwitch(const QColor &tint, QWidget *parent) : QAbstractButton(parent), m_tint(tint)
{
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(this, &QAbstractButton::clicked, this, [this] { emit switched(!m_on); });
}

void ToggleSwitch::setOn(bool on)
{
    if (on == m_on)
        return;
    m_on = on;
    update();
}

QSize ToggleSwitch::sizeHint() const
{
    return {trackWidth, trackHeight};
}

void ToggleSwitch::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled())
        painter.setOpacity(0.5);
    const QRectF track = QRectF(0, 0, trackWidth, trackHeight).translated((width() - trackWidth) / 2.0,
                                                                        (height() - trackHeight) / 2.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_on ? m_tint : ui::color(ui::NamedColor::gray, 0.35));
    painter.drawRoundedRect(track, trackHeight / 2.0, trackHeight / 2.0);

    const qreal knob = trackHeight - 2 * knobInset;
    const qreal x = m_on ? track.right() - knobInset - knob : track.left() + knobInset;
    ui::paintShadow(painter, QRectF(x, track.top() + knobInset, knob, knob), -1,
                    ui::Shadow{QColor(0, 0, 0, 40), 1.5, QPointF(0, 0.5)});
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRectF(x, track.top() + knobInset, knob, knob));
    if (hasFocus()) {
        painter.setOpacity(1);
        ui::paintFocusRing(painter, track, -1, rect(), Qt::white);
    }
}
