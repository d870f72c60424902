#include "mainwindow/views/DetailColumn.h"

#include "localization/Bidi.h"
#include "localization/Localization.h"
#include "mainwindow/ContentView.h"
#include "mainwindow/DeviceService.h"
#include "mainwindow/FailureReasons.h"
#include "mainwindow/views/AccessPanels.h"
#include "mainwindow/views/DeviceHeaderView.h"
#include "toolkit/Presentation.h"
#include "mainwindow/views/ScanResultsView.h"
#include "toolkit/Toolkit.h"

#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

#include <cmath>

using presentation::DetailRoute;
using ui::NamedColor;
using ui::TextStyle;

namespace {

// What decides the detail column's route, from the window's state.
presentation::DetailState detailStateOf(const ContentView &view)
{
    presentation::DetailState state;
    state.isAuthorizing = view.isAuthorizing();
    state.selectedDevice = view.selectedDevice();
    state.isScanning = view.isScanning();
    state.isCleaning = view.isCleaning();
    state.isQuitting = view.isQuitting();
    state.cleanedFileCount = view.cleanedFileCount();
    state.hasAnyResultEntry = !view.scanResults().isEmpty();
    return state;
}


// What fills the column: the authorizing view, the placeholder, or a device
// (header, divider and one body).
enum class Frame { authorizing, noDevice, device };

Frame frameOf(DetailRoute route)
{
    switch (route) {
    case DetailRoute::authorizing: return Frame::authorizing;
    case DetailRoute::noDevice: return Frame::noDevice;
    default: return Frame::device;
    }
}

// A view that fills the column on the window background.
QWidget *filledView(const QString &objectName)
{
    auto *widget = new QWidget;
    widget->setObjectName(objectName);
    widget->setAutoFillBackground(true);
    widget->setBackgroundRole(QPalette::Window);
    return widget;
}

// A centred stack with room above and below, so its content sits in the middle.
QVBoxLayout *centredStack(QWidget *owner, int spacing)
{
    QVBoxLayout *stack = ui::vstack(owner, spacing);
    stack->addStretch(1);
    return stack;
}

void addCentred(QVBoxLayout *stack, QWidget *widget)
{
    stack->addWidget(widget, 0, Qt::AlignHCenter);
}

// The capsule of the empty state's and the completion view's scan buttons.
ui::PaintedButton *scanDeviceButton(const QString &symbol, const QString &objectName)
{
    ui::PaintedButton *button = ui::prominentCapsule(QStringLiteral("scan_device"), symbol);
    button->setObjectName(objectName);
    button->setPadding(16, 8);
    return button;
}


// Takes a view out of the column at once; it is deleted when control is back in
// the event loop, since it may hold the button whose click led here. A focus
// inside it stays in the column (on the column itself, which shows none) until
// the next view is there: left to Qt, it would go on to the next control in
// the window, the sidebar's footer.
void retire(QWidget *widget, QWidget *column)
{
    if (!widget)
        return;
    const QWidget *focus = column->window()->focusWidget();
    if (focus && (focus == widget || widget->isAncestorOf(focus)))
        column->setFocus(Qt::OtherFocusReason);
    widget->hide();
    widget->setParent(nullptr);
    widget->deleteLater();
}

} // namespace

struct DetailColumn::Impl
{
    DetailColumn *self;
    ContentView &view;
    DeviceService &devices;
    QVBoxLayout *root = nullptr;

    std::optional<bool> builtToggle;
    std::optional<quint64> builtGeneration;   // every flip of the flag builds afresh
    std::optional<DetailRoute> builtRoute;
    bool focusWaits = false;           // for the shown view's next action
    QWidget *frame = nullptr;          // what fills the column
    QWidget *body = nullptr;           // the shown view (the frame itself without a device)

    // Device frame.
    DeviceHeaderView *header = nullptr;
    QVBoxLayout *deviceStack = nullptr;

    // The parts that change in place.
    QWidget *listedHint = nullptr;     // placeholder: devices are listed
    QWidget *noDevicesHint = nullptr;  // placeholder: none is
    QProgressBar *scanProgress = nullptr;
    QLabel *scanStatus = nullptr;
    QProgressBar *cleanProgress = nullptr;
    QLabel *cleanTitle = nullptr;
    QLabel *cleanStatus = nullptr;
    QWidget *emptyScanButton = nullptr;
    QWidget *emptyScan = nullptr;
    QWidget *rescan = nullptr;
    QLabel *completionMessage = nullptr;
    QLabel *completionStats = nullptr;
    QLabel *completionFailures = nullptr;
    DeviceInaccessibleView *inaccessible = nullptr;
    ScanResultsView *results = nullptr;

    Impl(DetailColumn *column, ContentView &v, DeviceService &s) : self(column), view(v), devices(s) {}

    void clearParts()
    {
        listedHint = noDevicesHint = emptyScanButton = emptyScan = rescan = nullptr;
        scanProgress = cleanProgress = nullptr;
        scanStatus = cleanTitle = cleanStatus = completionMessage = completionStats = completionFailures = nullptr;
        inaccessible = nullptr;
        results = nullptr;
    }

    void buildFrame(DetailRoute route, bool toggle)
    {
        retire(frame, self);
        frame = body = nullptr;
        header = nullptr;
        deviceStack = nullptr;
        clearParts();

        switch (frameOf(route)) {
        case Frame::authorizing:
            frame = body = buildAuthorizing();
            break;
        case Frame::noDevice:
            frame = body = buildPlaceholder();
            break;
        case Frame::device: {
            frame = new QWidget;
            deviceStack = ui::vstack(frame, 0);
            auto *headerBox = new QWidget(frame);
            headerBox->setObjectName(QStringLiteral("deviceHeaderBox"));
            headerBox->setAutoFillBackground(true);
            QPalette palette = headerBox->palette();
            palette.setColor(QPalette::Window, ui::color(NamedColor::controlBackground));
            headerBox->setPalette(palette);
            QVBoxLayout *headerStack = ui::vstack(headerBox, 8, ui::padding(ui::defaultPadding));
            header = new DeviceHeaderView(view, headerBox);
            headerStack->addWidget(header);
            deviceStack->addWidget(headerBox);
            auto *divider = new QFrame(frame);
            divider->setFrameShape(QFrame::HLine);
            divider->setFrameShadow(QFrame::Sunken);
            deviceStack->addWidget(divider);
            break;
        }
        }
        frame->setProperty("identity", presentation::deviceDetailIdentity(route, toggle)
                                           .value_or(presentation::identity(route, toggle)));
        root->addWidget(frame, 1);
        builtToggle = toggle;
        builtGeneration = view.refreshGeneration();
        builtRoute = route;
        if (frameOf(route) == Frame::device)
            buildBody(route, toggle);
        else
            body->setProperty("identity", presentation::identity(route, toggle));
        frame->show();
    }

    void buildBody(DetailRoute route, bool toggle)
    {
        retire(body, self);
        clearParts();
        switch (route) {
        case DetailRoute::inaccessible:
            body = inaccessible = new DeviceInaccessibleView(view, *view.selectedDevice());
            break;
        case DetailRoute::scanning: body = buildScanning(); break;
        case DetailRoute::cleaning: body = buildCleaning(); break;
        case DetailRoute::completion: body = buildCompletion(); break;
        case DetailRoute::emptyState: body = buildEmptyState(); break;
        default:
            body = results = new ScanResultsView(view);
            break;
        }
        body->setProperty("identity", presentation::identity(route, toggle));
        deviceStack->addWidget(body, 1);
        builtRoute = route;
        body->show();
    }

    QWidget *buildAuthorizing()
    {
        auto *widget = new AuthorizingView;
        widget->setAutoFillBackground(true);
        widget->setBackgroundRole(QPalette::Window);
        return widget;
    }

    QWidget *buildPlaceholder()
    {
        QWidget *widget = filledView(QStringLiteral("noDeviceView"));
        QVBoxLayout *stack = centredStack(widget, 20);

        auto *symbols = new QWidget(widget);
        QHBoxLayout *symbolRow = ui::hstack(symbols, 15);
        symbolRow->addWidget(new ui::SymbolLabel(QStringLiteral("externaldrive.fill"),
                                                 ui::color(NamedColor::blue, 0.7), 48, symbols));
        symbolRow->addWidget(new ui::SymbolLabel(QStringLiteral("sdcard.fill"), ui::color(NamedColor::orange, 0.7),
                                                 48, symbols));
        addCentred(stack, symbols);

        QLabel *title = ui::text(localized(QStringLiteral("select_storage_device")), TextStyle::title2);
        title->setObjectName(QStringLiteral("noDeviceTitle"));
        addCentred(stack, title);

        listedHint = ui::paragraph(localized(QStringLiteral("select_from_sidebar")), TextStyle::body,
                                   NamedColor::secondary);
        listedHint->setContentsMargins(40, 0, 40, 0);
        stack->addWidget(listedHint);

        noDevicesHint = new QWidget(widget);
        QVBoxLayout *none = ui::vstack(noDevicesHint, 20);
        none->addWidget(ui::text(localized(QStringLiteral("no_devices_detected")), TextStyle::body,
                                 NamedColor::secondary),
                        0, Qt::AlignHCenter);
        ui::PaintedButton *refresh = ui::prominentButton(QStringLiteral("refresh_device_list"));
        refresh->setObjectName(QStringLiteral("refreshDeviceListButton"));
        QObject::connect(refresh, &QAbstractButton::clicked, widget, [this] { devices.refreshDevices(); });
        QVBoxLayout *buttonFrame = ui::vstack(0, QMargins(0, ui::defaultPadding, 0, 0));
        buttonFrame->addWidget(refresh, 0, Qt::AlignHCenter);
        none->addLayout(buttonFrame);
        addCentred(stack, noDevicesHint);

        ui::addGap(stack, 20);
        QLabel *tip = ui::paragraph(localized(QStringLiteral("device_auto_show_tip")), TextStyle::caption,
                                    NamedColor::secondary);
        tip->setContentsMargins(40, 0, 40, 0);
        stack->addWidget(tip);
        stack->addStretch(1);
        return widget;
    }

    QWidget *buildScanning()
    {
        QWidget *widget = filledView(QStringLiteral("scanningView"));
        QVBoxLayout *stack = centredStack(widget, 20);
        scanProgress = new QProgressBar(widget);
        scanProgress->setObjectName(QStringLiteral("scanProgress"));
        scanProgress->setRange(0, 1000);
        scanProgress->setTextVisible(false);
        scanProgress->setFixedWidth(300);
        addCentred(stack, scanProgress);
        addCentred(stack, ui::text(localized(QStringLiteral("scanning")), TextStyle::title2));
        scanStatus = ui::text(QString(), TextStyle::body, NamedColor::secondary);
        scanStatus->setObjectName(QStringLiteral("scanStatus"));
        addCentred(stack, scanStatus);
        stack->addStretch(1);
        return widget;
    }

    // A clean under way, with its share done when it is known; or the
    // window finishing the work under way before it closes.
    QWidget *buildCleaning()
    {
        QWidget *widget = filledView(QStringLiteral("cleaningView"));
        QVBoxLayout *stack = centredStack(widget, 20);
        cleanProgress = new QProgressBar(widget);
        cleanProgress->setObjectName(QStringLiteral("cleanProgress"));
        cleanProgress->setTextVisible(false);
        cleanProgress->setFixedWidth(300);
        addCentred(stack, cleanProgress);
        cleanTitle = ui::text(QString(), TextStyle::title2);
        cleanTitle->setObjectName(QStringLiteral("cleaningTitle"));
        addCentred(stack, cleanTitle);
        cleanStatus = ui::paragraph(QString(), TextStyle::body, NamedColor::secondary);
        cleanStatus->setObjectName(QStringLiteral("cleaningStatus"));
        cleanStatus->setContentsMargins(ui::defaultPadding, 0, ui::defaultPadding, 0);
        stack->addWidget(cleanStatus);
        stack->addStretch(1);
        return widget;
    }

    QWidget *buildEmptyState()
    {
        QWidget *widget = filledView(QStringLiteral("emptyStateView"));
        QVBoxLayout *stack = centredStack(widget, 20);
        addCentred(stack, new ui::SymbolLabel(QStringLiteral("externaldrive.badge.checkmark"),
                                              ui::color(NamedColor::green), 64));
        addCentred(stack, ui::text(localized(QStringLiteral("device_ready")), TextStyle::title2));
        QLabel *message = ui::paragraph(localized(QStringLiteral("device_clean_message")), TextStyle::body,
                                        NamedColor::secondary);
        message->setContentsMargins(ui::defaultPadding, 0, ui::defaultPadding, 0);
        stack->addWidget(message);

        ui::PaintedButton *scan = scanDeviceButton(QStringLiteral("magnifyingglass"),
                                                   QStringLiteral("emptyStateScanButton"));
        QObject::connect(scan, &QAbstractButton::clicked, widget, [this] {
            if (const std::optional<LocalUSBDevice> device = view.selectedDevice())
                view.scanDevice(*device);
        });
        emptyScan = scan;
        emptyScanButton = new QWidget(widget);
        QVBoxLayout *buttonFrame = ui::vstack(emptyScanButton, 0, QMargins(0, 10, 0, 0));
        buttonFrame->addWidget(scan, 0, Qt::AlignHCenter);
        addCentred(stack, emptyScanButton);
        stack->addStretch(1);
        return widget;
    }

    QWidget *buildCompletion()
    {
        QWidget *widget = filledView(QStringLiteral("completionView"));
        QVBoxLayout *stack = centredStack(widget, 20);
        addCentred(stack, new ui::SymbolLabel(QStringLiteral("checkmark.seal.fill"), ui::color(NamedColor::green), 64));
        addCentred(stack, ui::text(localized(QStringLiteral("clean_complete_with_files")),
                                   ui::font(TextStyle::title, QFont::DemiBold)));

        QVBoxLayout *texts = ui::vstack(10, QMargins(ui::defaultPadding, 0, ui::defaultPadding, 0));
        completionMessage = ui::paragraph(QString(), TextStyle::headline);
        completionMessage->setObjectName(QStringLiteral("completionMessage"));
        completionStats = ui::paragraph(QString(), TextStyle::body, NamedColor::secondary);
        completionStats->setObjectName(QStringLiteral("completionStats"));
        // What did not go, when something did not.
        completionFailures = ui::paragraph(QString(), TextStyle::body, NamedColor::orange);
        completionFailures->setObjectName(QStringLiteral("completionFailures"));
        texts->addWidget(completionMessage);
        texts->addWidget(completionStats);
        texts->addWidget(completionFailures);
        stack->addLayout(texts);

        ui::addGap(stack, 20);
        ui::PaintedButton *again = scanDeviceButton(QStringLiteral("arrow.clockwise"), QStringLiteral("rescanButton"));
        QObject::connect(again, &QAbstractButton::clicked, widget, [this] { view.rescanAction(); });
        addCentred(stack, again);
        rescan = again;
        ui::addGap(stack, 20);
        stack->addStretch(1);
        return widget;
    }

    // Whether the window's focus is in the column (the column itself included).
    bool holdsFocus() const
    {
        const QWidget *focus = self->window()->focusWidget();
        return focus && (focus == self || self->isAncestorOf(focus));
    }

    // The control a view offers next: scan again after a clean, clean after a
    // scan, scan a stick with no junk; none while work runs.
    QWidget *nextAction(DetailRoute route) const
    {
        switch (route) {
        case DetailRoute::results: return results->nextAction();
        case DetailRoute::completion: return rescan;
        case DetailRoute::emptyState: return emptyScan;
        default: return nullptr;
        }
    }

    // What changes without a new identity.
    void update(DetailRoute route)
    {
        if (header)
            header->refresh();
        switch (route) {
        case DetailRoute::noDevice: {
            const bool listed = !devices.connectedDevices().isEmpty();
            listedHint->setVisible(listed);
            noDevicesHint->setVisible(!listed);
            break;
        }
        case DetailRoute::scanning:
            scanProgress->setValue(int(std::lround(std::clamp(view.scanProgress(), 0.0, 1.0) * 1000.0)));
            scanStatus->setText(format(localized(QStringLiteral("scan_complete")),
                                       presentation::totalFileCount(view.scanResults()),
                                       presentation::byteCountText(view.totalJunkSize())));
            break;
        case DetailRoute::cleaning: {
            // A share done shows as a bar; an unknown one as a busy bar.
            const double share = view.cleanProgress();
            const bool known = share >= 0 && !view.isQuitting();
            cleanProgress->setRange(0, known ? 1000 : 0);
            if (known)
                cleanProgress->setValue(int(std::lround(std::clamp(share, 0.0, 1.0) * 1000.0)));
            const QString title = localized(view.isQuitting() ? QStringLiteral("finishing_title") : QStringLiteral("cleaning"));
            if (cleanTitle->text() != title)
                cleanTitle->setText(title);
            cleanStatus->setVisible(view.isQuitting());
            if (view.isQuitting())
                cleanStatus->setText(localized(QStringLiteral("finishing_message")));
            break;
        }
        case DetailRoute::emptyState: {
            const std::optional<LocalUSBDevice> &device = view.selectedDevice();
            emptyScanButton->setVisible(device && device->isAccessible);
            emptyScan->setEnabled(view.canStartWork());
            break;
        }
        case DetailRoute::completion: {
            const std::optional<LocalUSBDevice> &device = view.selectedDevice();
            completionMessage->setText(format(localized(QStringLiteral("clean_complete_message")),
                                              bidi::name(device ? device->name : QString())));
            completionStats->setText(format(localized(QStringLiteral("clean_result_stats")), view.cleanedFileCount(),
                                            presentation::byteCountText(std::max<qint64>(0, view.totalJunkSize()))));
            rescan->setEnabled(view.canStartWork());
            completionFailures->setVisible(view.failedFileCount() > 0);
            if (view.failedFileCount() > 0) {
                // The count, and why they stayed when that is known.
                QString failures = format(localized(QStringLiteral("clean_result_failed")), view.failedFileCount());
                if (view.failureReason() != 0)
                    failures += u'\n' + failureReasonText(view.failureReason());
                completionFailures->setText(failures);
            }
            break;
        }
        case DetailRoute::inaccessible:
            inaccessible->setDevice(*view.selectedDevice());
            break;
        case DetailRoute::results:
            results->refresh();
            break;
        case DetailRoute::authorizing:
            break;
        }
    }
};

DetailColumn::DetailColumn(ContentView &view, DeviceService &devices, QWidget *parent)
    : QWidget(parent), d(new Impl(this, view, devices))
{
    d->root = ui::vstack(this, 0);
    refresh();
}

DetailColumn::~DetailColumn()
{
    delete d;
}

void DetailColumn::refresh()
{
    const DetailRoute route = presentation::detailRoute(detailStateOf(d->view));
    const bool toggle = d->view.refreshToggle();
    const std::optional<DetailRoute> shown = d->builtRoute;
    const bool focused = d->holdsFocus();
    if (d->builtGeneration != d->view.refreshGeneration() || !d->builtRoute
        || frameOf(*d->builtRoute) != frameOf(route))
        d->buildFrame(route, toggle);
    else if (*d->builtRoute != route)
        d->buildBody(route, toggle);
    d->update(route);
    // A keyboard user in the column goes on with what the new view offers
    // next, once it takes presses (the work's end is recorded first).
    if (shown != route)
        d->focusWaits = focused;
    if (d->focusWaits && d->holdsFocus()) {
        if (QWidget *next = d->nextAction(route); next && next->isEnabled() && next->isVisibleTo(window())) {
            next->setFocus(Qt::OtherFocusReason);
            d->focusWaits = false;
        }
    }
}

QString DetailColumn::currentIdentity() const
{
    if (!d->builtRoute || !d->builtToggle)
        return {};
    return presentation::identity(*d->builtRoute, *d->builtToggle);
}

QWidget *DetailColumn::currentView() const
{
    return d->body;
}
