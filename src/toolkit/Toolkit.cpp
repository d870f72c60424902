#include "toolkit/Toolkit.h"

#include "localization/Bidi.h"
#include "localization/Localization.h"

#include <QApplication>
#include <QEnterEvent>
#include <QEvent>
#include <QFontDatabase>
#include <QGraphicsDropShadowEffect>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QResizeEvent>
#include <QHideEvent>
#include <QShowEvent>
#include <QPalette>
#include <QTextDocument>
#include <QVariantAnimation>

#include <cmath>

namespace ui {

// ---------------------------------------------------------------- fonts

namespace {

// Sizes of the text styles in points; one point is one device-independent pixel.
struct StyleMetrics
{
    qreal size;
    QFont::Weight weight;
};

StyleMetrics metrics(TextStyle style)
{
    switch (style) {
    case TextStyle::largeTitle: return {26, QFont::Normal};
    case TextStyle::title: return {22, QFont::Normal};
    case TextStyle::title2: return {17, QFont::Normal};
    case TextStyle::title3: return {15, QFont::Normal};
    case TextStyle::headline: return {13, QFont::DemiBold};
    case TextStyle::body: return {13, QFont::Normal};
    case TextStyle::callout: return {12, QFont::Normal};
    case TextStyle::subheadline: return {11, QFont::Normal};
    case TextStyle::footnote: return {10, QFont::Normal};
    case TextStyle::caption: return {10, QFont::Normal};
    }
    return {13, QFont::Normal};
}

} // namespace

QFont systemFont(qreal pointSize, QFont::Weight weight)
{
    QFont font = QApplication::font();
    font.setPixelSize(std::max(1, int(std::lround(pointSize))));
    font.setWeight(weight);
    return font;
}

QFont font(TextStyle style, std::optional<QFont::Weight> weight, bool monospaced)
{
    const StyleMetrics m = metrics(style);
    QFont result = systemFont(m.size, weight.value_or(m.weight));
    if (monospaced) {
        QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        fixed.setPixelSize(result.pixelSize());
        fixed.setWeight(result.weight());
        result = fixed;
    }
    return result;
}

// ---------------------------------------------------------------- colours

QColor color(NamedColor named, qreal opacity)
{
    const QPalette palette = QApplication::palette();
    const bool dark = palette.color(QPalette::Window).lightness() < 128;
    QColor c;
    switch (named) {
    // The standard colours, in their light and dark variants.
    case NamedColor::blue: c = dark ? QColor(10, 132, 255) : QColor(0, 122, 255); break;
    case NamedColor::green: c = dark ? QColor(48, 209, 88) : QColor(40, 167, 69); break;
    case NamedColor::orange: c = dark ? QColor(255, 159, 10) : QColor(255, 149, 0); break;
    case NamedColor::red: c = dark ? QColor(255, 69, 58) : QColor(255, 59, 48); break;
    case NamedColor::cyan: c = dark ? QColor(100, 210, 255) : QColor(50, 173, 230); break;
    case NamedColor::purple: c = dark ? QColor(191, 90, 242) : QColor(175, 82, 222); break;
    case NamedColor::brown: c = dark ? QColor(172, 142, 104) : QColor(162, 132, 94); break;
    case NamedColor::gray: c = QColor(142, 142, 147); break;
    case NamedColor::indigo: c = dark ? QColor(94, 92, 230) : QColor(88, 86, 214); break;
    case NamedColor::yellow: c = dark ? QColor(255, 214, 10) : QColor(255, 204, 0); break;
    case NamedColor::white: c = Qt::white; break;
    case NamedColor::black: c = Qt::black; break;
    case NamedColor::primary: c = palette.color(QPalette::WindowText); break;
    case NamedColor::secondary: {
        c = palette.color(QPalette::WindowText);
        c.setAlphaF(0.55);
        break;
    }
    case NamedColor::clear: c = Qt::transparent; break;
    case NamedColor::accent: c = palette.color(QPalette::Highlight); break;
    case NamedColor::windowBackground: c = palette.color(QPalette::Window); break;
    case NamedColor::controlBackground: c = palette.color(QPalette::Base); break;
    }
    c.setAlphaF(c.alphaF() * std::clamp(opacity, 0.0, 1.0));
    return c;
}

QColor disabledColor(const QColor &c, const QColor &background)
{
    // Its lightness as gray, then halfway to the background.
    const int gray = qGray(c.rgb());
    const QColor b = background.toRgb();
    return QColor((gray + b.red()) / 2, (gray + b.green()) / 2, (gray + b.blue()) / 2, c.alpha());
}

ControlColors prominentColors(const QPalette &palette)
{
    return {palette.color(QPalette::Active, QPalette::Highlight),
            palette.color(QPalette::Active, QPalette::HighlightedText)};
}

// ---------------------------------------------------------------- stacks

QVBoxLayout *vstack(QWidget *owner, int spacing, QMargins padding)
{
    auto *layout = new QVBoxLayout(owner);
    layout->setSpacing(spacing);
    layout->setContentsMargins(padding);
    return layout;
}

QHBoxLayout *hstack(QWidget *owner, int spacing, QMargins padding)
{
    auto *layout = new QHBoxLayout(owner);
    layout->setSpacing(spacing);
    layout->setContentsMargins(padding);
    return layout;
}

QVBoxLayout *vstack(int spacing, QMargins padding)
{
    return vstack(nullptr, spacing, padding);
}

QHBoxLayout *hstack(int spacing, QMargins padding)
{
    return hstack(nullptr, spacing, padding);
}

void addGap(QBoxLayout *layout, int points)
{
    layout->addSpacing(points);
}

// ---------------------------------------------------------------- texts

void setTextColor(QWidget *widget, const QColor &color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    palette.setColor(QPalette::ButtonText, color);
    widget->setPalette(palette);
}

void drawLine(QPainter &painter, const QRect &rect, Qt::Alignment alignment, const QString &text, LineOrder order)
{
    QString line = text;
    for (QChar &c : line) {
        if (c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f' || c == QChar(0x85) || c == QChar::LineSeparator
            || c == QChar::ParagraphSeparator)
            c = u' ';
    }
    line = painter.fontMetrics().elidedText(line, Qt::ElideRight, rect.width());
    const Qt::LayoutDirection direction = painter.layoutDirection();
    if (order == LineOrder::name)
        line = bidi::name(line, direction);
    else if (order == LineOrder::leftToRight)
        line = bidi::leftToRight(line, direction);
    painter.drawText(rect, int(alignment | Qt::TextSingleLine | Qt::TextDontClip), line);
}

TextLabel::TextLabel(QWidget *parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
}

bool TextLabel::event(QEvent *event)
{
    switch (event->type()) {
    case QEvent::Polish:
    case QEvent::Show:
    case QEvent::FontChange:
    case QEvent::LayoutDirectionChange:
        keepRoomForWrappedLines();
        break;
    default:
        break;
    }
    return QLabel::event(event);
}

void TextLabel::keepRoomForWrappedLines()
{
    const int room = wordWrap() && layoutDirection() == Qt::RightToLeft
                         ? int(std::ceil(QFontMetricsF(font()).horizontalAdvance(u' ')))
                         : 0;
    if (room == m_room)
        return;
    QMargins margins = contentsMargins();
    margins.setLeft(margins.left() - m_room + room);
    m_room = room;
    setContentsMargins(margins);
}

QLabel *text(const QString &content, const QFont &font, NamedColor tint, QWidget *parent)
{
    auto *label = new TextLabel(parent);
    label->setText(content);
    label->setFont(font);
    if (tint != NamedColor::primary)
        setTextColor(label, color(tint));
    return label;
}

QLabel *text(const QString &content, TextStyle style, NamedColor tint, QWidget *parent)
{
    return text(content, font(style), tint, parent);
}

ElidingLabel::ElidingLabel(const QString &content, QWidget *parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setText(content);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

QSize ElidingLabel::minimumSizeHint() const
{
    const QFontMetrics metrics(font());
    return {std::min(metrics.horizontalAdvance(QStringLiteral("…")) * 4, sizeHint().width()), metrics.height()};
}

void ElidingLabel::paintEvent(QPaintEvent *)
{
    // A new text repaints without a resize: its tool tip follows here.
    syncToolTip();
    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    // In a right-to-left window a name keeps its own order (".DS_Store", not "DS_Store.").
    drawLine(painter, contentsRect(), alignment(), text(), LineOrder::name);
}

void ElidingLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    syncToolTip();
}

void ElidingLabel::syncToolTip()
{
    const bool cut = fontMetrics().horizontalAdvance(text()) > contentsRect().width();
    // Tool tips guess rich text from the content: a name like "<b>x</b>" is
    // handed over escaped, so it shows as written.
    setToolTip(cut ? Qt::convertFromPlainText(text(), Qt::WhiteSpaceNoWrap) : QString());
}

QLabel *elidingText(const QString &content, const QFont &font, NamedColor tint, QWidget *parent)
{
    auto *label = new ElidingLabel(content, parent);
    label->setFont(font);
    if (tint != NamedColor::primary)
        setTextColor(label, color(tint));
    return label;
}

QLabel *paragraph(const QString &content, TextStyle style, NamedColor tint, QWidget *parent)
{
    QLabel *label = text(content, style, tint, parent);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    return label;
}

// ---------------------------------------------------------------- busy indicator

Spinner::Spinner(const QColor &tint, int size, QWidget *parent) : QWidget(parent), m_tint(tint)
{
    setFixedSize(size, size);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    m_turn = new QVariantAnimation(this);
    m_turn->setStartValue(0.0);
    m_turn->setEndValue(360.0);
    m_turn->setDuration(900);
    m_turn->setLoopCount(-1);
    connect(m_turn, &QVariantAnimation::valueChanged, this, [this](const QVariant &value) {
        m_angle = value.toReal();
        update();
    });
}

void Spinner::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_turn->start();
}

void Spinner::hideEvent(QHideEvent *event)
{
    m_turn->stop();
    QWidget::hideEvent(event);
}

void Spinner::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal pen = std::max(1.5, width() / 8.0);
    const QRectF ring = QRectF(rect()).adjusted(pen, pen, -pen, -pen);
    QColor track = m_tint;
    track.setAlphaF(0.25f);
    painter.setPen(QPen(track, pen));
    painter.drawEllipse(ring);
    painter.setPen(QPen(m_tint, pen, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(ring, int(-m_angle * 16), 100 * 16);
}

} // namespace ui
