#include "toolkit/Motion.h"

#include <QBoxLayout>
#include <QEvent>
#include <QGraphicsOpacityEffect>
#include <QPainter>
#include <QPointer>
#include <QVariantAnimation>
#include <QWidget>

#include <cmath>
#include <optional>

namespace ui::motion {

namespace {

QList<QPointer<QVariantAnimation>> &running()
{
    static QList<QPointer<QVariantAnimation>> animations;
    return animations;
}

void finish(QVariantAnimation *animation)
{
    if (animation && animation->state() != QAbstractAnimation::Stopped)
        animation->setCurrentTime(animation->totalDuration());
}

// A picture of how something looked, drawn while it fades. It takes no
// clicks: what is under it is live.
class Picture final : public QWidget
{
public:
    Picture(const QPixmap &picture, QWidget *parent) : QWidget(parent), m_picture(picture)
    {
        setObjectName(QStringLiteral("motionPicture"));
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
    }
    void setOpacity(qreal opacity)
    {
        m_opacity = opacity;
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setOpacity(m_opacity);
        painter.drawPixmap(0, 0, m_picture);
    }

private:
    QPixmap m_picture;
    qreal m_opacity = 1;
};

// The room a widget that left still takes in its layout, closing as its
// picture fades; the picture is laid over it wherever the layout puts it. As
// a spacer it adds no spacing of its own.
class Room final : public QSpacerItem
{
public:
    explicit Room(Picture *picture) : QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), m_picture(picture) {}
    void setHeight(int pixels) { changeSize(0, pixels, QSizePolicy::Minimum, QSizePolicy::Fixed); }
    void setGeometry(const QRect &area) override
    {
        QSpacerItem::setGeometry(area);
        if (m_picture)
            m_picture->setGeometry(area);
    }

private:
    QPointer<Picture> m_picture;
};

// A widget's visibility change while it is drawn: its animation, and for a
// widget that left, its room and picture. Cleared once, at the end or when
// the widget goes first.
class Passage final : public QObject
{
public:
    explicit Passage(QWidget *widget) : QObject(widget), m_widget(widget)
    {
        setObjectName(QStringLiteral("motionPassage"));
    }
    // A widget that goes first takes its own state with it; what lies outside
    // it (the room and the picture) goes here.
    ~Passage() override
    {
        m_maximumHeight.reset();
        clear();
    }

    static Passage *of(QWidget *widget)
    {
        for (QObject *child : widget->children()) {
            auto *passage = dynamic_cast<Passage *>(child);
            if (passage && !passage->m_cleared)
                return passage;
        }
        return nullptr;
    }

    // Leaving: the room in `layout` and the picture over it.
    void leave(QBoxLayout *layout, Room *room, Picture *picture)
    {
        m_layout = layout;
        m_room = room;
        m_picture = picture;
    }
    // Coming: the widget's own maximum height, lent to the animation.
    void enter(int maximumHeight) { m_maximumHeight = maximumHeight; }
    void setAnimation(QVariantAnimation *animation) { m_animation = animation; }
    void end() { finish(m_animation); }

    void clear()
    {
        if (m_cleared)
            return;
        m_cleared = true;
        if (m_layout && m_room && m_layout->indexOf(m_room) >= 0) {
            m_layout->removeItem(m_room);
            delete m_room;
        }
        if (m_picture) {
            m_picture->hide();
            m_picture->deleteLater();
        }
        if (m_maximumHeight && m_widget) {
            m_widget->setMaximumHeight(*m_maximumHeight);
            m_widget->setGraphicsEffect(nullptr);
        }
    }

private:
    QPointer<QWidget> m_widget;
    QPointer<QBoxLayout> m_layout;
    Room *m_room = nullptr;   // owned by the layout once added
    QPointer<Picture> m_picture;
    std::optional<int> m_maximumHeight;
    QPointer<QVariantAnimation> m_animation;
    bool m_cleared = false;
};

void endPassage(QWidget *widget)
{
    if (Passage *passage = Passage::of(widget)) {
        passage->end();
        passage->clear();
    }
}

// The vertical box layout, at any depth under `layout`, that holds `widget`.
QBoxLayout *columnHolding(QLayout *layout, QWidget *widget, int *index)
{
    if (!layout)
        return nullptr;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem *item = layout->itemAt(i);
        if (item->widget() == widget) {
            auto *box = qobject_cast<QBoxLayout *>(layout);
            if (!box || (box->direction() != QBoxLayout::TopToBottom && box->direction() != QBoxLayout::BottomToTop))
                return nullptr;
            *index = i;
            return box;
        }
        if (QBoxLayout *inner = columnHolding(item->layout(), widget, index))
            return inner;
    }
    return nullptr;
}

int heightOf(QLayout *layout)
{
    layout->invalidate();
    return layout->sizeHint().height();
}

int naturalHeight(const QWidget *widget)
{
    return widget->hasHeightForWidth() && widget->width() > 0 ? widget->heightForWidth(widget->width())
                                                               : widget->sizeHint().height();
}

void leave(QWidget *widget, Curve curve)
{
    int index = -1;
    QBoxLayout *column = columnHolding(widget->parentWidget()->layout(), widget, &index);
    if (!column) {
        widget->hide();
        return;
    }
    const int before = heightOf(column);
    QPixmap look(widget->size() * widget->devicePixelRatioF());
    look.setDevicePixelRatio(widget->devicePixelRatioF());
    look.fill(Qt::transparent);
    widget->render(&look, QPoint(), QRegion(), QWidget::DrawChildren);

    auto *picture = new Picture(look, widget->parentWidget());
    auto *room = new Room(picture);
    widget->hide();
    column->insertItem(index, room);
    // What the column loses with the widget: its height and any spacing.
    const int start = std::max(0, before - heightOf(column));
    room->setHeight(start);
    column->invalidate();
    picture->setGeometry(widget->geometry());
    picture->show();
    picture->raise();

    auto *passage = new Passage(widget);
    passage->leave(column, room, picture);
    passage->setAnimation(run(
        passage, curve,
        [room, picture, start, column = QPointer<QBoxLayout>(column)](qreal progress) {
            if (!column || column->indexOf(room) < 0)
                return;
            room->setHeight(int(std::lround(start * (1 - progress))));
            column->invalidate();
            if (picture)
                picture->setOpacity(1 - progress);
        },
        [passage] {
            passage->clear();
            passage->deleteLater();
        }));
}

// A widget that goes while a control inside it has the focus hands the focus
// to the nearest control before it in the Tab order. Left to Qt, the focus
// would move on to the next control, and a scroll area showing it would
// scroll to that one.
void handOnFocus(QWidget *going)
{
    QWidget *focus = going->window()->focusWidget();
    if (!focus || (focus != going && !going->isAncestorOf(focus)))
        return;
    for (QWidget *w = focus->previousInFocusChain(); w && w != focus; w = w->previousInFocusChain()) {
        if (w == going || going->isAncestorOf(w) || w->window() != going->window())
            continue;
        if ((w->focusPolicy() & Qt::TabFocus) && w->isEnabled() && w->isVisible()) {
            w->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
}

void enter(QWidget *widget, Curve curve)
{
    int index = -1;
    if (!columnHolding(widget->parentWidget()->layout(), widget, &index)) {
        widget->show();
        return;
    }
    auto *passage = new Passage(widget);
    passage->enter(widget->maximumHeight());
    auto *fade = new QGraphicsOpacityEffect(widget);
    fade->setOpacity(0);
    widget->setGraphicsEffect(fade);
    widget->setMaximumHeight(0);
    widget->show();
    passage->setAnimation(run(
        passage, curve,
        [widget, fade](qreal progress) {
            fade->setOpacity(progress);
            widget->setMaximumHeight(int(std::lround(naturalHeight(widget) * progress)));
        },
        [passage] {
            passage->clear();
            passage->deleteLater();
        }));
}

} // namespace

QVariantAnimation *run(QObject *owner, Curve curve, std::function<void(qreal)> step, std::function<void()> done)
{
    if (finishesAtOnce() || curve.milliseconds <= 0) {
        step(1);
        if (done)
            done();
        return nullptr;
    }
    auto *animation = new QVariantAnimation(owner);
    animation->setStartValue(0.0);
    animation->setEndValue(1.0);
    animation->setDuration(curve.milliseconds);
    animation->setEasingCurve(curve.easing);
    QObject::connect(animation, &QVariantAnimation::valueChanged, animation,
                     [step = std::move(step)](const QVariant &value) { step(value.toReal()); });
    // `done` may let the owner go: it goes later, not under its animation's feet.
    QObject::connect(animation, &QAbstractAnimation::finished, animation, [animation, done = std::move(done)] {
        running().removeAll(animation);
        animation->deleteLater();
        if (done)
            done();
    });
    running().removeAll(nullptr);
    running().append(animation);
    animation->start();
    return animation;
}

void finishAll()
{
    const QList<QPointer<QVariantAnimation>> now = running();
    for (const QPointer<QVariantAnimation> &animation : now)
        finish(animation);
}

void crossfade(QWidget *host, const std::function<void()> &change, Curve curve)
{
    if (finishesAtOnce() || curve.milliseconds <= 0 || !host->isVisible()) {
        change();
        return;
    }
    // The old look as drawn now, an earlier fade still running included.
    const QPixmap before = host->grab();
    const QObjectList children = host->children();
    for (QObject *child : children) {
        if (child->objectName() == QLatin1String("crossfadeCover"))
            delete child;
    }
    change();
    auto *cover = new Picture(before, host);
    cover->setObjectName(QStringLiteral("crossfadeCover"));
    cover->setGeometry(host->rect());
    cover->show();
    cover->raise();
    // It stays on top of what the host adds while it fades.
    struct KeepOnTop final : QObject
    {
        using QObject::QObject;
        bool eventFilter(QObject *, QEvent *event) override
        {
            if (event->type() == QEvent::ChildAdded)
                static_cast<QWidget *>(parent())->raise();
            return false;
        }
    };
    host->installEventFilter(new KeepOnTop(cover));
    run(cover, curve, [cover](qreal progress) { cover->setOpacity(1 - progress); }, [cover] {
        cover->hide();
        cover->deleteLater();
    });
}

void setShown(QWidget *widget, bool shown, Curve curve)
{
    QWidget *parent = widget->parentWidget();
    if (!parent || widget->isVisibleTo(parent) == shown)
        return;
    endPassage(widget);
    if (!shown)
        handOnFocus(widget);
    if (finishesAtOnce() || curve.milliseconds <= 0 || !parent->isVisible()) {
        widget->setVisible(shown);
        return;
    }
    shown ? enter(widget, curve) : leave(widget, curve);
}

} // namespace ui::motion
