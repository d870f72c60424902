#include "app/OnboardingPages.h"

#include "app/OnboardingFlow.h"
#include "localization/Localization.h"
#include "toolkit/Toolkit.h"

#include <QApplication>
#include <QPainter>
#include <QToolButton>

using ui::NamedColor;
using ui::TextStyle;

namespace onboardingpages {

namespace {

class Disc final : public QWidget
{
public:
    Disc(int diameter, const QColor &fill, const QString &symbol, const QString &text, const QColor &foreground,
         int contentSize)
        : m_fill(fill), m_symbol(symbol), m_text(text), m_foreground(foreground), m_contentSize(contentSize)
    {
        setFixedSize(diameter, diameter);
        setProperty("fill", fill);
        setProperty("symbol", symbol);
        setProperty("text", text);
        setProperty("foreground", foreground);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(m_fill);
        painter.drawEllipse(QRectF(rect()));
        if (!m_symbol.isEmpty()) {
            const int pixels = int(std::lround(m_contentSize * 1.15));
            const QPixmap image = ui::symbolPixmap(m_symbol, m_foreground, pixels, devicePixelRatioF());
            painter.drawPixmap(QPointF((width() - pixels) / 2.0, (height() - pixels) / 2.0), image);
            return;
        }
        painter.setFont(ui::systemFont(m_contentSize, QFont::Medium));
        painter.setPen(m_foreground);
        painter.drawText(rect(), Qt::AlignCenter, m_text);
    }

private:
    QColor m_fill;
    QString m_symbol;
    QString m_text;
    QColor m_foreground;
    int m_contentSize;
};

// The page's wide action button: a coloured rounded label with a symbol, or a
// white spinner while the state is being checked.
class ActionButton final : public QAbstractButton
{
public:
    ActionButton(const QString &symbol, const QString &text, const QColor &fill, bool busy) : m_fill(fill)
    {
        setCursor(Qt::PointingHandCursor);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        setText(text);
        QHBoxLayout *row = ui::hstack(this, ui::defaultSpacing, ui::padding(0, 12));
        row->addStretch(1);
        QWidget *icon = busy ? static_cast<QWidget *>(new ui::Spinner(Qt::white, 13))
                             : new ui::SymbolLabel(symbol, Qt::white, 13);
        icon->setObjectName(busy ? QStringLiteral("spinner") : QStringLiteral("symbol"));
        row->addWidget(icon);
        row->addWidget(ui::text(text, ui::font(TextStyle::body, QFont::Medium), NamedColor::white));
        row->addStretch(1);
        for (QWidget *child : findChildren<QWidget *>())
            child->setAttribute(Qt::WA_TransparentForMouseEvents);
        ui::reachableByTab(this, 10, Qt::white);
    }

    QSize sizeHint() const override { return layout()->sizeHint(); }
    QSize minimumSizeHint() const override { return layout()->minimumSize(); }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setOpacity(isEnabled() ? (isDown() ? 0.85 : 1.0) : 0.5);
        painter.setPen(Qt::NoPen);
        painter.setBrush(m_fill);
        painter.drawRoundedRect(QRectF(rect()), 10, 10);
    }

private:
    QColor m_fill;
};

QWidget *symbolOf(const QString &symbol, NamedColor tint, int pointSize, int frameWidth = 0)
{
    auto *label = new ui::SymbolLabel(symbol, ui::color(tint), pointSize);
    label->setAlignment(Qt::AlignCenter);
    if (frameWidth > 0)
        label->setFixedWidth(frameWidth);
    return label;
}

// A title over a line, left-aligned.
QVBoxLayout *titleAndLine(const QString &title, const QString &line, int spacing, NamedColor lineTint)
{
    QVBoxLayout *texts = ui::vstack(spacing);
    texts->addWidget(ui::text(title, TextStyle::headline));
    QLabel *second = ui::text(line, TextStyle::subheadline, lineTint);
    second->setWordWrap(true);
    texts->addWidget(second);
    return texts;
}

QWidget *bigHeader(const QString &symbol, NamedColor tint, const QString &title, const QString &line)
{
    auto *header = new QWidget;
    QVBoxLayout *stack = ui::vstack(header, 20);
    stack->addWidget(symbolOf(symbol, tint, 80), 0, Qt::AlignHCenter);
    stack->addWidget(ui::text(title, ui::font(TextStyle::title, QFont::Bold)), 0, Qt::AlignHCenter);
    QLabel *subtitle = ui::paragraph(line, TextStyle::title3, NamedColor::secondary);
    subtitle->setContentsMargins(20, 0, 20, 0);
    stack->addWidget(subtitle);
    return header;
}

QWidget *page(std::initializer_list<QWidget *> blocks)
{
    auto *page = new QWidget;
    // As tall as its blocks: the gaps around it take what is left.
    page->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    QVBoxLayout *stack = ui::vstack(page, 25);
    for (QWidget *block : blocks)
        stack->addWidget(block);
    return page;
}

QWidget *statusCard(OnboardingFlow &flow, bool granted)
{
    auto *card = new ui::RoundedBox;
    card->setObjectName(QStringLiteral("permissionStatusCard"));
    card->setFill(ui::color(NamedColor::controlBackground, 0.5));
    card->setCornerRadius(12);
    QHBoxLayout *row = ui::hstack(card, 15, ui::padding(20));
    const NamedColor tint = granted ? NamedColor::green : NamedColor::orange;
    row->addWidget(disc(50, ui::color(tint, 0.2),
                        granted ? QStringLiteral("checkmark.shield.fill") : QStringLiteral("exclamationmark.triangle.fill"),
                        QString(), ui::color(tint), 24));
    // What the check found, and no more: root, or pkexec with a polkit authority.
    const bool asRoot = flow.privilegedAsRoot();
    row->addLayout(titleAndLine(!granted ? localized(QStringLiteral("permission_required"))
                                : asRoot ? localized(QStringLiteral("permission_granted_root"))
                                         : localized(QStringLiteral("permission_granted")),
                                !granted ? localized(QStringLiteral("some_files_require_manual_deletion"))
                                : asRoot ? localized(QStringLiteral("sweepbrook_can_clean_all_types_root"))
                                         : localized(QStringLiteral("sweepbrook_can_clean_all_types")),
                                4, NamedColor::secondary),
                   1);
    if (flow.isCheckingPermission()) {
        auto *spinner = new ui::Spinner(ui::color(NamedColor::secondary), 16);
        spinner->setObjectName(QStringLiteral("permissionCardSpinner"));
        row->addWidget(spinner);
    } else {
        auto *refresh = new QToolButton;
        refresh->setObjectName(QStringLiteral("permissionRefreshButton"));
        refresh->setAutoRaise(true);
        refresh->setCursor(Qt::PointingHandCursor);
        refresh->setIcon(ui::symbolIcon(QStringLiteral("arrow.clockwise"), ui::color(NamedColor::blue)));
        refresh->setIconSize(QSize(16, 16));
        refresh->setToolTip(localized(QStringLiteral("refresh_permission_status")));
        QObject::connect(refresh, &QToolButton::clicked, &flow, &OnboardingFlow::recheckPermission);
        row->addWidget(refresh);
    }
    return card;
}

QWidget *benefitRow(const QString &text)
{
    auto *row = new QWidget;
    QHBoxLayout *line = ui::hstack(row, 10);
    line->addWidget(symbolOf(QStringLiteral("checkmark.circle.fill"), NamedColor::green, 14));
    QLabel *label = ui::text(text, TextStyle::subheadline);
    label->setWordWrap(true);
    line->addWidget(label, 1);
    return row;
}

QWidget *tipRow(const QString &symbol, const QString &text)
{
    auto *row = new QWidget;
    QHBoxLayout *line = ui::hstack(row, 10);
    line->addWidget(symbolOf(symbol, NamedColor::blue, 14, 20));
    line->addWidget(ui::text(text, TextStyle::subheadline), 1);
    return row;
}

} // namespace

QWidget *disc(int diameter, const QColor &fill, const QString &symbol, const QString &text, const QColor &foreground,
              int contentSize)
{
    return new Disc(diameter, fill, symbol, text, foreground, contentSize);
}

QWidget *welcomeStep()
{
    auto *features = new QWidget;
    QVBoxLayout *rows = ui::vstack(features, 12);
    const auto feature = [rows](const QString &symbol, const QString &title, const QString &description) {
        auto *row = new QWidget;
        QHBoxLayout *line = ui::hstack(row, 15, ui::padding(20, 0));
        line->addWidget(symbolOf(symbol, NamedColor::blue, 20, 30));
        line->addLayout(titleAndLine(title, description, 2, NamedColor::secondary), 1);
        rows->addWidget(row);
    };
    feature(QStringLiteral("sparkles"), localized(QStringLiteral("smart_cleaning")),
            localized(QStringLiteral("automatically_detects_junk_files")));
    feature(QStringLiteral("shield.checkered"), localized(QStringLiteral("safe_and_secure")),
            localized(QStringLiteral("only_deletes_approved_files")));
    feature(QStringLiteral("globe"), localized(QStringLiteral("universal_support")),
            localized(QStringLiteral("works_with_usb_sd_cards")));

    return page({bigHeader(QStringLiteral("externaldrive.badge.checkmark"), NamedColor::blue,
                           localized(QStringLiteral("welcome_to_sweepbrook")),
                           localized(QStringLiteral("clean_usb_drives_effortlessly"))),
                 features});
}

QWidget *permissionsStep(OnboardingFlow &flow)
{
    const bool granted = flow.hasFullDiskAccess();

    auto *header = new QWidget;
    QVBoxLayout *headerStack = ui::vstack(header, 15);
    headerStack->addWidget(ui::text(localized(QStringLiteral("full_disk_access_permission")),
                                    ui::font(TextStyle::title2, QFont::DemiBold)),
                           0, Qt::AlignHCenter);
    QLabel *description = ui::paragraph(localized(QStringLiteral("full_disk_access_description")), TextStyle::body,
                                        NamedColor::secondary);
    description->setContentsMargins(20, 0, 20, 0);
    headerStack->addWidget(description);

    auto *benefits = new QWidget;
    QVBoxLayout *benefitRows = ui::vstack(benefits, 10, ui::padding(20, 0));
    benefitRows->addWidget(benefitRow(localized(QStringLiteral("delete_ds_store_automatically"))));
    benefitRows->addWidget(benefitRow(localized(QStringLiteral("remove_spotlight_indexes"))));
    benefitRows->addWidget(benefitRow(localized(QStringLiteral("clean_system_trash_folders"))));
    benefitRows->addWidget(benefitRow(localized(QStringLiteral("one_click_cleaning_all_types"))));

    auto *button = granted ? new ActionButton(QStringLiteral("checkmark.shield.fill"),
                                              localized(flow.privilegedAsRoot() ? QStringLiteral("permission_verified_root")
                                                                                : QStringLiteral("permission_verified")),
                                              ui::color(NamedColor::green), flow.isCheckingPermission())
                           : new ActionButton(QStringLiteral("lock.open.fill"),
                                              localized(QStringLiteral("setup_full_disk_access")),
                                              ui::prominentColors(QApplication::palette()).fill,
                                              flow.isCheckingPermission());
    button->setObjectName(granted ? QStringLiteral("permissionVerifiedButton") : QStringLiteral("permissionGrantButton"));
    button->setEnabled(!flow.isCheckingPermission());
    if (granted)
        QObject::connect(button, &QAbstractButton::clicked, &flow, &OnboardingFlow::recheckPermission);
    else
        QObject::connect(button, &QAbstractButton::clicked, &flow, &OnboardingFlow::requestFullDiskAccess);

    return page({statusCard(flow, granted), header, benefits, button});
}

QWidget *completeStep(const OnboardingFlow &flow)
{
    auto *tips = new QWidget;
    QVBoxLayout *rows = ui::vstack(tips, 12, ui::padding(20, 0));
    rows->addWidget(ui::text(localized(QStringLiteral("quick_tips")), TextStyle::headline));
    rows->addWidget(tipRow(QStringLiteral("externaldrive.badge.plus"), localized(QStringLiteral("insert_usb_to_get_started"))));
    rows->addWidget(tipRow(QStringLiteral("magnifyingglass"), localized(QStringLiteral("click_scan_to_analyze"))));
    rows->addWidget(tipRow(QStringLiteral("sparkles"), localized(QStringLiteral("review_results_and_clean"))));

    QWidget *header = bigHeader(QStringLiteral("checkmark.seal.fill"), NamedColor::green,
                                localized(QStringLiteral("setup_complete")),
                                !flow.hasFullDiskAccess() ? localized(QStringLiteral("sweepbrook_ready_manual_deletion"))
                                : flow.privilegedAsRoot() ? localized(QStringLiteral("sweepbrook_ready_all_types_root"))
                                                          : localized(QStringLiteral("sweepbrook_ready_all_types")));
    return page({header, tips});
}

} // namespace onboardingpages
