// The toolkit's painted shapes and buttons: rounded boxes with their shadows
// and fills, the painted button with its hover and focus drawing, the focus
// ring over style-drawn buttons, and the prominent main action.
#include "toolkit/Toolkit.h"

#include "localization/Localization.h"

#include <QApplication>
#include <QEnterEvent>
#include <QKeyEvent>
#include <QEvent>
#include <QGraphicsDropShadowEffect>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QResizeEvent>
#include <QHideEvent>
#include <QShowEvent>
#include <QPalette>
#include <QVariantAnimation>

#include <cmath>

namespace ui {

// ---------------------------------------------------------------- shapes

namespace {

QPainterPath roundedPath(const QRectF &rect, qreal radius)
{
    QPainterPath path;
    const qreal r = radius < 0 ? std::min(rect.width(), rect.height()) / 2 : std::min(radius, std::min(rect.width(), rect.height()) / 2);
    path.addRoundedRect(rect, r, r);
    return path;
}

// A solid fill, or a gradient from the leading to the trailing edge.
void fillShape(QPainter &painter, const QPainterPath &path, const QRectF &shape, const QColor &fill,
               const std::optional<std::pair<QColor, QColor>> &gradient)
{
    if (gradient) {
        const bool mirrored = painter.layoutDirection() == Qt::RightToLeft;
        QLinearGradient linear(mirrored ? shape.topRight() : shape.topLeft(), mirrored ? shape.topLeft() : shape.topRight());
        linear.setColorAt(0, gradient->first);
        linear.setColorAt(1, gradient->second);
        painter.fillPath(path, linear);
    } else if (fill.alpha() > 0) {
        painter.fillPath(path, fill);
    }
}

} // namespace

void paintShadow(QPainter &painter, const QRectF &shape, qreal radius, const Shadow &shadow)
{
    if (shadow.radius <= 0 || shadow.color.alpha() == 0)
        return;
    const int steps = std::max(1, int(std::ceil(shadow.radius)));
    painter.save();
    painter.setPen(Qt::NoPen);
    for (int i = steps; i >= 1; --i) {
        QColor c = shadow.color;
        c.setAlphaF(shadow.color.alphaF() * (1.0 - qreal(i) / (steps + 1)) / steps * 2.0);
        painter.setBrush(c);
        const QRectF grown = shape.translated(shadow.offset).adjusted(-i, -i, i, i);
        painter.drawPath(roundedPath(grown, radius < 0 ? radius : radius + i));
    }
    painter.restore();
}

RoundedBox::RoundedBox(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_StyledBackground, false);
}

void RoundedBox::setFill(const QColor &fill)
{
    m_fill = fill;
    m_gradient.reset();
    update();
}

void RoundedBox::setGradient(const QColor &leading, const QColor &trailing)
{
    m_gradient = std::make_pair(leading, trailing);
    update();
}

void RoundedBox::setBorder(const QColor &border, qreal width)
{
    m_border = border;
    m_borderWidth = width;
    update();
}

void RoundedBox::setCornerRadius(qreal radius)
{
    m_radius = radius;
    update();
}

void RoundedBox::setShadow(const std::optional<Shadow> &shadow)
{
    if (!shadow) {
        setGraphicsEffect(nullptr);
        return;
    }
    auto *effect = qobject_cast<QGraphicsDropShadowEffect *>(graphicsEffect());
    if (!effect) {
        effect = new QGraphicsDropShadowEffect(this);
        setGraphicsEffect(effect);
    }
    effect->setColor(shadow->color);
    effect->setBlurRadius(shadow->radius * 2);
    effect->setOffset(shadow->offset);
}

void RoundedBox::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal inset = m_borderWidth / 2;
    const QRectF shape = QRectF(rect()).adjusted(inset, inset, -inset, -inset);
    const QPainterPath path = roundedPath(shape, m_radius);
    fillShape(painter, path, shape, m_fill, m_gradient);
    if (m_borderWidth > 0 && m_border.alpha() > 0) {
        painter.setPen(QPen(m_border, m_borderWidth));
        painter.drawPath(path);
    }
}

// ---------------------------------------------------------------- buttons

PaintedButton::PaintedButton(QWidget *parent) : QAbstractButton(parent)
{
    m_font = ui::font(TextStyle::body, QFont::Medium);
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover);
    setFocusPolicy(Qt::StrongFocus);
}

void PaintedButton::setSymbol(const QString &symbol, qreal pointSize)
{
    m_symbol = symbol;
    m_symbolPointSize = pointSize;
    updateGeometry();
    update();
}

void PaintedButton::setLabelFont(const QFont &labelFont)
{
    m_font = labelFont;
    updateGeometry();
    update();
}

void PaintedButton::setPadding(int horizontal, int vertical)
{
    m_padH = horizontal;
    m_padV = vertical;
    updateGeometry();
}

void PaintedButton::setSpacing(int spacing)
{
    m_spacing = spacing;
    updateGeometry();
}

void PaintedButton::setFill(const QColor &fill)
{
    m_fill = fill;
    m_gradient.reset();
    update();
}

void PaintedButton::setGradient(const QColor &leading, const QColor &trailing)
{
    m_gradient = std::make_pair(leading, trailing);
    update();
}

void PaintedButton::setForeground(const QColor &foreground)
{
    m_foreground = foreground;
    update();
}

void PaintedButton::setCornerRadius(qreal radius)
{
    m_radius = radius;
    update();
}

void PaintedButton::setShadow(const std::optional<Shadow> &shadow)
{
    m_shadow = shadow;
    updateGeometry();
    update();
}

void PaintedButton::setHoverStyle(const std::optional<HoverButtonStyle> &style)
{
    m_hoverStyle = style;
    updateGeometry();
    update();
}

void PaintedButton::setMinimumShapeSize(const QSize &size)
{
    m_minimumShape = size;
    updateGeometry();
    update();
}

qreal PaintedButton::currentScale() const
{
    qreal scale = 1;
    if (m_hoverStyle)
        scale = 1 + (m_hoverStyle->scale - 1) * m_hoverProgress;
    if (isDown())
        scale *= 0.98;
    return scale;
}

std::optional<Shadow> PaintedButton::currentShadow() const
{
    if (m_hoverStyle) {
        // At rest: blue 0.3, radius 3, 2 down; hovering: 0.5, the style's radius, 3 down.
        const qreal t = m_hoverProgress;
        Shadow shadow;
        shadow.color = color(NamedColor::blue, 0.3 + 0.2 * t);
        shadow.radius = 3 + (m_hoverStyle->shadowRadius - 3) * t;
        shadow.offset = QPointF(0, 2 + t);
        return shadow;
    }
    return m_shadow;
}

QSize PaintedButton::labelSize() const
{
    // Whole pixels, rounded up: a width rounded down would elide the text.
    const QFontMetricsF metrics(m_font);
    int width = 2 * m_padH + int(std::ceil(metrics.horizontalAdvance(text()))) + 1;
    int height = int(std::ceil(metrics.height()));
    if (!m_symbol.isEmpty()) {
        const int symbolSize = int(std::lround(m_symbolPointSize * 1.15));
        width += symbolSize + (text().isEmpty() ? 0 : m_spacing);
        height = std::max(height, symbolSize);
    }
    height += 2 * m_padV;
    return QSize(width, height).expandedTo(m_minimumShape);
}

qreal PaintedButton::textRoom() const
{
    const int symbolSize = m_symbol.isEmpty() ? 0 : int(std::lround(m_symbolPointSize * 1.15));
    const int gap = (m_symbol.isEmpty() || text().isEmpty()) ? 0 : m_spacing;
    const int shapeWidth = std::min(labelSize().width(), width());
    return std::max<qreal>(0, shapeWidth - 2 * m_padH - symbolSize - gap);
}

bool PaintedButton::showsWholeText() const
{
    return QFontMetricsF(m_font).horizontalAdvance(text()) <= textRoom();
}

QSize PaintedButton::sizeHint() const
{
    // Room for the shadow and the hover growth around the label.
    const QSize label = labelSize();
    int margin = 0;
    if (m_hoverStyle)
        margin = int(std::ceil(std::max<qreal>(m_hoverStyle->shadowRadius + 3, label.width() * (m_hoverStyle->scale - 1) / 2)));
    else if (m_shadow)
        margin = int(std::ceil(m_shadow->radius + std::abs(m_shadow->offset.y())));
    return label + QSize(2 * margin, 2 * margin);
}

QSize PaintedButton::minimumSizeHint() const
{
    return sizeHint();
}

void PaintedButton::setHoverProgress(qreal progress)
{
    m_hoverProgress = progress;
    update();
}

void PaintedButton::setHovering(bool hovering)
{
    if (m_hovering == hovering)
        return;
    m_hovering = hovering;
    if (!m_hoverStyle) {
        update();
        return;
    }
    // The short spring of the hover style: about 0.2 s, slightly overshooting.
    if (!m_hoverAnimation) {
        m_hoverAnimation = new QVariantAnimation(this);
        m_hoverAnimation->setDuration(200);
        m_hoverAnimation->setEasingCurve(QEasingCurve::OutBack);
        connect(m_hoverAnimation, &QVariantAnimation::valueChanged, this,
                [this](const QVariant &value) { setHoverProgress(value.toReal()); });
    }
    m_hoverAnimation->stop();
    m_hoverAnimation->setStartValue(m_hoverProgress);
    m_hoverAnimation->setEndValue(hovering ? 1.0 : 0.0);
    m_hoverAnimation->start();
}

void PaintedButton::enterEvent(QEnterEvent *event)
{
    setHovering(true);
    QAbstractButton::enterEvent(event);
}

void PaintedButton::leaveEvent(QEvent *event)
{
    setHovering(false);
    QAbstractButton::leaveEvent(event);
}

void PaintedButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QSize label = labelSize();
    QRectF shape(QPointF(0, 0), QSizeF(std::min(label.width(), width()), std::min(label.height(), height())));
    shape.moveCenter(QRectF(rect()).center());

    const qreal scale = currentScale();
    painter.translate(shape.center());
    painter.scale(scale, scale);
    painter.translate(-shape.center());
    if (isDown())
        painter.setOpacity(0.9);

    // Disabled, every colour in its disabled form, and no shadow: nothing
    // about it invites a press.
    const bool enabled = isEnabled();
    const QColor background = palette().color(QPalette::Window);
    const auto look = [&](const QColor &c) { return enabled ? c : disabledColor(c, background); };
    if (const std::optional<Shadow> shadow = currentShadow(); shadow && enabled)
        paintShadow(painter, shape, m_radius, *shadow);

    const QPainterPath path = roundedPath(shape, m_radius);
    std::optional<std::pair<QColor, QColor>> gradient;
    if (m_gradient)
        gradient = std::make_pair(look(m_gradient->first), look(m_gradient->second));
    fillShape(painter, path, shape, look(m_fill), gradient);
    const QColor foreground = look(m_foreground);

    // Symbol and text, centred as one row.
    const QFontMetricsF metrics(m_font);
    const int symbolSize = m_symbol.isEmpty() ? 0 : int(std::lround(m_symbolPointSize * 1.15));
    const int gap = (m_symbol.isEmpty() || text().isEmpty()) ? 0 : m_spacing;
    const QString shown = metrics.elidedText(text(), Qt::ElideRight, textRoom());
    const qreal textWidth = metrics.horizontalAdvance(shown);
    const qreal rowWidth = symbolSize + gap + textWidth;
    // The symbol leads: on the left, or on the right in a right-to-left window.
    const bool mirrored = layoutDirection() == Qt::RightToLeft;
    const qreal rowLeft = shape.center().x() - rowWidth / 2.0;
    const qreal symbolX = mirrored ? rowLeft + textWidth + gap : rowLeft;
    const qreal textX = mirrored ? rowLeft : rowLeft + symbolSize + gap;
    if (symbolSize > 0) {
        const QPixmap pixmap = symbolPixmap(m_symbol, foreground, symbolSize, devicePixelRatioF(), layoutDirection());
        painter.drawPixmap(QPointF(symbolX, shape.center().y() - symbolSize / 2.0), pixmap);
    }
    painter.setFont(m_font);
    painter.setPen(foreground);
    painter.drawText(QRectF(textX, shape.top(), textWidth + 2, shape.height()), Qt::AlignCenter, shown);
    if (hasFocus()) {
        // Around the shape as drawn, the hover's growth included.
        const QRectF drawn = painter.transform().mapRect(shape);
        painter.resetTransform();
        painter.setOpacity(1.0);
        const bool filled = m_gradient || m_fill.alpha() > 0;
        paintFocusRing(painter, drawn, m_radius, rect(), filled ? foreground : QColor(Qt::transparent));
    }
}

void PaintedButton::keyPressEvent(QKeyEvent *event)
{
    if (pressesButton(event) && isEnabled()) {
        click();
        return;
    }
    QAbstractButton::keyPressEvent(event);
}

bool pressesButton(const QKeyEvent *event)
{
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    return (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && modifiers == Qt::NoModifier;
}

bool choosesItem(const QKeyEvent *event)
{
    return pressesButton(event) || (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier);
}

void paintFocusRing(QPainter &painter, const QRectF &shape, qreal radius, const QRectF &bounds, const QColor &contrast)
{
    constexpr qreal line = 2;
    // The accent line's middle: 1.5 points outside the shape, no nearer the
    // edge of the bounds than half its width.
    const QRectF room = bounds.adjusted(line / 2, line / 2, -line / 2, -line / 2);
    const QRectF ring = shape.adjusted(-1.5, -1.5, 1.5, 1.5).intersected(room);
    const auto corner = [radius](qreal grow) { return radius < 0 ? radius : std::max<qreal>(0, radius + grow); };
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(color(NamedColor::accent), line));
    painter.drawPath(roundedPath(ring, corner(1.5)));
    if (contrast.alpha() > 0) {
        painter.setPen(QPen(contrast, 1));
        painter.drawPath(roundedPath(ring.adjusted(1.5, 1.5, -1.5, -1.5), corner(0)));
    }
    painter.restore();
}

namespace {

// Draws the focus ring over a button after the button has painted itself, and
// presses it on Enter.
class FocusRingOver final : public QObject
{
public:
    FocusRingOver(qreal radius, const QColor &contrast, QObject *owner)
        : QObject(owner), m_radius(radius), m_contrast(contrast)
    {
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *button = qobject_cast<QAbstractButton *>(watched);
        if (!button)
            return QObject::eventFilter(watched, event);
        if (event->type() == QEvent::KeyPress && pressesButton(static_cast<QKeyEvent *>(event))) {
            if (button->isEnabled())
                button->click();
            return true;
        }
        if (event->type() != QEvent::Paint || !button->hasFocus())
            return QObject::eventFilter(watched, event);
        watched->event(event);   // the button's own drawing first
        QPainter painter(button);
        const QRectF bounds(button->rect());
        paintFocusRing(painter, bounds.adjusted(2, 2, -2, -2), m_radius, bounds, m_contrast);
        return true;
    }

private:
    qreal m_radius;
    QColor m_contrast;
};

} // namespace

void reachableByTab(QAbstractButton *button, qreal radius, const QColor &contrast)
{
    button->setFocusPolicy(Qt::TabFocus);
    // Asked again, the new ring replaces the old.
    const QObjectList children = button->children();
    for (QObject *child : children) {
        if (child->objectName() == QLatin1String("focusRingOver"))
            delete child;
    }
    auto *ring = new FocusRingOver(radius, contrast, button);
    ring->setObjectName(QStringLiteral("focusRingOver"));
    button->installEventFilter(ring);
}

void mediumLabel(PaintedButton *button, const QString &key)
{
    button->setText(localized(key));
    button->setLabelFont(font(TextStyle::body, QFont::Medium));
    button->updateGeometry();
}

PaintedButton *prominentCapsule(const QString &key, const QString &symbol)
{
    PaintedButton *button = prominentButton(key, 16, 8);
    button->setSymbol(symbol, 16);
    button->setSpacing(8);
    button->setCornerRadius(20);
    QColor shadow = button->fill();
    shadow.setAlphaF(0.3f);
    button->setShadow(Shadow{shadow, 5, QPointF(0, 2)});
    return button;
}

PaintedButton *prominentButton(const QString &key, int horizontalPadding, int verticalPadding)
{
    auto *button = new PaintedButton;
    mediumLabel(button, key);
    button->setPadding(horizontalPadding, verticalPadding);
    const ControlColors colors = prominentColors(QApplication::palette());
    button->setFill(colors.fill);
    button->setForeground(colors.foreground);
    button->setCornerRadius(6);
    button->setCursor(Qt::PointingHandCursor);
    button->setFocusPolicy(Qt::TabFocus);
    return button;
}

} // namespace ui
