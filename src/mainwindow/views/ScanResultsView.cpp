#include "mainwindow/views/ScanResultsView.h"

#include "localization/Localization.h"
#include "mainwindow/ContentView.h"
#include "toolkit/FileRow.h"
#include "toolkit/Presentation.h"
#include "mainwindow/views/ScanResultsModel.h"
#include "toolkit/Toolkit.h"

#include <QGraphicsOpacityEffect>
#include <QHeaderView>
#include <QPointer>
#include <QPropertyAnimation>
#include <QTreeView>

namespace {

// Takes a widget out of the view now and deletes it later: it may be the
// button whose click led here.
void retire(QWidget *widget)
{
    if (!widget)
        return;
    widget->hide();
    widget->setObjectName(QString());
    widget->deleteLater();
}

} // namespace

struct ScanResultsView::Impl
{
    ContentView &view;
    QVBoxLayout *layout = nullptr;

    // One build; a flip of the refresh flag replaces all of it.
    QWidget *content = nullptr;
    QTreeView *list = nullptr;
    ScanResultsModel *model = nullptr;
    QHBoxLayout *bar = nullptr;
    QLabel *summary = nullptr;
    QLabel *unreadable = nullptr;     // folders the scan could not read
    qint64 unreadableCount = -1;
    QPointer<ui::PaintedButton> cleanButton;
    quint64 builtGeneration = 0;   // every flip of the refresh flag builds afresh

    // What the build shows now.
    ScanResult results;
    FileTypeSet selected;
    QStringList customExtensions;
    qint64 totalJunkSize = -1;

    explicit Impl(ContentView &v) : view(v) {}
};

ScanResultsView::ScanResultsView(ContentView &view, QWidget *parent) : QWidget(parent), d(new Impl(view))
{
    setObjectName(QStringLiteral("scanResultsView"));
    d->layout = ui::vstack(this, 0);
    refresh();
}

ScanResultsView::~ScanResultsView()
{
    delete d;
}

void ScanResultsView::refresh()
{
    ContentView &view = d->view;
    const bool rebuild = !d->content || d->builtGeneration != view.refreshGeneration();
    if (rebuild) {
        // Afresh: a new model, a new button (its hover state starts again) and
        // every text looked up again.
        if (d->content) {
            d->content->setParent(nullptr);
            retire(d->content);
        }
        d->content = new QWidget(this);
        d->layout->addWidget(d->content);
        d->content->show();   // now, not on the layout's next turn, so the first frame has it
        QVBoxLayout *column = ui::vstack(d->content, 0);

        d->list = new QTreeView(d->content);
        d->list->setObjectName(QStringLiteral("resultsList"));
        d->list->setHeaderHidden(true);
        d->list->setRootIsDecorated(false);
        d->list->setIndentation(0);
        d->list->setItemsExpandable(false);
        d->list->setExpandsOnDoubleClick(false);
        d->list->setUniformRowHeights(true);   // what keeps a hundred thousand rows cheap
        rows::setUpPlainList(d->list);
        d->list->setAnimated(false);
        d->list->header()->setStretchLastSection(true);
        auto *delegate = new ScanResultsDelegate(d->list);
        d->list->setItemDelegate(delegate);
        d->model = new ScanResultsModel(d->list);
        d->model->setSelectionWriter([this](FileType type, bool selected) {
            FileTypeSet types = d->view.selectedFileTypes();
            if (selected)
                types.insert(type);
            else
                types.remove(type);
            d->view.setSelectedFileTypes(types);   // its stateChanged refreshes this view
        });
        d->list->setModel(d->model);
        column->addWidget(d->list, 1);

        d->unreadable = ui::paragraph(QString(), ui::TextStyle::caption, ui::NamedColor::secondary);
        d->unreadable->setObjectName(QStringLiteral("unreadableFoldersLabel"));
        d->unreadable->setContentsMargins(ui::defaultPadding, 4, ui::defaultPadding, 4);
        d->unreadable->hide();
        column->addWidget(d->unreadable);

        auto *barBox = new ui::RoundedBox(d->content);
        barBox->setFill(ui::color(ui::NamedColor::controlBackground, 0.5));
        d->bar = ui::hstack(barBox, ui::defaultSpacing, ui::padding(ui::defaultPadding));
        d->bar->addWidget(new ui::SymbolLabel(QStringLiteral("trash.circle.fill"), ui::color(ui::NamedColor::green), 20));
        d->summary = ui::text(QString(), ui::TextStyle::headline);
        d->summary->setObjectName(QStringLiteral("cleanSummaryLabel"));
        d->bar->addWidget(d->summary);
        d->bar->addStretch(1);
        column->addWidget(barBox);

        d->cleanButton = nullptr;
        d->builtGeneration = view.refreshGeneration();
        d->results = ScanResult();
        d->selected.clear();
        d->customExtensions.clear();
        d->totalJunkSize = -1;
        d->unreadableCount = -1;
    }

    // The results: shared with the window state until they change, so this
    // check costs nothing while they stay the same.
    const ScanResult &results = view.scanResults();
    const bool resultsChanged = rebuild || !d->results.isSharedWith(results);
    if (resultsChanged) {
        d->results = results;
        d->model->setResults(results);
        d->list->expandAll();
    }
    d->model->setSelection(view.selectedFileTypes());
    d->model->setCustomExtensions(view.customExtensions());
    d->model->setMountRoot(view.selectedDevice() ? view.selectedDevice()->path : QString());

    if (resultsChanged || d->totalJunkSize != view.totalJunkSize()) {
        d->totalJunkSize = view.totalJunkSize();
        d->summary->setText(format(localized(QStringLiteral("scan_complete")), presentation::totalFileCount(results),
                                   presentation::byteCountText(d->totalJunkSize)));
    }

    if (d->unreadableCount != view.unreadableFolderCount()) {
        d->unreadableCount = view.unreadableFolderCount();
        d->unreadable->setVisible(d->unreadableCount > 0);
        if (d->unreadableCount > 0)
            d->unreadable->setText(format(localized(QStringLiteral("scan_unreadable_folders")), d->unreadableCount));
    }

    // The clean-all button lives only while no scan runs; coming back it fades in.
    const bool wantButton = !view.isScanning();
    if (wantButton && !d->cleanButton) {
        auto *button = new ui::PaintedButton;
        button->setObjectName(QStringLiteral("cleanAllButton"));
        button->setSymbol(QStringLiteral("sparkles"), 14);
        button->setText(localized(QStringLiteral("one_click_clean")));
        button->setLabelFont(ui::systemFont(14, QFont::Medium));
        button->setSpacing(6);
        button->setPadding(14, 8);
        button->setCornerRadius(-1);
        button->setGradient(ui::color(ui::NamedColor::green), ui::color(ui::NamedColor::blue, 0.8));
        button->setForeground(Qt::white);
        button->setHoverStyle(ui::HoverButtonStyle{1.05, 5});
        button->setToolTip(localized(QStringLiteral("clean_all_help")));
        connect(button, &QAbstractButton::clicked, this, [this] { d->view.cleanButtonTapped(); });
        d->bar->addWidget(button);
        button->show();
        if (!rebuild) {
            auto *fade = new QGraphicsOpacityEffect(button);
            fade->setOpacity(0);
            button->setGraphicsEffect(fade);
            auto *animation = new QPropertyAnimation(fade, "opacity", button);
            animation->setDuration(250);
            animation->setStartValue(0.0);
            animation->setEndValue(1.0);
            animation->setEasingCurve(QEasingCurve::OutCubic);
            connect(animation, &QPropertyAnimation::finished, button, [button] { button->setGraphicsEffect(nullptr); });
            animation->start(QAbstractAnimation::DeleteWhenStopped);
        }
        d->cleanButton = button;
    } else if (!wantButton && d->cleanButton) {
        retire(d->cleanButton);
        d->cleanButton = nullptr;
    }
    // One clean per device at a time: not while work runs on it.
    if (d->cleanButton)
        d->cleanButton->setEnabled(view.canStartWork());
}

QWidget *ScanResultsView::nextAction() const
{
    if (d->cleanButton)
        return d->cleanButton;
    return d->list;
}
