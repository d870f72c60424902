#include "mainwindow/views/DeviceBanner.h"

#include "mainwindow/ContentView.h"
#include "toolkit/Presentation.h"
#include "toolkit/Toolkit.h"

#include <QPropertyAnimation>
#include <QEvent>

#include <functional>

namespace {

constexpr int slideMilliseconds = 250;

// Calls back when the watched widget is resized.
class ResizeWatcher final : public QObject
{
public:
    ResizeWatcher(QWidget *watched, std::function<void()> resized) : QObject(watched), m_resized(std::move(resized))
    {
        watched->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Resize)
            m_resized();
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> m_resized;
};

} // namespace

struct DeviceBanner::Impl
{
    Impl(QWidget *owner, ContentView &window) : self(owner), view(window) {}

    QWidget *self;
    ContentView &view;
    ui::RoundedBox *pill = nullptr;
    ui::SymbolLabel *icon = nullptr;
    QLabel *label = nullptr;
    QPropertyAnimation *slide = nullptr;
    bool showing = false;     // shown or moving in
    QString message;
    QString symbol;

    // Centred at the bottom, the default padding between the pill and the edge.
    QPoint shownPosition() const
    {
        const QSize size = pill->size();
        return {(self->width() - size.width()) / 2, self->height() - ui::defaultPadding - size.height()};
    }
    // Just below the bottom edge, where it slides in from and out to.
    QPoint hiddenPosition() const { return {(self->width() - pill->width()) / 2, self->height()}; }

    void resized()
    {
        if (slide->state() == QAbstractAnimation::Running) {
            // Keep the moving pill's destination in step with the new size.
            slide->setEndValue(showing ? shownPosition() : hiddenPosition());
            return;
        }
        pill->move(showing ? shownPosition() : hiddenPosition());
    }
};

DeviceBanner::DeviceBanner(ContentView &view, QWidget *parent) : QWidget(parent), d(new Impl(this, view))
{
    setObjectName(QStringLiteral("deviceBanner"));
    // A notice, not a control: every click goes to what lies below.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);

    d->pill = new ui::RoundedBox(this);
    d->pill->setAttribute(Qt::WA_TransparentForMouseEvents);
    d->pill->setFill(ui::color(ui::NamedColor::black, 0.7));
    d->pill->setCornerRadius(10);
    QHBoxLayout *row = ui::hstack(d->pill, ui::defaultSpacing, ui::padding(ui::defaultPadding));
    row->setAlignment(Qt::AlignVCenter);
    d->symbol = presentation::bannerSymbol(false);
    d->icon = new ui::SymbolLabel(d->symbol, ui::color(presentation::bannerColor(false)), 18);
    d->label = ui::text(QString(), ui::TextStyle::subheadline, ui::NamedColor::white);
    row->addWidget(d->icon);
    row->addWidget(d->label);
    d->pill->hide();

    d->slide = new QPropertyAnimation(d->pill, "pos", this);
    d->slide->setDuration(slideMilliseconds);
    d->slide->setEasingCurve(QEasingCurve::InOutQuad);
    new ResizeWatcher(this, [this] { d->resized(); });
    connect(d->slide, &QPropertyAnimation::finished, this, [this] {
        if (!d->showing)
            d->pill->hide();
    });
    refresh();
}

DeviceBanner::~DeviceBanner()
{
    delete d;
}

void DeviceBanner::refresh()
{
    const bool show = d->view.showDeviceNotification();
    if (show) {
        // The text is already localized and filled in: shown as it is. The
        // symbol follows the kind of event, whatever the language of the text.
        const bool insertion = d->view.deviceNotificationIsInsertion();
        const QString message = d->view.deviceNotificationMessage();
        const QString symbol = presentation::bannerSymbol(insertion);
        if (!d->showing || message != d->message || symbol != d->symbol) {
            d->message = message;
            d->symbol = symbol;
            d->icon->setSymbol(symbol, ui::color(presentation::bannerColor(insertion)));
            d->label->setText(message);
            d->label->setVisible(!message.isEmpty());
            d->pill->adjustSize();
            // A new message while shown replaces the text in place, centred
            // again (also when it arrives while the pill slides in).
            if (d->showing && d->slide->state() != QAbstractAnimation::Running)
                d->pill->move(d->shownPosition());
            else if (d->showing)
                d->slide->setEndValue(d->shownPosition());
        }
    }
    if (show == d->showing)
        return;
    d->showing = show;
    d->slide->stop();
    if (show) {
        d->pill->move(d->hiddenPosition());
        d->pill->show();
        d->pill->raise();
        d->slide->setStartValue(d->hiddenPosition());
        d->slide->setEndValue(d->shownPosition());
    } else {
        d->slide->setStartValue(d->pill->pos());
        d->slide->setEndValue(d->hiddenPosition());
    }
    d->slide->start();
}

bool DeviceBanner::isShowing() const
{
    return d->showing;
}

QString DeviceBanner::message() const
{
    return d->message;
}

QString DeviceBanner::symbol() const
{
    return d->symbol;
}

