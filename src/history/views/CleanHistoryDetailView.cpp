#include "history/views/CleanHistoryDetailView.h"

#include "history/views/HistoryFileModel.h"
#include "history/views/HistoryPresentation.h"
#include "localization/DateFormat.h"
#include "localization/Localization.h"
#include "toolkit/Presentation.h"
#include "toolkit/FileRow.h"
#include "toolkit/FlowLayout.h"
#include "toolkit/Toolkit.h"

#include <QFrame>
#include <QLineEdit>
#include <QListView>
#include <QStackedWidget>

using ui::NamedColor;
using ui::TextStyle;

namespace {

QFrame *divider(QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

// A summary card: its symbol in a 20-point column, the title over the value.
struct Card
{
    QWidget *widget = nullptr;
    QLabel *title = nullptr;
    QLabel *value = nullptr;
};

Card makeCard(const QString &symbol, NamedColor tint, const QString &objectName)
{
    Card card;
    card.widget = new QWidget;
    card.widget->setObjectName(objectName);
    QHBoxLayout *row = ui::hstack(card.widget, 10, QMargins(0, 8, 0, 8));
    auto *icon = new ui::SymbolLabel(symbol, ui::color(tint));
    icon->setFixedWidth(20);
    icon->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    row->addWidget(icon, 0, Qt::AlignTop);
    QVBoxLayout *texts = ui::vstack(4);
    card.title = ui::text(QString(), TextStyle::headline);
    card.value = ui::text(QString(), TextStyle::body);
    card.value->setObjectName(objectName + QStringLiteral("Value"));
    texts->addWidget(card.title);
    texts->addWidget(card.value);
    row->addLayout(texts);
    return card;
}

} // namespace

struct CleanHistoryDetailView::Impl
{
    CleanHistory record;
    DateFormatter dates{DateStyle::fullStyle, DateStyle::mediumStyle};

    QLabel *deviceName = nullptr;
    QLabel *date = nullptr;
    Card files;
    Card space;
    QWidget *chipArea = nullptr;
    ui::FlowLayout *chips = nullptr;
    QFrame *chipDivider = nullptr;
    QLabel *filesTitle = nullptr;
    QLineEdit *search = nullptr;
    QStackedWidget *body = nullptr;
    QListView *list = nullptr;
    HistoryFileModel *model = nullptr;
    QLabel *noFiles = nullptr;
};

CleanHistoryDetailView::CleanHistoryDetailView(QWidget *parent) : QWidget(parent), d(new Impl)
{
    setObjectName(QStringLiteral("historyDetail"));
    setAutoFillBackground(true);
    QVBoxLayout *column = ui::vstack(this, 0);

    // Header: symbol, device and date; the two cards under them.
    auto *header = new QWidget(this);
    QVBoxLayout *headerStack = ui::vstack(header, 0, QMargins(ui::defaultPadding, ui::defaultPadding, ui::defaultPadding, 5));
    QHBoxLayout *titleRow = ui::hstack(ui::defaultSpacing, QMargins(0, 0, 0, 5));
    titleRow->addWidget(new ui::SymbolLabel(QStringLiteral("clock.badge.checkmark"), ui::color(NamedColor::green), 36));
    QVBoxLayout *titles = ui::vstack(2);
    d->deviceName = ui::elidingText(QString(), ui::font(TextStyle::title, QFont::Bold));
    d->deviceName->setObjectName(QStringLiteral("historyDetailDevice"));
    d->date = ui::text(QString(), TextStyle::subheadline, NamedColor::secondary);
    d->date->setObjectName(QStringLiteral("historyDetailDate"));
    titles->addWidget(d->deviceName);
    titles->addWidget(d->date);
    titleRow->addLayout(titles, 1);
    headerStack->addLayout(titleRow);
    QHBoxLayout *cards = ui::hstack(20);
    d->files = makeCard(QStringLiteral("doc.badge.plus"), NamedColor::blue, QStringLiteral("filesCard"));
    d->space = makeCard(QStringLiteral("internaldrive"), NamedColor::green, QStringLiteral("spaceCard"));
    cards->addWidget(d->files.widget);
    cards->addWidget(d->space.widget);
    cards->addStretch(1);
    headerStack->addLayout(cards);
    column->addWidget(header);
    column->addWidget(divider(this));

    // The kinds as chips, in rows: as many lines as the width needs, so every
    // chip shows whole (a strip without scroll bars hid those past its end).
    d->chipArea = new QWidget(this);
    d->chipArea->setObjectName(QStringLiteral("kindChips"));
    d->chips = new ui::FlowLayout(d->chipArea, 8, 8);
    d->chips->setContentsMargins(ui::padding(ui::defaultPadding, 10));
    column->addWidget(d->chipArea);
    d->chipDivider = divider(this);
    column->addWidget(d->chipDivider);

    // The files: title and search field, then the list or the empty text.
    QHBoxLayout *filesHeader = ui::hstack(ui::defaultSpacing, ui::padding(ui::defaultPadding, 10));
    d->filesTitle = ui::text(QString(), TextStyle::headline);
    filesHeader->addWidget(d->filesTitle);
    filesHeader->addStretch(1);
    filesHeader->addWidget(new ui::SymbolLabel(QStringLiteral("magnifyingglass"), ui::color(NamedColor::secondary)));
    d->search = new QLineEdit(this);
    d->search->setObjectName(QStringLiteral("historySearchField"));
    d->search->setFixedWidth(200);
    d->search->setClearButtonEnabled(true);
    filesHeader->addWidget(d->search);
    column->addLayout(filesHeader);
    column->addWidget(divider(this));

    d->body = new QStackedWidget(this);
    d->list = new QListView(d->body);
    d->list->setObjectName(QStringLiteral("historyFileList"));
    d->list->setUniformItemSizes(true);   // what keeps a hundred thousand rows cheap
    rows::setUpPlainList(d->list);
    d->list->setItemDelegate(new HistoryFileDelegate(d->list));
    d->model = new HistoryFileModel(d->list);
    d->list->setModel(d->model);
    d->body->addWidget(d->list);
    d->noFiles = ui::text(QString(), TextStyle::body, NamedColor::secondary);
    d->noFiles->setObjectName(QStringLiteral("noFilesText"));
    d->noFiles->setAlignment(Qt::AlignCenter);
    d->noFiles->setContentsMargins(ui::padding(ui::defaultPadding));
    d->body->addWidget(d->noFiles);
    column->addWidget(d->body, 1);

    connect(d->search, &QLineEdit::textChanged, this, [this](const QString &text) { d->model->setSearchText(text); });
    fillTexts();
}

CleanHistoryDetailView::~CleanHistoryDetailView()
{
    delete d;
}

const CleanHistory &CleanHistoryDetailView::record() const
{
    return d->record;
}

QLineEdit *CleanHistoryDetailView::searchField() const
{
    return d->search;
}

QListView *CleanHistoryDetailView::fileList() const
{
    return d->list;
}

void CleanHistoryDetailView::setRecord(const CleanHistory &record)
{
    const bool another = record.id != d->record.id || d->record.id.isNull();
    d->record = record;
    if (another) {
        const QSignalBlocker quiet(d->search);
        d->search->clear();
        d->model->setFiles(record.cleanedFiles);
        d->list->scrollToTop();
    }
    fillRecord();
}

void CleanHistoryDetailView::relocalize(const QLocale &locale)
{
    d->dates.setLocale(locale);
    fillTexts();
    fillRecord();
    d->model->relocalize();
}

void CleanHistoryDetailView::fillTexts()
{
    d->files.title->setText(localized(QStringLiteral("cleaned_file_count_title")));
    d->space.title->setText(localized(QStringLiteral("freed_space_title")));
    d->filesTitle->setText(localized(QStringLiteral("cleaned_files")));
    d->search->setPlaceholderText(localized(QStringLiteral("search_files")));
    d->noFiles->setText(localized(QStringLiteral("no_files_to_clean")));
}

void CleanHistoryDetailView::fillRecord()
{
    const CleanHistory &record = d->record;
    d->deviceName->setText(record.deviceName);
    d->date->setText(d->dates.string(record.timestamp));
    d->files.value->setText(historyText::filesCardValue(record.cleanedFileCount));
    d->space.value->setText(presentation::byteCountText(record.freedSpace));

    // The chips, one per stored string, in stored order (the previous ones go).
    while (QLayoutItem *item = d->chips->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (const QString &raw : record.fileTypes) {
        auto *chip = new ui::RoundedBox;
        chip->setObjectName(QStringLiteral("kindChip"));
        chip->setFill(ui::color(NamedColor::blue, 0.2));
        chip->setCornerRadius(8);
        QHBoxLayout *inner = ui::hstack(chip, 0, ui::padding(10, 5));
        // A kind string of any length (an unknown one is shown verbatim) cuts
        // itself short rather than widen the sheet; the names of kinds fit.
        inner->addWidget(ui::elidingText(HistoryKinds::displayName(raw), ui::font(TextStyle::subheadline, QFont::Medium),
                                         NamedColor::blue));
        d->chips->addWidget(chip);
    }
    const bool hasKinds = !record.fileTypes.isEmpty();
    d->chipArea->setVisible(hasKinds);
    d->chipDivider->setVisible(hasKinds);

    d->body->setCurrentWidget(record.cleanedFiles.isEmpty() ? static_cast<QWidget *>(d->noFiles) : d->list);
}
