#include "mainwindow/views/MainWindow.h"

#include "localization/LanguageManager.h"
#include "localization/Localization.h"
#include "localization/MessageBoxWidth.h"
#include "mainwindow/ContentView.h"
#include "mainwindow/DeviceService.h"
#include "mainwindow/views/CleanPromptView.h"
#include "mainwindow/views/DetailColumn.h"
#include "mainwindow/views/DeviceBanner.h"
#include "toolkit/Presentation.h"
#include "mainwindow/views/SidebarView.h"
#include "toolkit/Toolkit.h"

#include <QAction>
#include <QCloseEvent>
#include <QEvent>
#include <QGridLayout>
#include <QHideEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QShowEvent>
#include <QSplitter>
#include <QToolBar>
#include <QVariantAnimation>

namespace {

// Keeps the banner over the whole central area.
class OverlayKeeper final : public QObject
{
public:
    OverlayKeeper(QWidget *area, QWidget *overlay) : QObject(area), m_area(area), m_overlay(overlay)
    {
        area->installEventFilter(this);
        m_overlay->setGeometry(area->rect());
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_area && event->type() == QEvent::Resize) {
            m_overlay->setGeometry(m_area->rect());
            m_overlay->raise();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QWidget *m_area;
    QWidget *m_overlay;
};

// The window's content: at least 800 by 600, and as large as its layout needs.
class WindowContent final : public QWidget
{
public:
    QSize minimumSizeHint() const override { return QWidget::minimumSizeHint().expandedTo(QSize(800, 600)); }
};

// Opens a sheet over the window. However it closes (a choice, Escape, the
// window's close, the state), `dismissed` runs exactly once and the sheet goes.
void presentSheet(QWidget *window, QDialog *sheet, std::function<void()> dismissed)
{
    sheet->setWindowModality(Qt::WindowModal);
    QObject::connect(sheet, &QDialog::finished, window, [sheet, dismissed = std::move(dismissed)] {
        if (sheet->property("dismissHandled").toBool())
            return;
        sheet->setProperty("dismissHandled", true);
        sheet->deleteLater();
        dismissed();
    });
    sheet->open();
}

} // namespace

struct MainWindow::Impl
{
    Impl(MainWindow *owner, ContentView &window, DeviceService &service, LanguageManager &languageManager)
        : self(owner), view(window), devices(service), languages(languageManager)
    {
    }

    MainWindow *self;
    ContentView &view;
    DeviceService &devices;
    LanguageManager &languages;

    SidebarView *sidebar = nullptr;
    DetailColumn *detail = nullptr;
    DeviceBanner *banner = nullptr;

    QToolBar *toolbar = nullptr;
    QAction *settingsAction = nullptr;
    QAction *historyAction = nullptr;
    QAction *ejectAction = nullptr;
    QAction *refreshAction = nullptr;
    ui::PaintedButton *ejectButton = nullptr;
    ui::RoundedBox *ejectingBadge = nullptr;
    QLabel *ejectingLabel = nullptr;
    std::optional<quint64> toolbarGeneration;   // the refresh flips the toolbar texts were set after

    QPointer<QMessageBox> alert;
    QPointer<CleanPromptView> prompt;
    SheetMaker makeSettings;
    QPointer<QDialog> settings;

    bool appeared = false;
    bool refreshing = false;
    bool refreshAgain = false;

    void buildToolbar();
    void refreshAll();
    void refreshToolbar();
    void refreshAlert();
    void openAlert();
    void fillAlert();
    void alertFinished(QMessageBox *box, QAbstractButton *okButton, bool closedByWindow);
    void refreshPrompt();
    void refreshSettings();
};

void MainWindow::Impl::buildToolbar()
{
    toolbar = new QToolBar(self);
    toolbar->setObjectName(QStringLiteral("mainToolbar"));
    toolbar->setMovable(false);
    toolbar->setFloatable(false);
    toolbar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    toolbar->toggleViewAction()->setVisible(false);
    self->addToolBar(Qt::TopToolBarArea, toolbar);

    // Each item has a name, and a place in the Tab order with a visible focus ring.
    const auto tagged = [this](QAction *action, const QString &name) {
        action->setObjectName(name);
        if (QWidget *widget = toolbar->widgetForAction(action)) {
            widget->setObjectName(name);
            if (auto *button = qobject_cast<QAbstractButton *>(widget))
                ui::reachableByTab(button);
        }
    };

    settingsAction = toolbar->addAction(QString());
    tagged(settingsAction, QStringLiteral("settingsToolbarButton"));
    QObject::connect(settingsAction, &QAction::triggered, self, [this] { view.setShowSettings(!view.showSettings()); });

    historyAction = toolbar->addAction(QString());
    tagged(historyAction, QStringLiteral("historyToolbarButton"));
    QObject::connect(historyAction, &QAction::triggered, self, [this] { view.setShowHistory(!view.showHistory()); });

    // The eject item: a red button, with the busy badge laid over it while an eject runs.
    auto *ejectItem = new QWidget;
    ejectItem->setObjectName(QStringLiteral("ejectToolbarItem"));
    auto *stack = new QGridLayout(ejectItem);
    stack->setContentsMargins(4, 0, 4, 0);
    ejectButton = new ui::PaintedButton;
    ejectButton->setObjectName(QStringLiteral("ejectToolbarButton"));
    ejectButton->setSymbol(QStringLiteral("eject"), 12);
    ejectButton->setLabelFont(ui::font(ui::TextStyle::body));
    ejectButton->setPadding(8, 4);
    ejectButton->setSpacing(ui::defaultSpacing);
    ejectButton->setFill(ui::color(ui::NamedColor::red, 0.7));
    ejectButton->setForeground(Qt::white);
    ejectButton->setCornerRadius(6);
    stack->addWidget(ejectButton, 0, 0, Qt::AlignCenter);
    QObject::connect(ejectButton, &QAbstractButton::clicked, self, [this] { view.ejectSelectedDevice(); });

    ejectingBadge = new ui::RoundedBox;
    ejectingBadge->setObjectName(QStringLiteral("ejectingBadge"));
    ejectingBadge->setFill(ui::color(ui::NamedColor::gray, 0.8));
    ejectingBadge->setCornerRadius(6);
    QHBoxLayout *badgeRow = ui::hstack(ejectingBadge, ui::defaultSpacing, ui::padding(8, 4));
    badgeRow->addWidget(new ui::Spinner(Qt::white, 12));
    ejectingLabel = ui::text(QString(), ui::TextStyle::body, ui::NamedColor::white);
    badgeRow->addWidget(ejectingLabel);
    stack->addWidget(ejectingBadge, 0, 0, Qt::AlignCenter);
    ejectingBadge->hide();

    ejectAction = toolbar->addWidget(ejectItem);
    ejectAction->setObjectName(QStringLiteral("ejectToolbarButton"));
    ejectAction->setVisible(false);

    refreshAction = toolbar->addAction(QString());
    tagged(refreshAction, QStringLiteral("refreshToolbarButton"));
    QObject::connect(refreshAction, &QAction::triggered, self, [this] { devices.refreshDevices(); });
}

void MainWindow::Impl::refreshAll()
{
    // A refresh can close a sheet whose handler changes the state again: run
    // once more afterwards instead of nesting.
    if (refreshing) {
        refreshAgain = true;
        return;
    }
    refreshing = true;
    do {
        refreshAgain = false;
        sidebar->refresh();
        detail->refresh();
        banner->refresh();
        refreshToolbar();
        refreshSettings();
        refreshAlert();
        refreshPrompt();
    } while (refreshAgain);
    refreshing = false;
}

void MainWindow::Impl::refreshToolbar()
{
    if (toolbarGeneration != view.refreshGeneration()) {
        // Every flip looks all texts up again (the language may have changed).
        toolbarGeneration = view.refreshGeneration();
        const QColor tint = ui::color(ui::NamedColor::primary);
        const auto label = [&tint](QAction *action, const QString &symbol, const QString &helpKey) {
            action->setIcon(ui::symbolIcon(symbol, tint));
            action->setText(localized(helpKey));
            action->setToolTip(localized(helpKey));
        };
        label(settingsAction, QStringLiteral("gear"), QStringLiteral("settings_help"));
        label(historyAction, QStringLiteral("clock.arrow.circlepath"), QStringLiteral("history_help"));
        label(refreshAction, QStringLiteral("arrow.clockwise"), QStringLiteral("refresh_devices"));
        ejectButton->setText(localized(QStringLiteral("eject_device")));
        ejectButton->setToolTip(localized(QStringLiteral("eject_help")));
        ejectButton->updateGeometry();
    }

    const std::optional<LocalUSBDevice> &device = view.selectedDevice();
    ejectAction->setVisible(device.has_value());
    const bool ejecting = view.isEjecting();
    // No eject while a scan or clean runs on the device.
    ejectButton->setEnabled(!ejecting && view.canStartWork());
    if (ejecting && device) {
        const QString text = presentation::ejectingText(view.ejectingDeviceName());
        if (ejectingLabel->text() != text)
            ejectingLabel->setText(text);
    }
    ejectingBadge->setVisible(ejecting && device);
}

// ---------------------------------------------------------------- alert

void MainWindow::Impl::refreshAlert()
{
    if (view.showingAlert()) {
        if (alert)
            fillAlert();   // re-evaluated while presented
        else
            openAlert();
        return;
    }
    if (alert) {
        // The state no longer asks for it: dismissed by the window, not the user.
        QMessageBox *box = alert;
        alert = nullptr;
        box->setProperty("closedByWindow", true);
        box->done(QMessageBox::Cancel);
    }
}

void MainWindow::Impl::openAlert()
{
    auto *box = new QMessageBox(self);
    box->setObjectName(QStringLiteral("windowAlert"));
    box->setWindowModality(Qt::WindowModal);
    box->setTextFormat(Qt::PlainText);
    box->setIcon(QMessageBox::NoIcon);
    alert = box;
    fillAlert();
    QObject::connect(box, &QDialog::finished, self, [this, box] {
        const bool closedByWindow = box->property("closedByWindow").toBool();
        auto *okButton = qobject_cast<QAbstractButton *>(box->property("okButton").value<QObject *>());
        alertFinished(box, okButton, closedByWindow);
    });
    box->open();
}

void MainWindow::Impl::fillAlert()
{
    QMessageBox *box = alert;
    const bool message = view.activeAlert() == ContentView::ActiveAlert::message;
    const QString title = message ? view.alertTitle() : QString();
    const QString text = message ? view.alertMessage() : QString();
    // The title is the alert's heading (an attached dialog has no title bar),
    // the message its body; both plain text, as they may hold device names.
    if (box->windowTitle() != title)
        box->setWindowTitle(title);
    if (box->text() != title)
        box->setText(title);
    if (box->informativeText() != text) {
        box->setInformativeText(text);
        if (auto *body = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel")))
            body->setTextFormat(Qt::PlainText);
    }
    const QString okText = localized(QStringLiteral("ok"));
    QAbstractButton *okButton = qobject_cast<QAbstractButton *>(box->property("okButton").value<QObject *>());
    if (message && !okButton) {
        const QList<QAbstractButton *> others = box->buttons();
        for (QAbstractButton *other : others) {
            box->removeButton(other);
            delete other;
        }
        QPushButton *ok = box->addButton(okText, QMessageBox::AcceptRole);
        ok->setObjectName(QStringLiteral("alertOkButton"));
        box->setDefaultButton(ok);
        box->setProperty("okButton", QVariant::fromValue<QObject *>(ok));
        okButton = ok;
    } else if (!message && !okButton && box->buttons().isEmpty()) {
        box->setStandardButtons(QMessageBox::Close);
    }
    // Once OK exists it stays: the content may turn to none while the alert
    // closes after OK, and the press must still be the one that closes it.
    if (okButton && okButton->text() != okText)
        okButton->setText(okText);
    fitMessageBoxToText(*box);
}

void MainWindow::Impl::alertFinished(QMessageBox *box, QAbstractButton *okButton, bool closedByWindow)
{
    if (alert == box)
        alert = nullptr;
    box->deleteLater();
    if (closedByWindow)
        return;
    if (okButton && box->clickedButton() == okButton) {
        view.dismissAlertAndRefresh();
        return;
    }
    // Any other way out (Escape, the close button) only ends the alert.
    if (view.showingAlert())
        view.setShowingAlert(false);
}

// ---------------------------------------------------------------- clean-on-insert sheet

void MainWindow::Impl::refreshPrompt()
{
    if (view.showCleanDialog()) {
        if (prompt) {
            prompt->setDeviceName(view.cleanPromptDeviceName());
            return;
        }
        ContentView &window = view;
        auto *sheet = new CleanPromptView(
            view.cleanPromptDeviceName(),
            [&window] { window.withNewDevice([&window](const LocalUSBDevice &d) { window.scanDevice(d); }); },
            [&window] { window.withNewDevice([&window](const LocalUSBDevice &d) { window.quickCleanDevice(d); }); },
            [] {}, languages, 116, self);
        prompt = sheet;
        presentSheet(self, sheet, [this, sheet] {
            if (prompt == sheet)
                prompt = nullptr;
            view.setShowCleanDialog(false);
            view.onCleanPromptDismiss();
        });
        return;
    }
    if (prompt) {
        // The state closed the sheet: close it without a choice.
        CleanPromptView *sheet = prompt;
        sheet->QDialog::done(QDialog::Rejected);
    }
}

// ---------------------------------------------------------------- settings sheet

void MainWindow::Impl::refreshSettings()
{
    if (view.showSettings()) {
        if (settings || !makeSettings)
            return;
        QDialog *sheet = makeSettings(self);
        settings = sheet;
        presentSheet(self, sheet, [this, sheet] {
            if (settings == sheet)
                settings = nullptr;
            view.setShowSettings(false);
            view.settingsSheetDismissed();
        });
        return;
    }
    if (settings)
        settings->reject();
}

// ---------------------------------------------------------------- window

MainWindow::MainWindow(ContentView &view, DeviceService &devices, LanguageManager &languageManager, QWidget *parent)
    : QMainWindow(parent), d(new Impl(this, view, devices, languageManager))
{
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Sweepbrook"));
    setContextMenuPolicy(Qt::NoContextMenu);

    // The window content can't be made smaller than 800 by 600, nor than its
    // texts need (a language with longer words makes the window a little wider).
    auto *central = new WindowContent;
    QHBoxLayout *columns = ui::hstack(central, 0);
    auto *splitter = new QSplitter(Qt::Horizontal);
    splitter->setChildrenCollapsible(false);
    // The sidebar is never narrower than its rows (at least 200): a fixed
    // minimum below that let the splitter cut the end of a row's free space.
    d->sidebar = new SidebarView(view, devices);
    d->detail = new DetailColumn(view, devices);
    splitter->addWidget(d->sidebar);
    splitter->addWidget(d->detail);
    splitter->setStretchFactor(0, 0);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({240, 720});
    columns->addWidget(splitter);
    setCentralWidget(central);

    d->banner = new DeviceBanner(view, central);
    new OverlayKeeper(central, d->banner);
    d->banner->raise();

    d->buildToolbar();

    connect(&view, &ContentView::stateChanged, this, [this] { d->refreshAll(); });
    // Closing waits for the work under way; once it has ended the window closes.
    connect(&view, &ContentView::readyToClose, this, &QWidget::close);
    d->refreshAll();
}

MainWindow::~MainWindow()
{
    disconnect(&d->view, nullptr, this, nullptr);
    // Quitting with the settings sheet up closes it the way the user would,
    // so what was edited in it is stored.
    if (d->settings)
        d->settings->reject();
    // The sheets call back into this window when they close.
    if (d->prompt)
        d->prompt->disconnect(this);
    if (d->alert)
        d->alert->disconnect(this);
    delete d;
}

void MainWindow::devicesChanged()
{
    d->refreshAll();
}

void MainWindow::setSettingsSheetMaker(SheetMaker make)
{
    d->makeSettings = std::move(make);
    d->refreshAll();
}

QDialog *MainWindow::settingsSheet() const
{
    return d->settings;
}

SidebarView *MainWindow::sidebar() const
{
    return d->sidebar;
}

DetailColumn *MainWindow::detailColumn() const
{
    return d->detail;
}

DeviceBanner *MainWindow::banner() const
{
    return d->banner;
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    // Appearing, not restoring from the dock or taskbar.
    if (event->spontaneous() || d->appeared)
        return;
    d->appeared = true;
    d->view.onAppearSetup();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // A scan or clean under way first stops at its next item and records what
    // it removed; the window says it is finishing meanwhile.
    if (!d->view.prepareToClose()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

void MainWindow::hideEvent(QHideEvent *event)
{
    QMainWindow::hideEvent(event);
    if (event->spontaneous() || !d->appeared)
        return;
    d->appeared = false;
    d->view.stopDeviceMonitoring();
}
