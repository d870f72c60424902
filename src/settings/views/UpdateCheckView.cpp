#include "settings/views/UpdateCheckView.h"

#include "localization/Localization.h"
#include "toolkit/Toolkit.h"
#include "settings/UpdateManager.h"
#include "settings/views/WhatsNewView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

using ui::NamedColor;
using ui::TextStyle;

namespace {

// A plain button whose label is a row of views (symbols, texts, space), with
// an optional rounded fill behind it.
class RowButton final : public QAbstractButton
{
public:
    RowButton(const char *name, QWidget *parent) : QAbstractButton(parent)
    {
        setObjectName(QString::fromLatin1(name));
        setCursor(Qt::PointingHandCursor);
        row = ui::hstack(this, 6);
        ui::reachableByTab(this, cornerRadius);
    }
    // A filled row draws the ring in its label's colour inside the accent.
    void setFill(const QColor &color, int radius, const QColor &label)
    {
        fill = color;
        cornerRadius = radius;
        ui::reachableByTab(this, radius, label);
    }
    QHBoxLayout *row;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (isDown())
            painter.setOpacity(0.7);
        if (fill.alpha() > 0) {
            QPainterPath path;
            path.addRoundedRect(QRectF(rect()), cornerRadius, cornerRadius);
            painter.fillPath(path, fill);
        }
    }

private:
    QColor fill = Qt::transparent;
    int cornerRadius = 4;
};

QLabel *localizedText(const char *key, const QFont &font, NamedColor tint, QWidget *parent = nullptr)
{
    return ui::text(localized(QString::fromLatin1(key)), font, tint, parent);
}

// A symbol, a text and flexible space, all in one colour.
QWidget *statusRow(const char *symbol, const char *key, NamedColor tint)
{
    auto *row = new QWidget;
    QHBoxLayout *layout = ui::hstack(row, 6);
    layout->addWidget(new ui::SymbolLabel(QString::fromLatin1(symbol), ui::color(tint), 13, row));
    layout->addWidget(localizedText(key, ui::font(TextStyle::body, QFont::Medium), tint, row));
    layout->addStretch(1);
    return row;
}

// The key's text, flexible space, and a version (server text: plain, one line).
QWidget *versionRow(const char *key, QLabel **version)
{
    auto *row = new QWidget;
    QHBoxLayout *layout = ui::hstack(row, 6);
    layout->addWidget(localizedText(key, ui::font(TextStyle::body), NamedColor::secondary, row));
    layout->addStretch(1);
    *version = ui::elidingText(QString(), ui::font(TextStyle::body, QFont::Medium), NamedColor::primary, row);
    (*version)->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    layout->addWidget(*version, 1);
    return row;
}

} // namespace

UpdateCheckView::UpdateCheckView(UpdateManager &manager, QWidget *sheet, QWidget *parent)
    : QWidget(parent), m_manager(&manager), m_sheet(sheet)
{
    setObjectName(QStringLiteral("updateCheckView"));
    QVBoxLayout *stack = ui::vstack(this, 12);
    QLabel *header = localizedText("check_for_updates", ui::font(TextStyle::headline), NamedColor::primary, this);
    header->setContentsMargins(0, 0, 0, 2);
    stack->addWidget(header);

    QVBoxLayout *card = ui::vstack(8);
    card->addWidget(versionRow("current_version", &m_currentVersion));
    m_currentVersion->setObjectName(QStringLiteral("currentVersion"));
    // The state block: one of four, at the top of a slot that can keep the
    // height of the block shown before a check.
    m_stateSlot = new QWidget(this);
    QVBoxLayout *slot = ui::vstack(m_stateSlot, 0);
    slot->addWidget(m_checkingRow = buildCheckingRow());
    slot->addWidget(m_updateBlock = buildUpdateBlock());
    slot->addWidget(m_errorBlock = buildErrorBlock());
    slot->addWidget(m_upToDateRow = buildUpToDateRow());
    slot->addStretch(1);
    card->addWidget(m_stateSlot);

    m_lastChecked = ui::text(QString(), TextStyle::caption, NamedColor::secondary, this);
    m_lastChecked->setObjectName(QStringLiteral("lastChecked"));
    card->addWidget(m_lastChecked);

    auto *checkNow = new RowButton("checkNowButton", this);
    m_checkNowSymbol = new ui::SymbolLabel(QStringLiteral("arrow.clockwise"), ui::color(NamedColor::blue), 13, checkNow);
    m_checkNowText = localizedText("check_now", ui::font(TextStyle::body), NamedColor::blue, checkNow);
    checkNow->row->addWidget(m_checkNowSymbol);
    checkNow->row->addWidget(m_checkNowText);
    checkNow->row->addStretch(1);
    connect(checkNow, &QAbstractButton::clicked, this, &UpdateCheckView::checkAgain);
    m_checkNow = checkNow;
    card->addWidget(checkNow);
    stack->addLayout(card);
    stack->addStretch(1);

    connect(&manager, &UpdateManager::stateChanged, this, &UpdateCheckView::refresh);
    refresh();
}

UpdateCheckView *UpdateCheckView::placeIn(QWidget *block, UpdateManager &manager, QWidget *sheet)
{
    QLayout *layout = block->layout();
    if (!layout)
        layout = ui::vstack(block, 0);
    for (UpdateCheckView *earlier : block->findChildren<UpdateCheckView *>(Qt::FindDirectChildrenOnly))
        delete earlier;
    auto *view = new UpdateCheckView(manager, sheet, block);
    layout->addWidget(view);
    return view;
}

QWidget *UpdateCheckView::buildCheckingRow()
{
    auto *row = new QWidget(this);
    row->setObjectName(QStringLiteral("checkingRow"));
    QHBoxLayout *layout = ui::hstack(row, 6);
    layout->addWidget(new ui::Spinner(ui::color(NamedColor::secondary), 13, row));
    layout->addWidget(localizedText("checking_for_updates", ui::font(TextStyle::body), NamedColor::secondary, row));
    layout->addStretch(1);
    return row;
}

QWidget *UpdateCheckView::buildUpdateBlock()
{
    auto *block = new QWidget(this);
    block->setObjectName(QStringLiteral("updateBlock"));
    QVBoxLayout *stack = ui::vstack(block, 8);
    stack->addWidget(statusRow("arrow.down.circle.fill", "update_available", NamedColor::green));
    stack->addWidget(versionRow("latest_version", &m_latestVersion));
    m_latestVersion->setObjectName(QStringLiteral("latestVersion"));

    auto *whatsNew = new RowButton("whatsNewButton", block);
    whatsNew->row->addWidget(new ui::SymbolLabel(QStringLiteral("doc.text"), ui::color(NamedColor::blue), 13, whatsNew));
    whatsNew->row->addWidget(localizedText("whats_new", ui::font(TextStyle::body), NamedColor::blue, whatsNew));
    whatsNew->row->addStretch(1);
    whatsNew->row->addWidget(new ui::SymbolLabel(QStringLiteral("chevron.right"), ui::color(NamedColor::blue),
                                                 ui::font(TextStyle::caption).pointSizeF(), whatsNew));
    connect(whatsNew, &QAbstractButton::clicked, this, &UpdateCheckView::openWhatsNew);
    stack->addWidget(whatsNew);

    // The card's main action, in the accent every main action has.
    const ui::ControlColors prominent = ui::prominentColors(QApplication::palette());
    auto *download = new RowButton("downloadButton", block);
    download->setFill(prominent.fill, 8, prominent.foreground);
    download->row->setContentsMargins(12, 8, 12, 8);
    download->row->addWidget(
        new ui::SymbolLabel(QStringLiteral("arrow.down.circle"), prominent.foreground, 13, download));
    QLabel *downloadText = localizedText("download_update", ui::font(TextStyle::body), NamedColor::white, download);
    ui::setTextColor(downloadText, prominent.foreground);
    download->row->addWidget(downloadText);
    download->row->addStretch(1);
    connect(download, &QAbstractButton::clicked, this, &UpdateCheckView::download);
    stack->addWidget(download);
    return block;
}

QWidget *UpdateCheckView::buildErrorBlock()
{
    auto *block = new QWidget(this);
    block->setObjectName(QStringLiteral("errorBlock"));
    QVBoxLayout *stack = ui::vstack(block, 8);
    stack->addWidget(statusRow("exclamationmark.triangle.fill", "update_error", NamedColor::orange));
    m_errorMessage = ui::text(QString(), TextStyle::caption, NamedColor::secondary, block);
    m_errorMessage->setObjectName(QStringLiteral("errorMessage"));
    m_errorMessage->setWordWrap(true);
    stack->addWidget(m_errorMessage);

    auto *retry = new RowButton("retryButton", block);
    retry->row->addWidget(localizedText("retry", ui::font(TextStyle::caption), NamedColor::blue, retry));
    retry->row->addStretch(1);
    connect(retry, &QAbstractButton::clicked, this, &UpdateCheckView::checkAgain);
    stack->addWidget(retry);
    return block;
}

QWidget *UpdateCheckView::buildUpToDateRow()
{
    QWidget *row = statusRow("checkmark.circle.fill", "you_have_latest_version", NamedColor::green);
    row->setParent(this);
    row->setObjectName(QStringLiteral("upToDateRow"));
    return row;
}

void UpdateCheckView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_appeared)
        return;
    m_appeared = true;
    if (!m_manager)
        return;
    // As the section's own task: the up-to-date row stands until it runs.
    m_manager->scheduler().post([this] {
        if (m_manager)
            m_manager->checkOnFirstAppearance();
    }, this);
}

void UpdateCheckView::refresh()
{
    if (!m_manager)
        return;
    const UpdateManager &manager = *m_manager;
    m_currentVersion->setText(manager.currentVersion());

    // The first block whose condition holds.
    QWidget *shown = m_upToDateRow;
    if (manager.isCheckingForUpdates())
        shown = m_checkingRow;
    else if (manager.updateAvailable())
        shown = m_updateBlock;
    else if (manager.errorMessage())
        shown = m_errorBlock;
    // While a check runs the card keeps the height it had: the spinner's one
    // row in place of a taller block would shrink the sheet under the user's
    // eyes and pull its scroll position up.
    if (shown != m_checkingRow)
        m_heldHeight = 0;
    else if (isVisible() && !m_checkingRow->isVisible())
        m_heldHeight = std::max(m_heldHeight, m_stateSlot->height());
    m_stateSlot->setMinimumHeight(m_heldHeight);
    for (QWidget *block : {m_checkingRow, m_updateBlock, m_errorBlock, m_upToDateRow})
        block->setVisible(block == shown);
    m_latestVersion->setText(manager.latestVersion());
    m_errorMessage->setText(manager.errorMessage().value_or(QString()));

    // The date in the desktop's own locale, whatever the interface language.
    const std::optional<QDateTime> checked = manager.lastCheckedDate();
    m_lastChecked->setVisible(checked.has_value());
    if (checked)
        m_lastChecked->setText(format(localized(QStringLiteral("last_checked")),
                                      QLocale::system().toString(*checked, QLocale::ShortFormat)));

    const bool enabled = !manager.isCheckingForUpdates();
    m_checkNow->setEnabled(enabled);
    const QColor tint = ui::color(enabled ? NamedColor::blue : NamedColor::secondary);
    m_checkNowSymbol->setSymbol(QStringLiteral("arrow.clockwise"), tint);
    ui::setTextColor(m_checkNowText, tint);
}

void UpdateCheckView::checkAgain()
{
    if (m_manager)
        m_manager->checkForUpdates();
}

void UpdateCheckView::download()
{
    if (m_manager)
        m_manager->openUpdateURL();
}

void UpdateCheckView::openWhatsNew()
{
    if (!m_manager || m_whatsNew)
        return;
    QWidget *over = m_sheet ? m_sheet.data() : window();
    m_whatsNew = new WhatsNewView(m_manager->whatsNew(), over);
    m_whatsNew->open();
}
