#include "history/views/CleanHistoryView.h"

#include "history/views/CleanHistoryDetailView.h"
#include "history/views/HistoryListModel.h"
#include "localization/Localization.h"
#include "localization/MessageBoxWidth.h"
#include "mainwindow/SheetModels.h"
#include "toolkit/FileRow.h"
#include "toolkit/Toolkit.h"

#include <QFrame>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>

#include <algorithm>

using ui::NamedColor;
using ui::TextStyle;

struct CleanHistoryView::Impl
{
    explicit Impl(HistoryBrowser &v) : view(v) {}

    HistoryBrowser &view;

    QLabel *title = nullptr;
    ui::PaintedButton *clearAll = nullptr;
    ui::PaintedButton *close = nullptr;
    QStackedWidget *listSide = nullptr;
    QListView *list = nullptr;
    HistoryListModel *model = nullptr;
    QWidget *emptyState = nullptr;
    QLabel *noHistory = nullptr;
    QLabel *noHistoryDescription = nullptr;
    QStackedWidget *detailSide = nullptr;
    QWidget *placeholder = nullptr;
    QLabel *placeholderText = nullptr;
    CleanHistoryDetailView *detail = nullptr;
    QPointer<QMessageBox> confirmation;

    // What the sheet shows now.
    std::optional<quint64> generation;
    QLocale locale;
    std::optional<QUuid> selectedID;
};

CleanHistoryView::CleanHistoryView(HistoryBrowser &view, QWidget *parent) : QDialog(parent), d(new Impl(view))
{
    setObjectName(QStringLiteral("historySheet"));
    setMinimumSize(800, 500);
    setAutoFillBackground(true);
    QHBoxLayout *columns = ui::hstack(this, 0);
    auto *splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setChildrenCollapsible(false);
    columns->addWidget(splitter);

    // Left: title, clear-all and close; the records or the empty state.
    auto *side = new QWidget(splitter);
    side->setMinimumWidth(280);
    side->setMaximumWidth(400);
    QVBoxLayout *sideStack = ui::vstack(side, 0);
    QHBoxLayout *header = ui::hstack(ui::defaultSpacing, QMargins(20, 20, 20, 10));
    d->title = ui::elidingText(QString(), ui::font(TextStyle::title, QFont::DemiBold));
    header->addWidget(d->title, 1);
    d->clearAll = new ui::PaintedButton;
    d->clearAll->setObjectName(QStringLiteral("clearHistoryButton"));
    d->clearAll->setSymbol(QStringLiteral("trash"), 13);
    d->clearAll->setLabelFont(ui::font(TextStyle::body));
    d->clearAll->setPadding(6, 4);   // a plain button: its label, and room for its focus ring
    d->clearAll->setSpacing(4);
    d->clearAll->setForeground(ui::color(NamedColor::red));
    d->clearAll->setCursor(Qt::PointingHandCursor);
    header->addWidget(d->clearAll);
    header->addSpacing(10);
    d->close = ui::prominentButton(QStringLiteral("close"), 14, 8);
    d->close->setObjectName(QStringLiteral("closeHistoryButton"));
    header->addWidget(d->close);
    sideStack->addLayout(header);
    auto *line = new QFrame(side);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    sideStack->addWidget(line);

    d->listSide = new QStackedWidget(side);
    d->list = new QListView(d->listSide);
    d->list->setObjectName(QStringLiteral("historyList"));
    rows::setUpPlainList(d->list);
    d->list->setContentsMargins(0, 8, 0, 8);
    // A row's kinds wrap to the list's width: a new width lays the rows out again.
    d->list->setResizeMode(QListView::Adjust);
    d->list->setContextMenuPolicy(Qt::CustomContextMenu);
    d->list->setItemDelegate(new HistoryRowDelegate(d->list));
    d->model = new HistoryListModel(d->list);
    d->list->setModel(d->model);
    d->listSide->addWidget(d->list);

    d->emptyState = new QWidget(d->listSide);
    d->emptyState->setObjectName(QStringLiteral("emptyHistory"));
    QVBoxLayout *empty = ui::vstack(d->emptyState, 20, ui::padding(ui::defaultPadding));
    empty->addStretch(1);
    auto *clock = new ui::SymbolLabel(QStringLiteral("clock.arrow.circlepath"), ui::color(NamedColor::gray, 0.5), 64);
    clock->setAlignment(Qt::AlignCenter);
    empty->addWidget(clock);
    d->noHistory = ui::paragraph(QString(), TextStyle::title2);
    d->noHistoryDescription = ui::paragraph(QString(), TextStyle::body, NamedColor::secondary);
    d->noHistoryDescription->setWordWrap(true);
    empty->addWidget(d->noHistory);
    empty->addWidget(d->noHistoryDescription);
    empty->addStretch(1);
    d->listSide->addWidget(d->emptyState);
    sideStack->addWidget(d->listSide, 1);

    // Right: the detail of the selected record, or the hint to select one.
    d->detailSide = new QStackedWidget(splitter);
    d->detailSide->setMinimumWidth(500);
    d->placeholder = new QWidget(d->detailSide);
    d->placeholder->setObjectName(QStringLiteral("historyPlaceholder"));
    QVBoxLayout *hint = ui::vstack(d->placeholder, 10);
    hint->addStretch(1);
    auto *arrow = new ui::SymbolLabel(QStringLiteral("arrow.left.circle"), ui::color(NamedColor::secondary, 0.5), 48);
    arrow->setAlignment(Qt::AlignCenter);
    hint->addWidget(arrow);
    d->placeholderText = ui::paragraph(QString(), TextStyle::title3, NamedColor::secondary);
    hint->addWidget(d->placeholderText);
    hint->addStretch(1);
    d->detailSide->addWidget(d->placeholder);
    d->detail = new CleanHistoryDetailView(d->detailSide);
    d->detailSide->addWidget(d->detail);

    splitter->addWidget(side);
    splitter->addWidget(d->detailSide);
    splitter->setStretchFactor(0, 0);
    splitter->setStretchFactor(1, 1);

    connect(d->clearAll, &QAbstractButton::clicked, this, [this] { requestClearAll(); });
    connect(d->close, &QAbstractButton::clicked, this, &QDialog::accept);
    const auto choose = [this](const QModelIndex &index) {
        if (index.isValid())
            d->view.toggleHistorySelection(d->model->record(index.row()));
    };
    connect(d->list, &QAbstractItemView::clicked, this, choose);
    rows::chooseWithKeys(d->list, choose);
    connect(d->list, &QWidget::customContextMenuRequested, this, &CleanHistoryView::showContextMenu);

    refresh();
    resize(sizeHint());
    // The list column as wide as its header asks, from 320 to 400 points: a
    // little more when the title would be cut (fonts wider than the system's
    // on some desktops).
    header->invalidate();
    const int need = header->sizeHint().width();
    side->setMaximumWidth(std::clamp(need, 400, 480));
    splitter->setSizes({std::clamp(need, 320, side->maximumWidth()), sizeHint().width()});
}

CleanHistoryView::~CleanHistoryView()
{
    delete d;
}

QSize CleanHistoryView::sizeHint() const
{
    return {980, 650};
}

QListView *CleanHistoryView::recordList() const
{
    return d->list;
}

CleanHistoryDetailView *CleanHistoryView::detail() const
{
    return d->detail;
}

QMessageBox *CleanHistoryView::confirmation() const
{
    return d->confirmation;
}

void CleanHistoryView::refresh()
{
    HistoryBrowser &view = d->view;
    // A flip of the refresh flag (a language change among others) looks every
    // text up again; the dates follow the window's date locale.
    if (d->generation != view.refreshGeneration() || d->locale != view.dateFormatterLocale()) {
        d->generation = view.refreshGeneration();
        d->locale = view.dateFormatterLocale();
        retranslate();
        d->model->relocalize(d->locale);
        d->detail->relocalize(d->locale);
    }

    const QList<CleanHistory> &history = view.cleanHistory();
    d->model->setRecords(history);
    d->listSide->setCurrentWidget(history.isEmpty() ? d->emptyState : static_cast<QWidget *>(d->list));
    d->clearAll->setEnabled(!history.isEmpty());

    const std::optional<CleanHistory> &selected = view.selectedHistoryItem();
    const std::optional<QUuid> id = selected ? std::optional(selected->id) : std::nullopt;
    d->model->setSelectedID(id);
    if (id != d->selectedID) {
        d->selectedID = id;
        if (selected)
            d->detail->setRecord(*selected);
        d->detailSide->setCurrentWidget(selected ? static_cast<QWidget *>(d->detail) : d->placeholder);
    }
}

void CleanHistoryView::retranslate()
{
    d->title->setText(localized(QStringLiteral("clean_history")));
    d->clearAll->setText(localized(QStringLiteral("clear_history")));
    d->clearAll->updateGeometry();
    d->close->setText(localized(QStringLiteral("close")));
    d->noHistory->setText(localized(QStringLiteral("no_history")));
    d->noHistoryDescription->setText(localized(QStringLiteral("no_history_description")));
    d->placeholderText->setText(localized(QStringLiteral("select_history_to_view")));
}

void CleanHistoryView::showContextMenu(const QPoint &position)
{
    const QModelIndex index = d->list->indexAt(position);
    if (!index.isValid())
        return;
    const CleanHistory record = d->model->record(index.row());
    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("historyRowMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction *remove = menu->addAction(ui::symbolIcon(QStringLiteral("trash"), ui::color(NamedColor::primary)),
                                      localized(QStringLiteral("delete")));
    remove->setObjectName(QStringLiteral("deleteRecordAction"));
    connect(remove, &QAction::triggered, this, [this, record] { requestDelete(record); });
    menu->popup(d->list->viewport()->mapToGlobal(position));
}

void CleanHistoryView::requestDelete(const CleanHistory &record)
{
    const QUuid id = record.id;
    confirm(QStringLiteral("delete_record"), QStringLiteral("delete_record_confirm"), QStringLiteral("delete"),
            [this, id] { d->view.deleteHistoryRecord(id); });
}

void CleanHistoryView::requestClearAll()
{
    if (d->view.cleanHistory().isEmpty())
        return;
    confirm(QStringLiteral("clear_all_records"), QStringLiteral("clear_all_records_confirm"),
            QStringLiteral("clear_history"), [this] { d->view.clearAllHistory(); });
}

// A window-modal alert with a destructive button and Cancel (also Escape);
// only the destructive button runs `confirmed`.
QMessageBox *CleanHistoryView::confirm(const QString &titleKey, const QString &messageKey, const QString &confirmKey,
                                       std::function<void()> confirmed)
{
    if (d->confirmation)
        return d->confirmation;
    auto *box = new QMessageBox(this);
    box->setObjectName(QStringLiteral("historyConfirmation"));
    box->setWindowModality(Qt::WindowModal);
    box->setIcon(QMessageBox::Warning);
    box->setTextFormat(Qt::PlainText);
    box->setWindowTitle(localized(titleKey));
    box->setText(localized(titleKey));
    box->setInformativeText(localized(messageKey));
    QPushButton *destroy = box->addButton(localized(confirmKey), QMessageBox::DestructiveRole);
    destroy->setObjectName(QStringLiteral("confirmButton"));
    QPushButton *cancel = box->addButton(localized(QStringLiteral("cancel")), QMessageBox::RejectRole);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    fitMessageBoxToText(*box);
    d->confirmation = box;
    connect(box, &QDialog::finished, this, [box, destroy, confirmed = std::move(confirmed)] {
        box->deleteLater();
        if (box->clickedButton() == destroy)
            confirmed();
    });
    box->open();
    return box;
}
