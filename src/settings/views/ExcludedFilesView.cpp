#include "settings/views/ExcludedFilesView.h"

#include "localization/Localization.h"
#include "mainwindow/SheetModels.h"
#include "toolkit/Motion.h"
#include "toolkit/Toolkit.h"
#include "settings/views/RemovableListView.h"
#include "settings/SettingsEditing.h"
#include "settings/views/SheetParts.h"

#include <QLineEdit>

ExcludedFilesView::ExcludedFilesView(SettingsChoices &view, QWidget *parent) : QWidget(parent), m_view(view)
{
    setObjectName(QStringLiteral("excludedFilesView"));
    QVBoxLayout *column = ui::vstack(this, 12);
    column->addWidget(sheetparts::sectionHeader(QStringLiteral("excluded_file_settings")));
    QLabel *description = ui::text(localized(QStringLiteral("excluded_files_description")), ui::TextStyle::caption,
                                   ui::NamedColor::secondary);
    description->setWordWrap(true);
    description->setContentsMargins(0, 0, 0, 8);
    column->addWidget(description);
    QVBoxLayout *entries = ui::vstack(10);
    column->addLayout(entries);

    // The entry card.
    auto *card = new ui::RoundedBox;
    card->setFill(ui::color(ui::NamedColor::controlBackground, 0.5));
    card->setCornerRadius(8);
    QVBoxLayout *cardColumn = ui::vstack(card, 10, ui::padding(10));
    QHBoxLayout *entry = ui::hstack();
    auto *shield = new ui::SymbolLabel(QStringLiteral("shield.checkered"), ui::color(ui::NamedColor::blue), 13);
    shield->setFixedWidth(24);
    shield->setAlignment(Qt::AlignCenter);
    entry->addWidget(shield);
    m_field = new QLineEdit;
    m_field->setObjectName(QStringLiteral("excludedPatternField"));
    m_field->setPlaceholderText(localized(QStringLiteral("enter_excluded_pattern")));
    entry->addWidget(m_field, 1);
    m_add = ui::prominentButton(QStringLiteral("add"));
    m_add->setObjectName(QStringLiteral("addPatternButton"));
    m_add->setEnabled(false);
    entry->addWidget(m_add);
    cardColumn->addLayout(entry);
    QLabel *hint = ui::text(localized(QStringLiteral("excluded_pattern_hint")), ui::TextStyle::caption,
                            ui::NamedColor::secondary);
    hint->setWordWrap(true);
    hint->setContentsMargins(4, 0, 4, 0);
    cardColumn->addWidget(hint);
    entries->addWidget(card);

    // The list, or the notice that it is empty, in one place: as one goes
    // and the other comes, the place changes its height smoothly.
    auto *place = new QWidget;
    QVBoxLayout *placeColumn = ui::vstack(place, 0);
    entries->addWidget(place);
    m_listBlock = new QWidget;
    QVBoxLayout *listColumn = ui::vstack(m_listBlock, 8, QMargins(0, 5, 0, 0));
    QHBoxLayout *listHeader = ui::hstack();
    listHeader->addWidget(ui::text(localized(QStringLiteral("excluded_patterns")), ui::TextStyle::headline), 1);
    auto *clear = new ui::PaintedButton;
    clear->setObjectName(QStringLiteral("clearPatternsButton"));
    clear->setText(localized(QStringLiteral("clear_excluded_list")));
    clear->setLabelFont(ui::font(ui::TextStyle::caption));
    clear->setForeground(ui::color(ui::NamedColor::red));
    clear->setPadding(6, 4);   // a plain button: its label, and room for its focus ring
    clear->setCursor(Qt::PointingHandCursor);
    listHeader->addWidget(clear);
    listColumn->addLayout(listHeader);
    m_list = new RemovableListView(RemovableListView::Shape::row);
    m_list->setObjectName(QStringLiteral("excludedPatternList"));
    listColumn->addWidget(m_list);
    placeColumn->addWidget(m_listBlock);

    ui::RoundedBox *notice = sheetparts::emptyNotice(QStringLiteral("no_excluded_patterns"));
    notice->setObjectName(QStringLiteral("noExcludedPatternsNotice"));
    m_emptyNotice = notice;
    placeColumn->addWidget(notice);

    // Return adds nothing: only the button does.
    connect(m_field, &QLineEdit::textChanged, this,
            [this](const QString &text) { m_add->setEnabled(settings::canAdd(text)); });
    connect(m_add, &QAbstractButton::clicked, this, &ExcludedFilesView::addPattern);
    connect(m_list, &RemovableListView::removeRequested, this, [this](const QString &pattern) {
        QStringList patterns = m_view.excludedFilePatterns();
        if (settings::removeExcludedPattern(patterns, pattern))
            m_view.setExcludedFilePatterns(patterns);
    });
    connect(clear, &QAbstractButton::clicked, this, [this] { m_view.setExcludedFilePatterns({}); });
    refresh();
}

void ExcludedFilesView::addPattern()
{
    QStringList patterns = m_view.excludedFilePatterns();
    if (!settings::addExcludedPattern(patterns, m_field->text()))
        return;   // blank or listed: the text stays
    m_field->clear();
    m_field->setFocus();
    m_view.setExcludedFilePatterns(patterns);
}

void ExcludedFilesView::refresh()
{
    // Adding, removing and clearing all run the default transition. A block
    // that goes is drawn as it was, so it goes before the rows change.
    const QStringList &patterns = m_view.excludedFilePatterns();
    ui::motion::setShown(m_listBlock, !patterns.isEmpty());
    ui::motion::setShown(m_emptyNotice, patterns.isEmpty());
    m_list->setItems(patterns);
}
