#include "mainwindow/views/SidebarView.h"

#include "localization/Localization.h"
#include "mainwindow/ContentView.h"
#include "mainwindow/DeviceService.h"
#include "toolkit/Presentation.h"
#include "toolkit/Toolkit.h"

#include <QAbstractButton>
#include <QFrame>
#include <QGridLayout>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QScrollArea>
#include <QScrollBar>

#include <algorithm>
#include <functional>
#include <tuple>

using ui::NamedColor;
using ui::TextStyle;

namespace {

// The widest text a free-space figure of a volume of this size gives in a
// row: none at all, or each unit with all the digits it shows (KB whole, MB
// with one decimal, GB with two, and as many whole GB as the volume holds).
int widestSpaceText(const QFontMetrics &metrics, qint64 capacity)
{
    qint64 wholeGB = 888;
    while (wholeGB < capacity / 1'000'000'000 && wholeGB < 1'000'000'000)
        wholeGB = wholeGB * 10 + 8;
    int widest = 0;
    for (const qint64 bytes : {0LL, 888'000LL, 888'800'000LL, wholeGB * 1'000'000'000 + 880'000'000}) {
        LocalUSBDevice sample;
        sample.available = bytes;
        const QString text = presentation::sidebarSpaceText(sample).value_or(QString());
        widest = std::max(widest, metrics.horizontalAdvance(text));
    }
    return widest;
}

// One connected device: kind symbol, name, kind and free space, and a check
// mark when it is the selected one. A click selects it, and so do Enter and
// Space while it has the focus.
class DeviceRow : public QWidget
{
public:
    DeviceRow(const LocalUSBDevice &device, bool selected, std::function<void(const LocalUSBDevice &)> onClick,
              QWidget *parent)
        : QWidget(parent), m_device(device), m_onClick(std::move(onClick))
    {
        setObjectName(QStringLiteral("deviceRow"));
        setProperty("deviceID", device.id);
        setAttribute(Qt::WA_Hover);
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::TabFocus);

        QHBoxLayout *row = ui::hstack(this, ui::defaultSpacing, ui::padding(4, 6));
        auto *symbol = new ui::SymbolLabel(DeviceTypes::iconName(device.type), ui::color(NamedColor::blue), 18, this);
        symbol->setFixedSize(24, 24);
        row->addWidget(symbol);

        QVBoxLayout *texts = ui::vstack();
        row->addLayout(texts);
        texts->addWidget(ui::elidingText(device.name, ui::font(TextStyle::body, QFont::Medium), NamedColor::primary, this));
        QHBoxLayout *kindLine = ui::hstack(4);
        texts->addLayout(kindLine);
        kindLine->addWidget(ui::text(localized(DeviceTypes::labelKey(device.type)), TextStyle::caption,
                                     NamedColor::secondary, this));
        if (const std::optional<QString> space = presentation::sidebarSpaceText(device)) {
            kindLine->addWidget(ui::text(QStringLiteral("•"), TextStyle::caption, NamedColor::secondary, this));
            QLabel *spaceLabel = ui::text(*space, TextStyle::caption, NamedColor::secondary, this);
            // Room for any free-space figure: a clean changes it, and the
            // sidebar, as wide as its rows, keeps its width.
            if (device.available)
                spaceLabel->setMinimumWidth(widestSpaceText(spaceLabel->fontMetrics(), device.capacity));
            kindLine->addWidget(spaceLabel);
        }
        kindLine->addStretch(1);

        row->addStretch(1);
        m_check = new ui::SymbolLabel(QStringLiteral("checkmark"), ui::color(NamedColor::blue), 10, this);
        m_check->setObjectName(QStringLiteral("selectedCheckmark"));
        // Its room stays while it is hidden: rows are built unselected (each
        // new free-space figure builds them again) and keep their width when
        // one is selected.
        QSizePolicy keepRoom = m_check->sizePolicy();
        keepRoom.setRetainSizeWhenHidden(true);
        m_check->setSizePolicy(keepRoom);
        row->addWidget(m_check);
        setSelected(selected);
    }

    const LocalUSBDevice &device() const { return m_device; }
    bool isHovered() const { return m_hovered; }

    void setSelected(bool selected)
    {
        if (m_selected == selected && property("selected").isValid())
            return;
        m_selected = selected;
        setProperty("selected", selected);
        m_check->setVisible(selected);
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QColor fill = Qt::transparent;
        if (m_selected)
            fill = ui::color(NamedColor::blue, 0.1);
        else if (m_hovered)
            fill = ui::color(NamedColor::gray, 0.05);
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), 6, 6);
        painter.fillPath(path, fill);
        if (hasFocus())
            ui::paintFocusRing(painter, rect(), 6, rect());
    }

    void keyPressEvent(QKeyEvent *event) override
    {
        if (ui::choosesItem(event)) {
            choose();
            return;
        }
        QWidget::keyPressEvent(event);
    }

    void enterEvent(QEnterEvent *event) override
    {
        setHovered(true);
        QWidget::enterEvent(event);
    }

    void leaveEvent(QEvent *event) override
    {
        setHovered(false);
        QWidget::leaveEvent(event);
    }

    void mousePressEvent(QMouseEvent *event) override
    {
        if (event->button() == Qt::LeftButton)
            m_pressed = true;
        event->accept();
    }

    void mouseReleaseEvent(QMouseEvent *event) override
    {
        const bool click = m_pressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
        m_pressed = false;
        event->accept();
        if (click)
            choose();
    }

private:
    void choose()
    {
        // The selection may rebuild the list; nothing of this row is used afterwards.
        const LocalUSBDevice device = m_device;
        const std::function<void(const LocalUSBDevice &)> onClick = m_onClick;
        onClick(device);
    }

    void setHovered(bool hovered)
    {
        if (m_hovered == hovered)
            return;
        m_hovered = hovered;
        setProperty("hovered", hovered);
        update();
    }

    LocalUSBDevice m_device;
    std::function<void(const LocalUSBDevice &)> m_onClick;
    ui::SymbolLabel *m_check = nullptr;
    bool m_selected = false;
    bool m_hovered = false;
    bool m_pressed = false;
};

// The footer: the product name on the control background, the whole strip a button.
class FooterButton : public QAbstractButton
{
public:
    explicit FooterButton(QWidget *parent) : QAbstractButton(parent)
    {
        setObjectName(QStringLiteral("sidebarFooter"));
        setFont(ui::font(TextStyle::caption, QFont::Medium));
        setCursor(Qt::PointingHandCursor);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        ui::reachableByTab(this, 0);
    }

    QSize sizeHint() const override
    {
        const QFontMetrics metrics(font());
        return {metrics.horizontalAdvance(text()) + 2 * 12, metrics.height() + 2 * 8};
    }
    QSize minimumSizeHint() const override { return {2 * 12, sizeHint().height()}; }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), ui::color(NamedColor::controlBackground));
        painter.setPen(ui::color(NamedColor::primary));
        painter.setFont(font());
        const QRect label = rect().adjusted(12, 8, -12, -8);
        ui::drawLine(painter, label, Qt::AlignLeft | Qt::AlignVCenter, text());
    }
};

// The rows' scroll area: as wide as the widest row (at least 200), as tall as
// the room it gets. It follows its rows' least width as they lay out (a
// scroll area hears nothing of its widget's layout by itself).
class RowScrollArea : public QScrollArea
{
public:
    explicit RowScrollArea(QWidget *parent) : QScrollArea(parent)
    {
        setWidgetResizable(true);
        setFrameShape(QFrame::NoFrame);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setFocusPolicy(Qt::NoFocus);   // its rows take the focus
    }

    void setRows(QWidget *rows)
    {
        rows->installEventFilter(this);
        setWidget(rows);
        updateGeometry();
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == widget() && event->type() == QEvent::LayoutRequest)
            updateGeometry();
        return QScrollArea::eventFilter(watched, event);
    }

    QSize minimumSizeHint() const override
    {
        int width = 200;
        if (widget())
            width = std::max(width, widget()->minimumSizeHint().width() + verticalScrollBar()->sizeHint().width());
        return {width, 0};
    }
    QSize sizeHint() const override { return {minimumSizeHint().width(), 200}; }
};

// Whether two lists show the same rows; a change in what a row shows rebuilds the rows.
bool sameRows(const QList<LocalUSBDevice> &a, const QList<LocalUSBDevice> &b)
{
    const auto shown = [](const LocalUSBDevice &d) { return std::tie(d.id, d.name, d.type, d.capacity, d.available); };
    return std::equal(a.cbegin(), a.cend(), b.cbegin(), b.cend(),
                      [&shown](const LocalUSBDevice &x, const LocalUSBDevice &y) { return shown(x) == shown(y); });
}

} // namespace

struct SidebarView::Impl
{
    ContentView &view;
    DeviceService &devices;

    QWidget *listHost = nullptr;       // the rows' area with the empty state over it
    RowScrollArea *scroll = nullptr;
    QWidget *content = nullptr;        // the scroll area's widget, rebuilt afresh
    QWidget *emptyState = nullptr;
    FooterButton *footer = nullptr;
    QList<QPointer<DeviceRow>> rows;

    std::optional<quint64> builtGeneration;   // every flip of the refresh flag builds afresh
    QList<LocalUSBDevice> builtList;

    Impl(ContentView &v, DeviceService &s) : view(v), devices(s) {}

    void build(const QList<LocalUSBDevice> &list)
    {
        builtGeneration = view.refreshGeneration();
        builtList = list;
        rows.clear();

        // The old rows may be the sender of the click that led here: they go
        // out of the tree now and are deleted once control returns to the loop.
        if (QWidget *old = scroll->takeWidget()) {
            old->hide();
            old->setParent(nullptr);
            old->deleteLater();
        }
        content = new QWidget;
        content->setObjectName(QStringLiteral("deviceList"));
        QVBoxLayout *stack = ui::vstack(content, 2, ui::padding(8, 8));
        for (const LocalUSBDevice &device : list) {
            auto *row = new DeviceRow(device, false, [this](const LocalUSBDevice &d) { view.selectDevice(d); }, content);
            stack->addWidget(row);
            rows << row;
        }
        stack->addStretch(1);
        scroll->setRows(content);

        delete emptyState;   // takes no clicks
        emptyState = new QWidget(listHost);
        emptyState->setObjectName(QStringLiteral("emptySidebarState"));
        emptyState->setAttribute(Qt::WA_TransparentForMouseEvents);
        QVBoxLayout *empty = ui::vstack(emptyState, ui::defaultSpacing, ui::padding(ui::defaultPadding));
        empty->addWidget(ui::text(localized(QStringLiteral("no_device_selected")), TextStyle::headline),
                         0, Qt::AlignHCenter);
        empty->addWidget(ui::paragraph(localized(QStringLiteral("no_device_message")), TextStyle::subheadline,
                                       NamedColor::secondary));
        static_cast<QGridLayout *>(listHost->layout())->addWidget(emptyState, 0, 0, Qt::AlignCenter);
        emptyState->setVisible(list.isEmpty());

        footer->setText(mainTableLocalized(QStringLiteral("Sweepbrook")));
    }

    void updateSelection()
    {
        const std::optional<LocalUSBDevice> &selected = view.selectedDevice();
        for (const QPointer<DeviceRow> &row : std::as_const(rows)) {
            if (row)
                row->setSelected(selected && selected->id == row->device().id);
        }
    }
};

SidebarView::SidebarView(ContentView &view, DeviceService &devices, QWidget *parent)
    : QWidget(parent), d(new Impl(view, devices))
{
    QVBoxLayout *stack = ui::vstack(this, 0);

    d->listHost = new QWidget(this);
    auto *grid = new QGridLayout(d->listHost);
    grid->setContentsMargins(0, 0, 0, 0);
    d->scroll = new RowScrollArea(d->listHost);
    grid->addWidget(d->scroll, 0, 0);
    stack->addWidget(d->listHost, 1);

    auto *divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    stack->addWidget(divider);
    d->footer = new FooterButton(this);
    stack->addWidget(d->footer);
    connect(d->footer, &QAbstractButton::clicked, this, [this] { d->view.setShowAbout(!d->view.showAbout()); });

    refresh();
}

SidebarView::~SidebarView()
{
    delete d;
}

void SidebarView::refresh()
{
    const QList<LocalUSBDevice> list = d->devices.connectedDevices();
    if (d->builtGeneration != d->view.refreshGeneration() || !sameRows(d->builtList, list))
        d->build(list);
    d->updateSelection();
}
