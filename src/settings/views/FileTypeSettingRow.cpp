#include "settings/views/FileTypeSettingRow.h"

#include "toolkit/Presentation.h"
#include "settings/views/ToggleSwitch.h"

SwitchRow::SwitchRow(const QString &symbol, ui::NamedColor tint, const QString &title, bool withInfoButton,
                     QWidget *parent)
    : ui::RoundedBox(parent)
{
    setFill(ui::color(ui::NamedColor::controlBackground, 0.5));
    setCornerRadius(8);
    QHBoxLayout *row = ui::hstack(this, ui::defaultSpacing, ui::padding(10));
    auto *icon = new ui::SymbolLabel(symbol, ui::color(tint), 13);
    icon->setFixedWidth(24);
    icon->setAlignment(Qt::AlignCenter);
    row->addWidget(icon);
    QLabel *label = ui::text(title, ui::font(ui::TextStyle::body, QFont::Medium));
    label->setObjectName(QStringLiteral("rowTitle"));
    // A long title takes a second line rather than widening the sheet.
    label->setWordWrap(true);
    row->addWidget(label, 1);
    if (withInfoButton) {
        m_info = new ui::PaintedButton;
        m_info->setObjectName(QStringLiteral("infoButton"));
        m_info->setSymbol(QStringLiteral("info.circle"), 13);
        m_info->setForeground(ui::color(tint, 0.7));
        m_info->setPadding(4, 4);   // room for its focus ring around the symbol
        m_info->setCornerRadius(-1);   // a round ring
        m_info->setCursor(Qt::PointingHandCursor);
        row->addWidget(m_info);
        row->addSpacing(4);   // 8 from the symbol to the switch
        connect(m_info, &QAbstractButton::clicked, this, &SwitchRow::infoRequested);
    }
    m_toggle = new ToggleSwitch(ui::color(tint));
    m_toggle->setObjectName(QStringLiteral("rowSwitch"));
    row->addWidget(m_toggle);
    connect(m_toggle, &ToggleSwitch::switched, this, &SwitchRow::switched);
}

void SwitchRow::setOn(bool on)
{
    m_toggle->setOn(on);
}

void SwitchRow::setSwitchEnabled(bool enabled)
{
    m_toggle->setEnabled(enabled);
}

SwitchRow *fileTypeSettingRow(FileType type, QWidget *parent)
{
    auto *row = new SwitchRow(FileTypes::iconName(type), FileTypes::color(type), FileTypes::displayName(type), true,
                              parent);
    row->setObjectName(QStringLiteral("fileTypeRow"));
    row->setProperty("fileType", FileTypes::rawValue(type));
    return row;
}
