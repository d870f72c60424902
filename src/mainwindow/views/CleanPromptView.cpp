#include "mainwindow/views/CleanPromptView.h"

#include "localization/Bidi.h"
#include "localization/LanguageManager.h"
#include "localization/Localization.h"
#include "toolkit/Toolkit.h"
#include "platform/Scheduler.h"

#include <QEnterEvent>
#include <QEvent>
#include <QGraphicsEffect>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QTextBoundaryFinder>
#include <QTextLayout>
#include <QVariantAnimation>

#include <cmath>

using namespace std::chrono_literals;

namespace {

// Room around a card for its shadow and its hover growth.
constexpr int cardMargin = 6;
constexpr std::chrono::milliseconds appearDelay = 100ms;
constexpr std::chrono::milliseconds choiceDelay = 200ms;
constexpr int fadeOutMilliseconds = 200;
constexpr int fadeInMilliseconds = 500;
constexpr int messageWidth = 320;

QColor mix(const QColor &from, const QColor &to, qreal t)
{
    const auto lerp = [t](qreal a, qreal b) { return a + (b - a) * t; };
    QColor c;
    c.setRgbF(float(lerp(from.redF(), to.redF())), float(lerp(from.greenF(), to.greenF())),
              float(lerp(from.blueF(), to.blueF())), float(lerp(from.alphaF(), to.alphaF())));
    return c;
}

bool darkScheme()
{
    return ui::color(ui::NamedColor::windowBackground).lightness() < 128;
}

// Fades a part of the prompt and shifts it vertically while it comes and goes:
// at pose 0 it is transparent and moved by `shift`, at pose 1 opaque and in place.
class PoseEffect final : public QGraphicsEffect
{
public:
    PoseEffect(qreal shift, QObject *parent) : QGraphicsEffect(parent), m_shift(shift) {}

    void setPose(qreal pose)
    {
        m_pose = pose;
        update();
    }

    QRectF boundingRectFor(const QRectF &rect) const override
    {
        const qreal reach = std::abs(m_shift) * 1.5;
        return rect.adjusted(0, -reach, 0, reach);
    }

protected:
    void draw(QPainter *painter) override
    {
        const qreal opacity = std::clamp(m_pose, 0.0, 1.0);
        if (opacity <= 0)
            return;
        QPoint offset;
        const QPixmap pixmap = sourcePixmap(Qt::LogicalCoordinates, &offset);
        painter->save();
        painter->setOpacity(painter->opacity() * opacity);
        painter->drawPixmap(QPointF(offset) + QPointF(0, m_shift * (1 - m_pose)), pixmap);
        painter->restore();
    }

private:
    qreal m_shift;
    qreal m_pose = 0;
};

// The drive in two rings at the top of the prompt.
class DriveBadge final : public QWidget
{
public:
    explicit DriveBadge(QWidget *parent = nullptr) : QWidget(parent) { setFixedSize(90, 90); }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF circle = QRectF(rect()).adjusted(0.75, 0.75, -0.75, -0.75);
        painter.setPen(Qt::NoPen);
        painter.setBrush(ui::color(ui::NamedColor::blue, 0.15));
        painter.drawEllipse(circle);
        painter.setPen(QPen(ui::color(ui::NamedColor::blue, 0.3), 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(circle);
        const int size = int(std::lround(35 * 1.15));
        const QPixmap symbol = ui::symbolPixmap(QStringLiteral("externaldrive.badge.checkmark"),
                                                ui::color(ui::NamedColor::blue), size, devicePixelRatioF());
        painter.drawPixmap(QPointF((width() - size) / 2.0, (height() - size) / 2.0), symbol);
    }
};

// One of the two option cards: symbol and dot, title (on a second line when
// it is longer than the card is wide), a subtitle of at most two lines, on a
// rounded card whose fill, border, shadow and scale follow the hover.
class OptionCard final : public QAbstractButton
{
public:
    OptionCard(const QString &symbol, ui::NamedColor tint, qreal minHeight, QWidget *parent = nullptr)
        : QAbstractButton(parent), m_symbol(symbol), m_tint(tint), m_minHeight(minHeight)
    {
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::TabFocus);
        QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        policy.setHeightForWidth(true);
        setSizePolicy(policy);
        m_animation = new QVariantAnimation(this);
        m_animation->setDuration(200);
        m_animation->setEasingCurve(QEasingCurve::OutQuad);
        connect(m_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant &value) {
            m_progress = value.toReal();
            update();
        });
    }

    void setTexts(const QString &title, const QString &subtitle)
    {
        m_title = title;
        m_subtitle = subtitle;
        setText(title);
        setAccessibleDescription(subtitle);
        updateGeometry();
        update();
    }
    QString title() const { return m_title; }
    QString subtitle() const { return m_subtitle; }

    void setHovered(bool hovered)
    {
        if (hovered == m_hovered)
            return;
        m_hovered = hovered;
        m_animation->stop();
        m_animation->setStartValue(m_progress);
        m_animation->setEndValue(hovered ? 1.0 : 0.0);
        m_animation->start();
    }
    bool isHovered() const { return m_hovered; }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override
    {
        const int content = std::max(1, width - 2 * cardMargin - 32);
        const int inner = 16 + rowHeight() + 12 + int(titleLines(content).size()) * QFontMetrics(titleFont()).lineSpacing()
                          + 4 + int(subtitleLines(content).size()) * QFontMetrics(subtitleFont()).lineSpacing() + 16;
        return std::max(inner, int(m_minHeight)) + 2 * cardMargin;
    }
    QSize sizeHint() const override { return {150, heightForWidth(150)}; }
    // Room for the title's longest piece that cannot be broken across lines
    // (a word; in Chinese or Japanese about one character).
    QSize minimumSizeHint() const override
    {
        const QFontMetrics metrics(titleFont());
        int piece = 0;
        QTextBoundaryFinder breaks(QTextBoundaryFinder::Line, m_title);
        for (qsizetype start = 0, end = breaks.toNextBoundary(); end >= 0; start = end, end = breaks.toNextBoundary())
            piece = std::max(piece, metrics.horizontalAdvance(m_title.mid(start, end - start).trimmed()));
        return {std::max(100, piece + 1 + 2 * cardMargin + 32), int(m_minHeight) + 2 * cardMargin};
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal t = m_progress;
        const QRectF card = QRectF(rect()).adjusted(cardMargin, cardMargin, -cardMargin, -cardMargin);
        const qreal scale = 1 + 0.02 * t;
        painter.translate(card.center());
        painter.scale(scale, scale);
        painter.translate(-card.center());

        QPainterPath shape;
        shape.addRoundedRect(card, 12, 12);

        // Shadow: black 0.03, radius 4, 2 down at rest; the card's colour 0.2, radius 8, 4 down hovered.
        ui::paintShadow(painter, card, 12,
                        ui::Shadow{mix(QColor(0, 0, 0, 8), ui::color(m_tint, 0.2), t), 4 + 4 * t, QPointF(0, 2 + 2 * t)});

        const bool dark = darkScheme();
        const QColor restFill = dark ? ui::color(ui::NamedColor::secondary, 0.07) : QColor(Qt::white);
        const QColor hoverFill = dark ? ui::color(ui::NamedColor::secondary, 0.15)
                                      : ui::color(ui::NamedColor::controlBackground);
        painter.fillPath(shape, mix(restFill, hoverFill, t));
        painter.setPen(QPen(mix(ui::color(ui::NamedColor::gray, 0.1), ui::color(m_tint, 0.5), t), 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(shape);

        const QRectF content = card.adjusted(16, 16, -16, -16);
        const int row = rowHeight();
        const int symbolSize = int(std::lround(18 * 1.15));
        // The symbol leads and the dot trails: mirrored in a right-to-left window.
        const bool mirrored = layoutDirection() == Qt::RightToLeft;
        const qreal symbolX = mirrored ? content.right() - symbolSize : content.left();
        const qreal dotX = mirrored ? content.left() : content.right() - 8;
        painter.drawPixmap(QPointF(symbolX, content.top() + (row - symbolSize) / 2.0),
                           ui::symbolPixmap(m_symbol, ui::color(m_tint), symbolSize, devicePixelRatioF()));
        painter.setPen(Qt::NoPen);
        painter.setBrush(ui::color(m_tint, 0.2));
        painter.drawEllipse(QRectF(dotX, content.top() + (row - 8) / 2.0, 8, 8));

        qreal y = content.top() + row + 12;
        painter.setPen(ui::color(ui::NamedColor::primary));
        painter.setFont(titleFont());
        const int titleSpacing = QFontMetrics(titleFont()).lineSpacing();
        for (const QString &line : titleLines(int(content.width()))) {
            painter.drawText(QRectF(content.left(), y, content.width(), titleSpacing), Qt::AlignLeft | Qt::AlignTop, line);
            y += titleSpacing;
        }
        y += 4;
        painter.setPen(ui::color(ui::NamedColor::secondary));
        painter.setFont(subtitleFont());
        const int lineSpacing = QFontMetrics(subtitleFont()).lineSpacing();
        for (const QString &line : subtitleLines(int(content.width()))) {
            painter.drawText(QRectF(content.left(), y, content.width(), lineSpacing), Qt::AlignLeft | Qt::AlignTop, line);
            y += lineSpacing;
        }
        if (hasFocus())
            ui::paintFocusRing(painter, card, 12, rect());
    }

private:
    static QFont titleFont() { return ui::systemFont(15, QFont::DemiBold); }
    static QFont subtitleFont() { return ui::systemFont(12); }
    static int rowHeight() { return std::max(int(std::lround(18 * 1.15)), 8); }

    // A text wrapped to the width; past `maxLines` the last line takes the
    // rest of the text, elided.
    static QStringList wrapped(const QString &text, const QFont &font, int width, int maxLines)
    {
        QStringList lines;
        if (text.isEmpty())
            return lines;
        const QFontMetrics metrics(font);
        QTextLayout layout(text, font);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            if (lines.size() == maxLines - 1) {
                lines << metrics.elidedText(text.mid(line.textStart()), Qt::ElideRight, width);
                break;
            }
            lines << text.mid(line.textStart(), line.textLength()).trimmed();
        }
        layout.endLayout();
        return lines;
    }
    QStringList titleLines(int width) const { return wrapped(m_title, titleFont(), width, 2); }
    QStringList subtitleLines(int width) const { return wrapped(m_subtitle, subtitleFont(), width, 2); }

    QString m_symbol;
    ui::NamedColor m_tint;
    qreal m_minHeight;
    QString m_title;
    QString m_subtitle;
    bool m_hovered = false;
    qreal m_progress = 0;
    QVariantAnimation *m_animation = nullptr;
};

} // namespace

// ---------------------------------------------------------------- Option

QString CleanPromptView::Option::rawValue() const
{
    switch (m_value) {
    case scan: return QStringLiteral("scan");
    case clean: return QStringLiteral("clean");
    case ignore: return QStringLiteral("ignore");
    }
    return {};
}

std::optional<CleanPromptView::Option> CleanPromptView::Option::fromRawValue(const QString &raw)
{
    for (const Option option : allCases()) {
        if (option.rawValue() == raw)
            return option;
    }
    return std::nullopt;
}

QList<CleanPromptView::Option> CleanPromptView::Option::allCases()
{
    return {scan, clean, ignore};
}

// ---------------------------------------------------------------- the prompt

struct CleanPromptView::Impl
{
    Impl(QString name, std::function<void()> scan, std::function<void()> clean, std::function<void()> ignore)
        : deviceName(std::move(name)), onScan(std::move(scan)), onClean(std::move(clean)), onIgnore(std::move(ignore))
    {
    }

    QString deviceName;
    std::function<void()> onScan;
    std::function<void()> onClean;
    std::function<void()> onIgnore;

    std::optional<Option> hoverOption;
    bool showContent = false;
    bool appeared = false;
    // Set by the first choice: the prompt is on its way out and takes no other.
    bool chosen = false;

    QLabel *title = nullptr;
    QLabel *message = nullptr;
    OptionCard *scanCard = nullptr;
    OptionCard *cleanCard = nullptr;
    ui::PaintedButton *ignoreButton = nullptr;
    QList<PoseEffect *> poses;
    QVariantAnimation *pose = nullptr;

    // The message wraps within its fixed width to as many lines as it needs.
    // The sheet takes its size from its layout's size hints, and a wrapping
    // label's hint is measured at a width of the label's own choosing (one
    // line of Chinese fits it), so the height is fixed to the text's height
    // at the width it really has, each time the text changes.
    void setMessage()
    {
        message->setText(format(localized(QStringLiteral("clean_prompt_message")), bidi::name(deviceName)));
        message->setFixedHeight(message->heightForWidth(messageWidth));
    }

    void retranslate()
    {
        title->setText(localized(QStringLiteral("clean_prompt_title")));
        setMessage();
        scanCard->setTexts(localized(QStringLiteral("scan_now")), localized(QStringLiteral("scan_device")));
        cleanCard->setTexts(localized(QStringLiteral("clean_now")), localized(QStringLiteral("clean_device")));
        ignoreButton->setText(localized(QStringLiteral("ignore")));
        ignoreButton->updateGeometry();
    }

    void applyHover()
    {
        scanCard->setHovered(hoverOption == Option::scan);
        cleanCard->setHovered(hoverOption == Option::clean);
        const bool ignoreHovered = hoverOption == Option::ignore;
        ignoreButton->setFill(ignoreHovered ? ui::color(ui::NamedColor::secondary, 0.1) : QColor(Qt::transparent));
        ignoreButton->setForeground(ui::color(ignoreHovered ? ui::NamedColor::primary : ui::NamedColor::secondary));
    }

    void setHover(Option option, bool hovering)
    {
        if (hovering)
            hoverOption = option;
        else if (hoverOption == option)
            hoverOption.reset();
        applyHover();
    }

    void animatePose(qreal to, int milliseconds, const QEasingCurve &curve)
    {
        pose->stop();
        pose->setStartValue(pose->currentValue().isValid() ? pose->currentValue().toReal() : (to > 0 ? 0.0 : 1.0));
        pose->setEndValue(to);
        pose->setDuration(milliseconds);
        pose->setEasingCurve(curve);
        pose->start();
    }

    void animateIn()
    {
        showContent = true;
        QEasingCurve spring(QEasingCurve::OutBack);
        spring.setOvershoot(0.8);
        animatePose(1, fadeInMilliseconds, spring);
    }
};

CleanPromptView::CleanPromptView(const QString &deviceName, std::function<void()> onScan,
                                 std::function<void()> onClean, std::function<void()> onIgnore,
                                 LanguageManager &languageManager, qreal optionCardMinHeight, QWidget *parent)
    : QDialog(parent)
    , d(new Impl(deviceName, std::move(onScan), std::move(onClean), std::move(onIgnore)))
{
    setObjectName(QStringLiteral("cleanPromptView"));
    setFixedWidth(400);
    setAutoFillBackground(true);

    QVBoxLayout *column = ui::vstack(this, 0);
    column->setSizeConstraint(QLayout::SetFixedSize);

    const auto posed = [this](QWidget *widget, qreal shift) {
        auto *effect = new PoseEffect(shift, widget);
        widget->setGraphicsEffect(effect);
        d->poses << effect;
    };

    // Header.
    QVBoxLayout *header = ui::vstack(18, QMargins(0, 0, 0, 30));
    ui::addGap(header, 40 - 18);
    auto *badge = new DriveBadge;
    posed(badge, -20);
    header->addWidget(badge, 0, Qt::AlignHCenter);
    d->title = ui::text(QString(), ui::systemFont(20, QFont::DemiBold));
    d->title->setAlignment(Qt::AlignHCenter);
    posed(d->title, 10);
    header->addWidget(d->title, 0, Qt::AlignHCenter);
    d->message = ui::paragraph(QString(), ui::TextStyle::body, ui::NamedColor::secondary);
    d->message->setFont(ui::systemFont(14));
    d->message->setFixedWidth(messageWidth);
    posed(d->message, 10);
    header->addWidget(d->message, 0, Qt::AlignHCenter);
    column->addLayout(header);

    // Option cards.
    auto *cards = new QWidget;
    QHBoxLayout *cardRow = ui::hstack(cards, 20 - 2 * cardMargin, QMargins(40 - cardMargin, 0, 40 - cardMargin, 0));
    d->scanCard = new OptionCard(QStringLiteral("magnifyingglass"), ui::NamedColor::blue, optionCardMinHeight);
    d->scanCard->setObjectName(QStringLiteral("scanCard"));
    d->cleanCard = new OptionCard(QStringLiteral("trash"), ui::NamedColor::red, optionCardMinHeight);
    d->cleanCard->setObjectName(QStringLiteral("cleanCard"));
    cardRow->addWidget(d->scanCard, 1, Qt::AlignTop);
    cardRow->addWidget(d->cleanCard, 1, Qt::AlignTop);
    cards->setFixedWidth(400);
    posed(cards, 20);
    column->addWidget(cards);
    ui::addGap(column, 30);

    // Ignore.
    d->ignoreButton = new ui::PaintedButton;
    d->ignoreButton->setObjectName(QStringLiteral("ignoreButton"));
    d->ignoreButton->setLabelFont(ui::systemFont(14));
    d->ignoreButton->setPadding(16, 6);
    d->ignoreButton->setCornerRadius(-1);
    posed(d->ignoreButton, 0);
    column->addWidget(d->ignoreButton, 0, Qt::AlignHCenter);
    ui::addGap(column, 30);

    d->pose = new QVariantAnimation(this);
    d->pose->setStartValue(0.0);
    d->pose->setEndValue(0.0);
    connect(d->pose, &QVariantAnimation::valueChanged, this, [this](const QVariant &value) {
        for (PoseEffect *effect : std::as_const(d->poses))
            effect->setPose(value.toReal());
    });

    connect(d->scanCard, &QAbstractButton::clicked, this, [this] { choose(Option::scan); });
    connect(d->cleanCard, &QAbstractButton::clicked, this, [this] { choose(Option::clean); });
    connect(d->ignoreButton, &QAbstractButton::clicked, this, [this] { choose(Option::ignore); });
    for (QWidget *element : {static_cast<QWidget *>(d->scanCard), static_cast<QWidget *>(d->cleanCard),
                             static_cast<QWidget *>(d->ignoreButton)}) {
        element->setAttribute(Qt::WA_Hover);
        element->installEventFilter(this);
    }

    connect(&languageManager, &LanguageManager::currentLanguageChanged, this, [this] { d->retranslate(); });
    d->retranslate();
    d->applyHover();
}

CleanPromptView::~CleanPromptView()
{
    delete d;
}

QString CleanPromptView::deviceName() const
{
    return d->deviceName;
}

void CleanPromptView::setDeviceName(const QString &deviceName)
{
    if (deviceName == d->deviceName)
        return;
    d->deviceName = deviceName;
    d->setMessage();
}

std::optional<CleanPromptView::Option> CleanPromptView::hoverOption() const
{
    return d->hoverOption;
}

bool CleanPromptView::showContent() const
{
    return d->showContent;
}

void CleanPromptView::choose(Option option)
{
    // One choice per prompt: a second click or key during the fade-out would
    // otherwise run a second action and close the sheet twice.
    if (d->chosen)
        return;
    d->chosen = true;
    d->showContent = false;
    d->animatePose(0, fadeOutMilliseconds, QEasingCurve::InOutQuad);
    std::function<void()> action = option == Option::scan    ? d->onScan
                                   : option == Option::clean ? d->onClean
                                                             : d->onIgnore;
    // The action runs while the sheet is still up; the sheet closes right after.
    Scheduler::shared().after(choiceDelay, [this, action = std::move(action)] {
        if (action)
            action();
        done(QDialog::Accepted);
    }, this);
}

void CleanPromptView::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (d->appeared)
        return;
    d->appeared = true;
    Scheduler::shared().after(appearDelay, [this] {
        if (!d->chosen)
            d->animateIn();
    }, this);
}

void CleanPromptView::keyPressEvent(QKeyEvent *event)
{
    if (handleKey(event))
        return;
    QDialog::keyPressEvent(event);
}

bool CleanPromptView::handleKey(QKeyEvent *event)
{
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (modifiers != Qt::NoModifier)
        return false;
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        choose(Option::scan);
        return true;
    case Qt::Key_Escape:
        choose(Option::ignore);
        return true;
    default:
        return false;
    }
}

void CleanPromptView::reject()
{
    // Escape and the window's close button are the Ignore choice.
    choose(Option::ignore);
}

bool CleanPromptView::eventFilter(QObject *watched, QEvent *event)
{
    const std::optional<Option> option = watched == d->scanCard    ? std::optional<Option>(Option::scan)
                                         : watched == d->cleanCard ? std::optional<Option>(Option::clean)
                                         : watched == d->ignoreButton ? std::optional<Option>(Option::ignore)
                                                                      : std::nullopt;
    if (option) {
        switch (event->type()) {
        case QEvent::Enter:
            d->setHover(*option, true);
            break;
        case QEvent::Leave:
            d->setHover(*option, false);
            break;
        case QEvent::KeyPress:
            // Return means Scan whichever element has the focus.
            if (handleKey(static_cast<QKeyEvent *>(event)))
                return true;
            break;
        default:
            break;
        }
    }
    return QDialog::eventFilter(watched, event);
}
