#include "app/OnboardingView.h"

#include "app/OnboardingFlow.h"
#include "app/OnboardingPages.h"
#include "localization/LanguageManager.h"
#include "localization/Localization.h"
#include "toolkit/Motion.h"
#include "toolkit/Toolkit.h"
#include "platform/NotificationCenter.h"

#include <QFrame>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>

using ui::NamedColor;
using ui::TextStyle;
using Step = OnboardingFlow::Step;

namespace {

constexpr QSize viewSize{700, 650};

QFrame *divider()
{
    auto *line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

// A gap of about 40 points that gives way before the page does.
void addFlexibleGap(QBoxLayout *layout)
{
    layout->addSpacerItem(new QSpacerItem(0, 40, QSizePolicy::Minimum, QSizePolicy::Preferred));
}

QWidget *stepIndicator(const OnboardingFlow &flow)
{
    auto *indicator = new QWidget;
    QHBoxLayout *row = ui::hstack(indicator, 20, ui::padding(40, 20));
    for (Step step : OnboardingFlow::allSteps) {
        const int index = OnboardingFlow::index(step);
        const OnboardingFlow::Circle circle = flow.stepCircle(step);
        const bool current = circle == OnboardingFlow::Circle::current;
        QColor fill = ui::color(NamedColor::secondary, 0.3);
        if (circle == OnboardingFlow::Circle::completed)
            fill = ui::color(NamedColor::green);
        else if (current)
            fill = ui::color(NamedColor::blue);

        auto *item = new QWidget;
        QHBoxLayout *itemRow = ui::hstack(item, 12);
        QWidget *disc = onboardingpages::disc(
            32, fill, flow.isStepCompleted(step) ? QStringLiteral("checkmark") : QString(), QString::number(index + 1),
            current || flow.isStepCompleted(step) ? QColor(Qt::white) : ui::color(NamedColor::secondary), 14);
        disc->setObjectName(QStringLiteral("stepCircle%1").arg(index));
        itemRow->addWidget(disc);
        QLabel *title = ui::text(localized(OnboardingFlow::titleKey(step)),
                                 ui::font(TextStyle::subheadline, current ? QFont::DemiBold : QFont::Normal),
                                 current ? NamedColor::primary : NamedColor::secondary);
        title->setObjectName(QStringLiteral("stepTitle%1").arg(index));
        // Three titles share the fixed width: a long one takes a second line.
        title->setWordWrap(true);
        itemRow->addWidget(title);
        if (step != Step::complete) {
            auto *line = new ui::RoundedBox;
            line->setFill(ui::color(NamedColor::secondary, 0.3));
            line->setFixedHeight(1);
            itemRow->addWidget(line, 1);
        }
        row->addWidget(item, step != Step::complete ? 1 : 0);
    }
    return indicator;
}

QWidget *navigationBar(OnboardingFlow &flow)
{
    auto *bar = new QWidget;
    QHBoxLayout *row = ui::hstack(bar, ui::defaultSpacing, ui::padding(40, 20));
    if (flow.showsBackButton()) {
        auto *back = new QPushButton(localized(QStringLiteral("previous")));
        back->setObjectName(QStringLiteral("onboardingBackButton"));
        back->setStyleSheet(QStringLiteral("QPushButton { padding: 10px 20px; }"));
        back->setAutoDefault(true);   // Enter presses it while it has the focus
        QObject::connect(back, &QPushButton::clicked, &flow, &OnboardingFlow::previousStep);
        row->addWidget(back);
    }
    row->addStretch(1);
    ui::PaintedButton *next = ui::prominentButton(flow.mainButtonKey(), 20, 10);
    next->setObjectName(QStringLiteral("onboardingMainButton"));
    next->setEnabled(flow.isMainButtonEnabled());
    QObject::connect(next, &QAbstractButton::clicked, &flow, &OnboardingFlow::nextStep);
    row->addWidget(next);
    return bar;
}

QWidget *stepContent(OnboardingFlow &flow)
{
    auto *content = new QWidget;
    QVBoxLayout *stack = ui::vstack(content, 30, ui::padding(40, 0));
    addFlexibleGap(stack);
    QWidget *page = nullptr;
    switch (flow.currentStep()) {
    case Step::welcome: page = onboardingpages::welcomeStep(); break;
    case Step::permissions: page = onboardingpages::permissionsStep(flow); break;
    case Step::complete: page = onboardingpages::completeStep(flow); break;
    }
    page->setObjectName(QStringLiteral("onboardingPage%1").arg(OnboardingFlow::index(flow.currentStep())));
    stack->addWidget(page);
    addFlexibleGap(stack);
    return content;
}

} // namespace

struct OnboardingView::Impl
{
    OnboardingFlow &flow;
    QWidget *body = nullptr;
    Step drawnStep = Step::welcome;
};

OnboardingView::OnboardingView(OnboardingFlow &flow, NotificationCenter &center, QWidget *parent)
    : QWidget(parent), d(new Impl{flow})
{
    setObjectName(QStringLiteral("onboardingView"));
    setFixedSize(viewSize);
    setAutoFillBackground(true);
    QPalette background = palette();
    background.setColor(QPalette::Window, ui::color(NamedColor::windowBackground));
    setPalette(background);
    ui::vstack(this, 0);

    const auto rebuild = [this] {
        // The old content may hold the button whose press led here: it leaves
        // the tree now and goes once control is back in the event loop.
        if (d->body) {
            d->body->hide();
            d->body->setParent(nullptr);
            d->body->deleteLater();
        }
        d->body = new QWidget(this);
        QVBoxLayout *stack = ui::vstack(d->body, 0);
        stack->addWidget(stepIndicator(d->flow));
        stack->addWidget(divider());
        stack->addWidget(stepContent(d->flow), 1);
        stack->addWidget(divider());
        stack->addWidget(navigationBar(d->flow));
        layout()->addWidget(d->body);
        // Shown and laid out now, not on the next turn of the event loop.
        if (isVisible())
            d->body->show();
        layout()->activate();
    };
    rebuild();
    d->drawnStep = flow.currentStep();
    // A change of step, either way, fades from the old page to the new one;
    // the new one is live at once. Anything else redraws in place.
    connect(&flow, &OnboardingFlow::changed, this, [this, rebuild] {
        if (d->flow.currentStep() == d->drawnStep)
            return rebuild();
        d->drawnStep = d->flow.currentStep();
        ui::motion::crossfade(this, rebuild, ui::motion::stepChange);
    });
    center.addObserver(LanguageManager::languageDidChange, this, [rebuild](const NotificationCenter::Notification &) {
        rebuild();
    });
}

OnboardingView::~OnboardingView()
{
    delete d;
}

OnboardingFlow &OnboardingView::flow() const
{
    return d->flow;
}

QWidget *makeOnboardingWindow(OnboardingFlow *flow, NotificationCenter &center)
{
    // Titled and closable only; closing hides it (nothing deletes it on close).
    auto *window = new QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                            Qt::WindowCloseButtonHint);
    window->setObjectName(QStringLiteral("onboardingWindow"));
    // The title follows the desktop's language, not the one chosen in the app.
    window->setWindowTitle(mainTableLocalized(QStringLiteral("Welcome to Sweepbrook")));
    auto *view = new OnboardingView(*flow, center);
    // The content keeps its size; a screen too small for it scrolls it. Its
    // controls take the focus (the area scrolls to the one that has it), not
    // the area itself, which would show none.
    auto *scroll = new QScrollArea;
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setFocusPolicy(Qt::NoFocus);
    scroll->setAlignment(Qt::AlignCenter);
    scroll->setWidget(view);
    QVBoxLayout *stack = ui::vstack(window, 0);
    stack->addWidget(scroll);
    flow->setParent(window);   // after the view, so it goes after the view too
    QSize size = viewSize;
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        size = size.boundedTo(screen->availableGeometry().size());
    window->setFixedSize(size);
    QObject::connect(flow, &OnboardingFlow::finished, window, &QWidget::close);
    return window;
}
