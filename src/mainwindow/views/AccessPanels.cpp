#include "mainwindow/views/AccessPanels.h"

#include "localization/Localization.h"
#include "mainwindow/ContentView.h"
#include "toolkit/Toolkit.h"

#include <QLabel>
#include <QPointer>
#include <QVBoxLayout>

using ui::NamedColor;
using ui::TextStyle;

// ---------------------------------------------------------------- authorizing

AuthorizingView::AuthorizingView(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("authorizingView"));
    QVBoxLayout *stack = ui::vstack(this, 20);
    stack->addStretch(1);

    // A busy indicator: the open panel may stay up as long as the user likes.
    // The platform's spinner is 32 points; shown half as large again.
    stack->addWidget(new ui::Spinner(ui::color(NamedColor::secondary), 48, this), 0, Qt::AlignHCenter);

    QLabel *title = ui::text(localized(QStringLiteral("getting_device_access")), TextStyle::headline);
    stack->addWidget(title, 0, Qt::AlignHCenter);
    QLabel *hint = ui::paragraph(localized(QStringLiteral("select_device_root_in_dialog")), TextStyle::subheadline,
                                 NamedColor::secondary);
    hint->setContentsMargins(ui::defaultPadding, 0, ui::defaultPadding, 0);
    stack->addWidget(hint);
    ui::addGap(stack, 20);
    stack->addStretch(1);
}

// ---------------------------------------------------------------- inaccessible device

DeviceInaccessibleView::DeviceInaccessibleView(ContentView &view, const LocalUSBDevice &device, QWidget *parent)
    : QWidget(parent), m_view(view), m_device(device)
{
    setObjectName(QStringLiteral("deviceInaccessibleView"));
    const int pad = ui::defaultPadding;
    QVBoxLayout *stack = ui::vstack(this, ui::defaultSpacing);

    // Warning strip, inset from the sides and the top.
    auto *strip = new ui::RoundedBox(this);
    strip->setFill(ui::color(NamedColor::orange, 0.1));
    strip->setCornerRadius(8);
    QHBoxLayout *stripRow = ui::hstack(strip, ui::defaultSpacing, ui::padding(pad));
    stripRow->addWidget(new ui::SymbolLabel(QStringLiteral("exclamationmark.triangle.fill"),
                                            ui::color(NamedColor::orange), 13, strip));
    stripRow->addWidget(ui::text(localized(QStringLiteral("device_access_restricted")), TextStyle::headline,
                                 NamedColor::orange, strip));
    stripRow->addStretch(1);
    QVBoxLayout *stripFrame = ui::vstack(0, QMargins(pad, pad, pad, 0));
    stripFrame->addWidget(strip);
    stack->addLayout(stripFrame);

    QLabel *error = ui::paragraph(localized(QStringLiteral("device_scan_error")), TextStyle::body,
                                  NamedColor::secondary, this);
    error->setAlignment(Qt::AlignLeading | Qt::AlignTop);
    error->setContentsMargins(pad, 8, pad, 0);
    stack->addWidget(error);

    QLabel *suggestions = ui::text(localized(QStringLiteral("suggestions")), ui::font(TextStyle::body, QFont::Bold),
                                   NamedColor::primary, this);
    suggestions->setContentsMargins(pad, 8, pad, 0);
    stack->addWidget(suggestions);

    QVBoxLayout *bullets = ui::vstack(8, QMargins(pad, 0, pad, 0));
    const QStringList lines = {localized(QStringLiteral("open_in_finder_suggestion")),
                               localized(QStringLiteral("reconnect_device_suggestion")),
                               localized(QStringLiteral("check_device_suggestion"))};
    for (const QString &suggestion : lines) {
        QLabel *line = ui::text(QStringLiteral("• ") + suggestion, TextStyle::body, NamedColor::primary, this);
        line->setWordWrap(true);
        line->setObjectName(QStringLiteral("suggestionLine"));
        bullets->addWidget(line);
    }
    stack->addLayout(bullets);

    // The authorize button above its explanation.
    QVBoxLayout *box = ui::vstack(ui::defaultSpacing, ui::padding(pad));
    // As wide as its label: a cap of 200 cut "Autoriser le périphérique".
    ui::PaintedButton *authorize = ui::prominentCapsule(QStringLiteral("authorize_device_button"),
                                                        QStringLiteral("lock.open.fill"));
    authorize->setObjectName(QStringLiteral("authorizeButton"));
    authorize->setPadding(16, 10);
    QVBoxLayout *buttonFrame = ui::vstack(0, QMargins(0, 16, 0, 0));
    buttonFrame->addWidget(authorize, 0, Qt::AlignHCenter);
    box->addLayout(buttonFrame);
    QLabel *needed = ui::paragraph(localized(QStringLiteral("authorization_needed")), TextStyle::caption,
                                   NamedColor::secondary, this);
    needed->setObjectName(QStringLiteral("authorizationNeeded"));
    needed->setContentsMargins(40, 0, 40, 0);
    box->addWidget(needed);
    stack->addLayout(box);
    stack->addStretch(1);

    connect(authorize, &QAbstractButton::clicked, this, &DeviceInaccessibleView::authorize);
}

// Hands the device to the authorization; the result re-reads the device. The
// panel itself changes nothing.
void DeviceInaccessibleView::authorize()
{
    const LocalUSBDevice device = m_device;
    QPointer<ContentView> view(&m_view);
    m_view.requestDeviceAuthorization(device, [view, device](bool granted) {
        if (view)
            view->handleAuthorizationResult(granted, device);
    });
}
