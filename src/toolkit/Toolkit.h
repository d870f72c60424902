#pragma once

// The small view toolkit every window of the app is built from: stacks with
// fixed spacing and padding, the named text styles and colours, tinted
// symbols, a painted rounded box and a painted button. Views stay short and
// read like their layout.

#include <QAbstractButton>
#include <QBoxLayout>
#include <QColor>
#include <QFont>
#include <QIcon>
#include <QLabel>
#include <QMargins>
#include <QPalette>
#include <QPixmap>
#include <QString>
#include <QWidget>

#include <optional>

class QKeyEvent;
class QPainter;
class QPushButton;
class QVariantAnimation;

namespace ui {

// ---- Metrics ----
// The platform's default padding and spacing where a layout names none.
constexpr int defaultPadding = 16;
constexpr int defaultSpacing = 8;

// ---- Text styles ----
enum class TextStyle { largeTitle, title, title2, title3, headline, body, callout, subheadline, footnote, caption };

// The font of a text style, in the application's font family. `weight`
// overrides the style's own weight (headline is semibold).
QFont font(TextStyle style, std::optional<QFont::Weight> weight = std::nullopt, bool monospaced = false);
// The system font at a fixed point size.
QFont systemFont(qreal pointSize, QFont::Weight weight = QFont::Normal);

// ---- Colours ----
enum class NamedColor {
    blue, green, orange, red, cyan, purple, brown, gray, indigo, yellow, white, black,
    primary, secondary, clear, accent, windowBackground, controlBackground,
};

// The colour, following the application palette for primary, secondary,
// accent and the two backgrounds; `opacity` multiplies its alpha.
QColor color(NamedColor named, qreal opacity = 1.0);

// A colour of a control (its fill, its label, its symbol) as the control
// shows it while disabled, on `background`: without its hue and half given
// over to the background, so it reads as part of the surface, not as
// something to press. Transparent stays transparent.
QColor disabledColor(const QColor &color, const QColor &background);

// The colours of a window's main action: the palette's accent with the text
// that reads on it (its highlighted text).
struct ControlColors
{
    QColor fill;
    QColor foreground;
};
ControlColors prominentColors(const QPalette &palette);

// ---- Stacks ----
// Layouts with the given spacing and no margins of their own (padding is a
// separate, explicit step, as in the layouts they implement).
QVBoxLayout *vstack(QWidget *owner, int spacing = defaultSpacing, QMargins padding = {});
QHBoxLayout *hstack(QWidget *owner, int spacing = defaultSpacing, QMargins padding = {});
QVBoxLayout *vstack(int spacing = defaultSpacing, QMargins padding = {});
QHBoxLayout *hstack(int spacing = defaultSpacing, QMargins padding = {});
inline QMargins padding(int all) { return {all, all, all, all}; }
inline QMargins padding(int horizontal, int vertical) { return {horizontal, vertical, horizontal, vertical}; }
// A fixed gap ("a spacer framed to N points").
void addGap(QBoxLayout *layout, int points);

// ---- Texts ----
// A plain-text label (names, paths and server text are never read as rich
// text). Wrapped, it keeps a space's width free on its left in a right-to-left
// layout: Qt aligns each wrapped line of right-to-left text together with the
// space it broke at, which moves the line that far to the left, and a label
// given just the width of its lines lost the end of their last word.
class TextLabel : public QLabel
{
    Q_OBJECT
public:
    explicit TextLabel(QWidget *parent = nullptr);

protected:
    bool event(QEvent *event) override;

private:
    void keepRoomForWrappedLines();
    int m_room = 0;
};

// A label (a TextLabel) in a style and colour.
QLabel *text(const QString &content, TextStyle style = TextStyle::body, NamedColor tint = NamedColor::primary,
             QWidget *parent = nullptr);
QLabel *text(const QString &content, const QFont &font, NamedColor tint = NamedColor::primary,
             QWidget *parent = nullptr);
// Multi-line text centred on every line.
QLabel *paragraph(const QString &content, TextStyle style = TextStyle::body, NamedColor tint = NamedColor::primary,
                  QWidget *parent = nullptr);
void setTextColor(QWidget *widget, const QColor &color);

// How a line of text keeps its order in a right-to-left layout: as the text
// runs, or isolated as a name (in the direction of its first letter) or as a
// path, size or count (left to right); see bidi::name and bidi::leftToRight.
enum class LineOrder { text, name, leftToRight };

// Draws `text` on one line in `rect`, cut with "…" at its end to the
// rectangle's width, in the painter's font, pen and direction. It is never
// clipped to the rectangle's height: the line Qt lays out can be taller than
// QFontMetrics::height() (a fallback font for some of its letters), and a clip
// would cut what lies below the baseline, an underscore or a descender. A
// line break inside the text (a file name may hold one) is drawn as a space.
void drawLine(QPainter &painter, const QRect &rect, Qt::Alignment alignment, const QString &text,
              LineOrder order = LineOrder::text);

// A one-line plain-text label that may be narrower than its text: it draws
// the text cut with "…" at the end and shows the whole text as its tooltip.
// For names, which can be of any length.
class ElidingLabel : public QLabel
{
    Q_OBJECT
public:
    explicit ElidingLabel(const QString &content = QString(), QWidget *parent = nullptr);
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void syncToolTip();
};
QLabel *elidingText(const QString &content, const QFont &font, NamedColor tint = NamedColor::primary,
                    QWidget *parent = nullptr);

// ---- Symbols ----
// The freedesktop icon that draws a symbol, or our own SVG (":/symbols/<name>.svg").
// Every symbol the views use is listed in `knownSymbols()` and draws.
QString symbolSource(const QString &symbol);
QStringList knownSymbols();
// The symbol tinted in one colour, `pixelSize` (logical) pixels square, drawn
// at the device pixel ratio: `pixelSize` times the ratio device pixels, marked
// with the ratio. Symbols that point along the line (a chevron, a back arrow)
// are mirrored for a right-to-left layout. Each is made once and kept in a
// cache of a few megabytes, the least recently used going first.
QPixmap symbolPixmap(const QString &symbol, const QColor &tint, int pixelSize, qreal devicePixelRatio = 1.0,
                     Qt::LayoutDirection direction = Qt::LeftToRight);
// The bytes the cache of symbol pixmaps holds now.
qsizetype symbolPixmapCacheBytes();
// An icon that draws the symbol in one colour at any size and device pixel
// ratio (disabled: in its disabled colour).
QIcon symbolIcon(const QString &symbol, const QColor &tint);
// True when the symbol yields a non-empty image.
bool symbolDraws(const QString &symbol);

// A symbol at a point size (the size of the font it stands in), tinted.
class SymbolLabel : public QLabel
{
    Q_OBJECT
public:
    SymbolLabel(const QString &symbol, const QColor &tint, qreal pointSize = 13, QWidget *parent = nullptr);
    QString symbol() const { return m_symbol; }
    QColor tint() const { return m_tint; }
    void setSymbol(const QString &symbol, const QColor &tint);
    void setOpacity(qreal opacity);

protected:
    void changeEvent(QEvent *event) override;

private:
    void render();
    QString m_symbol;
    QColor m_tint;
    qreal m_pointSize;
};

// ---- Busy indicator ----
// A small arc that turns while it is visible.
class Spinner : public QWidget
{
    Q_OBJECT
public:
    Spinner(const QColor &tint, int size, QWidget *parent = nullptr);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_tint;
    qreal m_angle = 0;
    QVariantAnimation *m_turn = nullptr;
};

// ---- Shapes ----
struct Shadow
{
    QColor color;
    qreal radius = 0;
    QPointF offset;
};

// A soft shadow drawn as rings of falling opacity around a rounded shape
// (a negative radius: a capsule).
void paintShadow(QPainter &painter, const QRectF &shape, qreal radius, const Shadow &shadow);

// A container that paints a rounded rectangle (or capsule) behind its layout:
// a fill or a leading-to-trailing gradient, an optional border and shadow.
class RoundedBox : public QWidget
{
    Q_OBJECT
public:
    explicit RoundedBox(QWidget *parent = nullptr);

    void setFill(const QColor &fill);
    void setGradient(const QColor &leading, const QColor &trailing);
    void setBorder(const QColor &border, qreal width = 1);
    void setCornerRadius(qreal radius);   // a negative radius draws a capsule
    void setShadow(const std::optional<Shadow> &shadow);

    QColor fill() const { return m_fill; }
    qreal cornerRadius() const { return m_radius; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_fill = Qt::transparent;
    std::optional<std::pair<QColor, QColor>> m_gradient;
    QColor m_border = Qt::transparent;
    qreal m_borderWidth = 0;
    qreal m_radius = 0;
};

// ---- Buttons ----
// The hover-scaling style: while the pointer is over the button its label grows
// to `scale` and its blue shadow to `shadowRadius` (a short spring); pressed,
// it dims to 0.9 and shrinks to 0.98.
struct HoverButtonStyle
{
    qreal scale = 1.05;
    qreal shadowRadius = 5;
};

// A button that paints its own label: an optional symbol and a text in one row,
// padding, a fill or gradient behind it with a corner radius (negative: a
// capsule), a foreground colour and an optional shadow. With a hover style it
// scales as above.
class PaintedButton : public QAbstractButton
{
    Q_OBJECT
    Q_PROPERTY(qreal hoverProgress READ hoverProgress WRITE setHoverProgress)
public:
    explicit PaintedButton(QWidget *parent = nullptr);

    void setSymbol(const QString &symbol, qreal pointSize = 14);
    void setLabelFont(const QFont &font);
    void setPadding(int horizontal, int vertical);
    void setSpacing(int spacing);
    void setFill(const QColor &fill);
    void setGradient(const QColor &leading, const QColor &trailing);
    void setForeground(const QColor &foreground);
    void setCornerRadius(qreal radius);
    void setShadow(const std::optional<Shadow> &shadow);
    void setHoverStyle(const std::optional<HoverButtonStyle> &style);
    // The least size of the painted shape (a control size larger than its label).
    void setMinimumShapeSize(const QSize &size);

    QString symbol() const { return m_symbol; }
    QColor fill() const { return m_fill; }
    QColor foreground() const { return m_foreground; }
    bool isHovering() const { return m_hovering; }
    // The label's scale now (1 at rest; the hover style's scale once the spring settles).
    qreal currentScale() const;
    std::optional<Shadow> currentShadow() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    // Whether the label's text is drawn whole at the button's width (not cut with "…").
    bool showsWholeText() const;

    qreal hoverProgress() const { return m_hoverProgress; }
    void setHoverProgress(qreal progress);

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;   // Enter presses it too

private:
    void setHovering(bool hovering);
    QSize labelSize() const;
    qreal textRoom() const;   // the width the text may take

    QString m_symbol;
    qreal m_symbolPointSize = 14;
    QFont m_font;
    int m_padH = 16;
    int m_padV = 8;
    int m_spacing = 8;
    QColor m_fill = Qt::transparent;
    std::optional<std::pair<QColor, QColor>> m_gradient;
    QColor m_foreground = Qt::white;
    qreal m_radius = 0;
    std::optional<Shadow> m_shadow;
    std::optional<HoverButtonStyle> m_hoverStyle;
    QSize m_minimumShape;
    bool m_hovering = false;
    qreal m_hoverProgress = 0;
    QVariantAnimation *m_hoverAnimation = nullptr;
};

// The label of the sheets' text buttons (Done, Close, Add): the key's text in
// the interface language, in medium weight.
void mediumLabel(PaintedButton *button, const QString &key);
// The prominent style of a window's, sheet's or panel's main action: a
// medium label on the accent colour (prominentColors), painted by us, so it
// looks the same under every widget style and palette; disabled, in the
// disabled colours.
PaintedButton *prominentButton(const QString &key, int horizontalPadding = 12, int verticalPadding = 6);
// A main action as a capsule with its symbol before the label and a soft
// shadow, in the same colours.
PaintedButton *prominentCapsule(const QString &key, const QString &symbol);

// The focus ring of the toolkit's controls: a line in the accent colour
// around their shape (a negative radius: a capsule), and one in `contrast`
// just inside it (the colour the control draws on its fill; transparent for
// none), so it shows on any fill, the accent's own too. It stays inside
// `bounds`, the control's own rectangle: around the shape where there is
// room, along its edge where there is not.
void paintFocusRing(QPainter &painter, const QRectF &shape, qreal radius, const QRectF &bounds,
                    const QColor &contrast = Qt::transparent);
// A button that draws no focus of its own (a toolbar's, which the style
// draws, or a row the views paint) in the Tab order: while it has the focus
// the ring is drawn over it along its edges (corners of `radius`, `contrast`
// as above), and Enter presses it as Space does.
void reachableByTab(QAbstractButton *button, qreal radius = 4, const QColor &contrast = Qt::transparent);
// Whether the key presses a focused button: Enter or Return (Space is Qt's own).
bool pressesButton(const QKeyEvent *event);
// Whether the key chooses a focused row or entry a view paints: Enter,
// Return or Space.
bool choosesItem(const QKeyEvent *event);

// Makes sure the symbol theme is set (Adwaita when the desktop gives none).
void ensureIconTheme();

} // namespace ui
