#include "settings/views/SheetParts.h"

#include "localization/Localization.h"
#include "toolkit/Toolkit.h"

#include <QFrame>

namespace sheetparts {

QLabel *sectionHeader(const QString &key)
{
    QLabel *header = ui::text(localized(key), ui::TextStyle::headline);
    header->setContentsMargins(0, 0, 0, 2);
    return header;
}

QVBoxLayout *section(QWidget *block, const QString &key, int rowSpacing)
{
    QVBoxLayout *column = ui::vstack(block, 12);
    column->addWidget(sectionHeader(key));
    QVBoxLayout *rows = ui::vstack(rowSpacing);
    column->addLayout(rows);
    return rows;
}

QFrame *divider()
{
    auto *line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

ui::RoundedBox *emptyNotice(const QString &key, bool italic)
{
    auto *notice = new ui::RoundedBox;
    notice->setFill(ui::color(ui::NamedColor::secondary, 0.1));
    notice->setCornerRadius(8);
    QHBoxLayout *row = ui::hstack(notice, ui::defaultSpacing, ui::padding(12));
    row->addWidget(new ui::SymbolLabel(QStringLiteral("info.circle"), ui::color(ui::NamedColor::secondary)));
    QFont font = ui::font(ui::TextStyle::body);
    font.setItalic(italic);
    row->addWidget(ui::text(localized(key), font, ui::NamedColor::secondary), 1);
    return notice;
}

} // namespace sheetparts
