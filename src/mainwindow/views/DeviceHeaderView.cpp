#include "mainwindow/views/DeviceHeaderView.h"

#include "localization/Bidi.h"
#include "localization/Localization.h"
#include "mainwindow/ContentView.h"
#include "toolkit/Presentation.h"
#include "toolkit/Toolkit.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>

#include <cmath>
#include <optional>
#include <tuple>

using ui::NamedColor;
using ui::TextStyle;

namespace {

// Used space as a share of the capacity on the bar's 0..1000 scale; an
// unknown (zero) capacity leaves the bar empty.
int storageBarValue(qint64 capacity, qint64 available)
{
    if (capacity <= 0)
        return 0;
    const double share = double(presentation::usedSpace(capacity, available)) / double(capacity);
    return int(std::lround(share * 1000.0));
}

// The fields of a device the header shows; a change in any of them redraws it.
auto shownFields(const LocalUSBDevice &device)
{
    return std::tie(device.id, device.name, device.serialNumber, device.vendorName, device.model, device.type,
                    device.fileSystem, device.capacity, device.available, device.isAccessible);
}

} // namespace

struct DeviceHeaderView::Impl
{
    ContentView &view;

    ui::SymbolLabel *kindSymbol = nullptr;
    QLabel *name = nullptr;
    // What the header shows now; a language change builds a new header.
    std::optional<LocalUSBDevice> drawnDevice;
    QString drawnScanKey;
    QLabel *serial = nullptr;
    QWidget *infoLine = nullptr;
    QStringList infoElements;

    ui::RoundedBox *badge = nullptr;
    ui::SymbolLabel *badgeSymbol = nullptr;
    QLabel *badgeText = nullptr;
    std::optional<bool> badgeAccessible;

    QLabel *storageText = nullptr;
    QProgressBar *storageBar = nullptr;
    ui::PaintedButton *scanButton = nullptr;

    explicit Impl(ContentView &v) : view(v) {}

    void setInfoLine(const QStringList &elements)
    {
        if (elements == infoElements)
            return;
        infoElements = elements;
        // Plain labels: nothing here takes clicks, so they can go at once.
        qDeleteAll(infoLine->findChildren<QLabel *>(QString(), Qt::FindDirectChildrenOnly));
        auto *layout = static_cast<QHBoxLayout *>(infoLine->layout());
        while (QLayoutItem *item = layout->takeAt(0))
            delete item;
        for (const QString &element : elements)
            layout->addWidget(ui::text(element, TextStyle::caption, NamedColor::secondary, infoLine));
        layout->addStretch(1);
    }

    void setBadge(bool accessible)
    {
        if (badgeAccessible == accessible)
            return;
        badgeAccessible = accessible;
        const NamedColor tint = accessible ? NamedColor::green : NamedColor::orange;
        badgeSymbol->setSymbol(accessible ? QStringLiteral("checkmark.circle.fill")
                                          : QStringLiteral("exclamationmark.triangle.fill"),
                               ui::color(tint));
        badgeText->setText(localized(accessible ? QStringLiteral("access_granted")
                                                : QStringLiteral("no_access_permission")));
        ui::setTextColor(badgeText, ui::color(tint));
        badge->setFill(ui::color(tint, 0.1));
    }
};

DeviceHeaderView::DeviceHeaderView(ContentView &view, QWidget *parent) : QWidget(parent), d(new Impl(view))
{
    setObjectName(QStringLiteral("deviceHeader"));
    QVBoxLayout *rows = ui::vstack(this, ui::defaultSpacing);

    // ---- Row 1: who the device is, and whether we may read it
    QHBoxLayout *row1 = ui::hstack();
    rows->addLayout(row1);

    QVBoxLayout *identityBlock = ui::vstack();
    row1->addLayout(identityBlock);
    QHBoxLayout *identityRow = ui::hstack();
    identityBlock->addLayout(identityRow);
    d->kindSymbol = new ui::SymbolLabel(DeviceTypes::iconName(DeviceType::usb), ui::color(NamedColor::blue), 13, this);
    d->name = ui::elidingText(QString(), ui::font(TextStyle::headline), NamedColor::primary, this);
    d->serial = ui::text(QString(), TextStyle::caption, NamedColor::secondary, this);
    d->serial->setObjectName(QStringLiteral("deviceSerial"));
    identityRow->addWidget(d->kindSymbol);
    identityRow->addWidget(d->name);
    identityRow->addWidget(d->serial);
    identityRow->addStretch(1);

    d->infoLine = new QWidget(this);
    d->infoLine->setObjectName(QStringLiteral("deviceInfoLine"));
    ui::hstack(d->infoLine, 4);
    identityBlock->addWidget(d->infoLine);

    row1->addStretch(1);

    QHBoxLayout *accessRow = ui::hstack(8);
    row1->addLayout(accessRow);
    d->badge = new ui::RoundedBox(this);
    d->badge->setObjectName(QStringLiteral("accessBadge"));
    d->badge->setCornerRadius(4);
    QHBoxLayout *badgeRow = ui::hstack(d->badge, 4, ui::padding(8, 4));
    d->badgeSymbol = new ui::SymbolLabel(QStringLiteral("checkmark.circle.fill"), ui::color(NamedColor::green), 10,
                                         d->badge);
    d->badgeText = ui::text(QString(), TextStyle::caption, NamedColor::primary, d->badge);
    badgeRow->addWidget(d->badgeSymbol);
    badgeRow->addWidget(d->badgeText);
    accessRow->addWidget(d->badge);

    auto *refreshButton = new ui::PaintedButton(this);
    refreshButton->setObjectName(QStringLiteral("refreshDeviceStateButton"));
    refreshButton->setSymbol(QStringLiteral("arrow.triangle.2.circlepath"), 14);
    refreshButton->setPadding(6, 6);
    refreshButton->setFill(ui::color(NamedColor::blue, 0.1));
    refreshButton->setForeground(ui::color(NamedColor::primary));
    refreshButton->setCornerRadius(4);
    refreshButton->setToolTip(localized(QStringLiteral("refresh_device_state")));
    accessRow->addWidget(refreshButton);
    connect(refreshButton, &QAbstractButton::clicked, this, [this] { d->view.refreshDeviceState(); });

    // ---- Row 2: used space and the scan button
    QHBoxLayout *row2 = ui::hstack(12);
    rows->addLayout(row2);
    QVBoxLayout *storage = ui::vstack(4, QMargins(0, 0, 8, 0));
    row2->addLayout(storage, 1);
    QHBoxLayout *storageTexts = ui::hstack();
    storage->addLayout(storageTexts);
    storageTexts->addWidget(ui::text(localized(QStringLiteral("storage_space")), TextStyle::caption,
                                     NamedColor::secondary, this));
    d->storageText = ui::text(QString(), TextStyle::caption, NamedColor::secondary, this);
    d->storageText->setObjectName(QStringLiteral("storageText"));
    storageTexts->addWidget(d->storageText);
    storageTexts->addStretch(1);
    d->storageBar = new QProgressBar(this);
    d->storageBar->setObjectName(QStringLiteral("storageBar"));
    d->storageBar->setRange(0, 1000);
    d->storageBar->setTextVisible(false);
    d->storageBar->setMaximumHeight(8);
    d->storageBar->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    storage->addWidget(d->storageBar);

    QHBoxLayout *actions = ui::hstack(10);
    row2->addLayout(actions);
    // The large prominent button; its text follows the scan's state.
    d->scanButton = ui::prominentButton(QStringLiteral("smart_scan"), 16, 8);
    d->scanButton->setObjectName(QStringLiteral("scanButton"));
    d->scanButton->setMinimumShapeSize(QSize(120, 32));
    d->scanButton->setFocusPolicy(Qt::StrongFocus);
    actions->addWidget(d->scanButton);
    connect(d->scanButton, &QAbstractButton::clicked, this, [this] { d->view.scanButtonAction(); });

    refresh();
}

DeviceHeaderView::~DeviceHeaderView()
{
    delete d;
}

void DeviceHeaderView::refresh()
{
    const std::optional<LocalUSBDevice> &selected = d->view.selectedDevice();
    if (!selected)
        return;
    const LocalUSBDevice &device = *selected;
    const QString scanKey = presentation::scanButtonKey(d->view.isScanning(), d->view.scanResults());
    // While a scan shows, the button stops it; otherwise it starts one only
    // when no work runs on the device.
    const bool scanEnabled = d->view.isScanning() || d->view.canStartWork();
    // Its focus stays in the header (showing none) rather than going on to
    // the next control, so the window can give it to what comes next.
    if (!scanEnabled && window()->focusWidget() == d->scanButton)
        setFocus(Qt::OtherFocusReason);
    d->scanButton->setEnabled(scanEnabled);
    // Called on every change of the window state: look texts up only when
    // something the header shows has changed.
    if (d->drawnDevice && shownFields(*d->drawnDevice) == shownFields(device) && d->drawnScanKey == scanKey)
        return;
    d->drawnDevice = device;
    d->drawnScanKey = scanKey;

    d->kindSymbol->setSymbol(DeviceTypes::iconName(device.type), ui::color(NamedColor::blue));
    d->name->setText(device.name);
    const std::optional<QString> serial = presentation::serialText(device.serialNumber);
    d->serial->setText(serial.value_or(QString()));
    d->serial->setVisible(serial.has_value());
    d->setInfoLine(presentation::deviceInfoLine(device));
    d->setBadge(device.isAccessible);

    d->storageText->setText(presentation::storageText(device));
    // Free space the file system does not tell is not drawn as empty or full.
    d->storageBar->setVisible(device.available.has_value());
    d->storageBar->setValue(device.available ? storageBarValue(device.capacity, *device.available) : 0);

    d->scanButton->setText(localized(scanKey));
}
