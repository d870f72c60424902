#include "app/AppInfoPopoverView.h"

#include "localization/Localization.h"
#include "toolkit/Toolkit.h"

#include <QDesktopServices>
#include <QFrame>
#include <QScrollArea>
#include <QToolButton>

using ui::NamedColor;
using ui::TextStyle;

namespace {

// A widget that fills its whole rectangle with one colour behind its layout.
ui::RoundedBox *filled(NamedColor background)
{
    auto *box = new ui::RoundedBox;
    box->setFill(ui::color(background));
    return box;
}

QWidget *headerBar(AppInfoPopoverView *owner)
{
    ui::RoundedBox *bar = filled(NamedColor::windowBackground);
    QHBoxLayout *row = ui::hstack(bar, 16, QMargins(16, 12, 16, 12));
    const QFont title2 = ui::font(TextStyle::title2);
    row->addWidget(new ui::SymbolLabel(QStringLiteral("externaldrive.badge.checkmark"), ui::color(NamedColor::accent),
                                       title2.pixelSize()));
    row->addWidget(ui::text(mainTableLocalized(QStringLiteral("Sweepbrook")), ui::font(TextStyle::headline, QFont::DemiBold)));
    row->addStretch(1);

    auto *close = new QToolButton;
    close->setObjectName(QStringLiteral("aboutCloseButton"));
    close->setAutoRaise(true);
    close->setCursor(Qt::PointingHandCursor);
    const int size = ui::font(TextStyle::title3).pixelSize();
    close->setIcon(ui::symbolIcon(QStringLiteral("xmark.circle.fill"), ui::color(NamedColor::secondary)));
    close->setIconSize(QSize(size, size));
    close->setToolTip(localized(QStringLiteral("close")));
    QObject::connect(close, &QToolButton::clicked, owner, &AppInfoPopoverView::dismissRequested);
    row->addWidget(close);
    return bar;
}

// One tab button per tab; the only tab is always the selected one.
QWidget *tabBar()
{
    ui::RoundedBox *bar = filled(NamedColor::controlBackground);
    QHBoxLayout *row = ui::hstack(bar, 0, ui::padding(16, 8));
    auto *tab = new ui::PaintedButton;
    tab->setObjectName(QStringLiteral("aboutTab"));
    tab->setSymbol(QStringLiteral("info.circle.fill"), ui::font(TextStyle::caption).pixelSize());
    tab->setText(localized(QStringLiteral("about_app")));
    tab->setLabelFont(ui::font(TextStyle::caption, QFont::Medium));
    tab->setSpacing(6);
    tab->setPadding(12, 8);
    tab->setCornerRadius(6);
    tab->setForeground(ui::color(NamedColor::accent));
    tab->setFill(ui::color(NamedColor::accent, 0.1));
    row->addWidget(tab);
    row->addStretch(1);
    return bar;
}

QWidget *featureRow(const QString &text)
{
    auto *row = new QWidget;
    QHBoxLayout *line = ui::hstack(row, 10);
    line->setAlignment(Qt::AlignTop);
    // The mark stays beside the first line of a text that wraps.
    line->addWidget(new ui::SymbolLabel(QStringLiteral("checkmark.circle.fill"), ui::color(NamedColor::green),
                                        ui::font(TextStyle::body).pixelSize()),
                    0, Qt::AlignTop);
    QLabel *label = ui::text(text, TextStyle::body);
    label->setWordWrap(true);
    line->addWidget(label, 1, Qt::AlignTop);
    return row;
}

QWidget *linkButton(const QString &objectName, const QString &title, const QUrl &url)
{
    auto *link = new ui::PaintedButton;
    link->setObjectName(objectName);
    link->setText(title);
    link->setLabelFont(ui::font(TextStyle::callout));
    link->setForeground(ui::color(NamedColor::blue));
    link->setPadding(6, 4);   // room for its focus ring around the label
    link->setCursor(Qt::PointingHandCursor);
    link->setToolTip(url.toString());
    link->setProperty("url", url);
    QObject::connect(link, &QAbstractButton::clicked, link, [url] { QDesktopServices::openUrl(url); });
    return link;
}

QWidget *aboutTab()
{
    auto *page = new QWidget;
    QVBoxLayout *stack = ui::vstack(page, 24);

    QVBoxLayout *header = ui::vstack(16, QMargins(0, 24, 0, 0));
    header->addWidget(new ui::SymbolLabel(QStringLiteral("externaldrive.badge.checkmark"),
                                          ui::color(NamedColor::accent), 72),
                      0, Qt::AlignHCenter);
    header->addWidget(ui::text(mainTableLocalized(QStringLiteral("Sweepbrook")), ui::font(TextStyle::largeTitle, QFont::Bold)),
                      0, Qt::AlignHCenter);
    QLabel *version = ui::text(format(localized(QStringLiteral("version_format")), AppInfoPopoverView::appVersion()),
                               TextStyle::title3, NamedColor::secondary);
    version->setObjectName(QStringLiteral("aboutVersion"));
    header->addWidget(version, 0, Qt::AlignHCenter);
    stack->addLayout(header);

    QVBoxLayout *features = ui::vstack(16, ui::padding(20, 0));
    features->addWidget(ui::text(localized(QStringLiteral("main_features")), ui::font(TextStyle::headline, QFont::DemiBold)));
    QVBoxLayout *rows = ui::vstack(12);
    rows->addWidget(featureRow(localized(QStringLiteral("auto_detect_devices"))));
    rows->addWidget(featureRow(localized(QStringLiteral("smart_clean_junk_files"))));
    rows->addWidget(featureRow(localized(QStringLiteral("support_multiple_formats"))));
    rows->addWidget(featureRow(localized(QStringLiteral("safe_delete_protection"))));
    rows->addWidget(featureRow(localized(QStringLiteral("multi_language_support"))));
    features->addLayout(rows);
    stack->addLayout(features);

    auto *divider = new QFrame;
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    QHBoxLayout *dividerRow = ui::hstack(0, ui::padding(20, 0));
    dividerRow->addWidget(divider);
    stack->addLayout(dividerRow);

    QVBoxLayout *footer = ui::vstack(8, QMargins(0, 0, 0, 24));
    footer->addWidget(ui::text(localized(QStringLiteral("copyright")), TextStyle::callout, NamedColor::secondary),
                      0, Qt::AlignHCenter);
    footer->addWidget(linkButton(QStringLiteral("aboutWebsiteLink"), localized(QStringLiteral("website")),
                                 AppInfoPopoverView::websiteURL),
                      0, Qt::AlignHCenter);
    footer->addWidget(linkButton(QStringLiteral("aboutSupportLink"), localized(QStringLiteral("support_email")),
                                 AppInfoPopoverView::supportEmailURL),
                      0, Qt::AlignHCenter);
    stack->addLayout(footer);
    stack->addStretch(1);
    return page;
}

} // namespace

AppInfoPopoverView::AppInfoPopoverView(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("appInfoView"));
    setMinimumSize(550, 580);
    setMaximumSize(700, 680);
    setAutoFillBackground(true);
    QPalette background = palette();
    background.setColor(QPalette::Window, ui::color(NamedColor::windowBackground));
    setPalette(background);

    QVBoxLayout *stack = ui::vstack(this, 0);
    stack->addWidget(headerBar(this));
    stack->addWidget(tabBar());
    auto *scroll = new QScrollArea;
    scroll->setObjectName(QStringLiteral("aboutPage"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setFocusPolicy(Qt::NoFocus);   // its links take the focus, and it scrolls to them
    scroll->setWidget(aboutTab());
    stack->addWidget(scroll, 1);
}

QString AppInfoPopoverView::appVersion()
{
    const QString version = QStringLiteral(SWEEPBROOK_VERSION);
    return version.isEmpty() ? QStringLiteral("1.0.0") : version;
}
