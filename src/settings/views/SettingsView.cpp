#include "settings/views/SettingsView.h"

#include "localization/LanguageManager.h"
#include "localization/LanguageSelector.h"
#include "localization/Localization.h"
#include "mainwindow/SheetModels.h"
#include "toolkit/FileTypeInfoPopover.h"
#include "toolkit/Toolkit.h"
#include "platform/Log.h"
#include "platform/Scheduler.h"
#include "settings/views/CustomExtensionEditor.h"
#include "settings/views/ExcludedFilesView.h"
#include "settings/views/FileTypeSettingRow.h"
#include "settings/SettingsEditing.h"
#include "settings/views/SheetParts.h"
#include "settings/views/UpdateCheckView.h"
#include "settings/UpdateManager.h"

#include <QMap>
#include <QPointer>
#include <QScrollArea>

using namespace std::chrono_literals;

namespace {

constexpr QSize sheetSize(450, 600);
constexpr int blockPadding = 20;

} // namespace

struct SettingsView::Impl
{
    Impl(SettingsView *owner, SettingsChoices &window, LanguageManager &languageManager)
        : self(owner), view(window), languages(languageManager)
    {
    }

    SettingsView *self;
    SettingsChoices &view;
    LanguageManager &languages;

    CustomExtensionEntry entry;
    std::optional<FileType> showingInfo;
    QPointer<FileTypeInfoPopover> popover;
    QWidget *updateBlock = nullptr;
    // One update check per presentation of the sheet: a language rebuild
    // puts a new card over the same manager, which checks on its first
    // appearance only.
    UpdateManager *updates = nullptr;
    bool appeared = false;

    // Remade by every build.
    QWidget *body = nullptr;
    QMap<FileType, SwitchRow *> rows;
    CustomExtensionEditor *custom = nullptr;
    ExcludedFilesView *excluded = nullptr;
    SwitchRow *promptRow = nullptr;
    SwitchRow *ejectRow = nullptr;

    void build();
    QWidget *titleBar();
    QWidget *generalBlock();
    QWidget *defaultKindsBlock();
    QWidget *automationBlock();
    void refresh();
    void closePopover();
};

void SettingsView::Impl::build()
{
    // The update block outlives the rebuild; its card is made anew in the new language.
    updateBlock->setParent(self);
    UpdateCheckView::placeIn(updateBlock, *updates, self);
    if (body) {
        body->hide();
        body->deleteLater();   // a control of it may be the one that changed the language
    }
    rows.clear();
    self->setWindowTitle(localized(QStringLiteral("settings")));

    body = new QWidget;
    QVBoxLayout *column = ui::vstack(body, 0);
    column->addWidget(titleBar());
    column->addWidget(sheetparts::divider());

    auto *content = new QWidget;
    QVBoxLayout *blocks = ui::vstack(content, 20, QMargins(blockPadding, 0, blockPadding, blockPadding));
    custom = new CustomExtensionEditor(view, entry);
    excluded = new ExcludedFilesView(view);
    const QList<QWidget *> parts{generalBlock(), defaultKindsBlock(), custom, excluded, automationBlock(), updateBlock};
    for (QWidget *part : parts) {
        if (part != parts.first())
            blocks->addWidget(sheetparts::divider());
        blocks->addWidget(part);
    }
    blocks->addStretch(1);
    updateBlock->show();

    auto *scroll = new QScrollArea;
    scroll->setObjectName(QStringLiteral("settingsScrollArea"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setFocusPolicy(Qt::NoFocus);   // its controls take the focus, and it scrolls to them
    scroll->setWidget(content);
    column->addWidget(scroll, 1);
    self->layout()->addWidget(body);
    body->show();   // at once, not on the next turn, when the sheet is up

    QObject::connect(custom, &CustomExtensionEditor::placeholderPressed, self, &SettingsView::showExtensionField);
    QObject::connect(custom, &CustomExtensionEditor::infoRequested, self, [this] { self->showInfo(FileType::custom); });
    refresh();
}

QWidget *SettingsView::Impl::titleBar()
{
    auto *bar = new QWidget;
    QHBoxLayout *row = ui::hstack(bar, ui::defaultSpacing, QMargins(20, 20, 20, 10));
    QLabel *title = ui::text(localized(QStringLiteral("settings")), ui::font(ui::TextStyle::title, QFont::DemiBold));
    title->setObjectName(QStringLiteral("settingsTitle"));
    row->addWidget(title, 1);
    ui::PaintedButton *done = ui::prominentButton(QStringLiteral("done"), 14, 7);
    done->setObjectName(QStringLiteral("doneButton"));
    QObject::connect(done, &QAbstractButton::clicked, self, &SettingsView::saveAndDismiss);
    row->addWidget(done);
    return bar;
}

QWidget *SettingsView::Impl::generalBlock()
{
    auto *block = new QWidget;
    QVBoxLayout *column = ui::vstack(block, 12, QMargins(0, 10, 0, 0));
    column->addWidget(sheetparts::sectionHeader(QStringLiteral("general_settings")));
    column->addWidget(new LanguageSelector(languages));
    return block;
}

QWidget *SettingsView::Impl::defaultKindsBlock()
{
    auto *block = new QWidget;
    QVBoxLayout *list = sheetparts::section(block, QStringLiteral("default_clean_options"), 4);
    for (FileType type : FileTypes::allCases()) {
        if (type == FileType::custom)
            continue;   // it has a block of its own
        SwitchRow *row = fileTypeSettingRow(type);
        QObject::connect(row, &SwitchRow::switched, self, [this, type](bool on) {
            FileTypeSet selected = view.selectedFileTypes();
            settings::setFileType(selected, type, on);
            view.setSelectedFileTypes(selected);
        });
        QObject::connect(row, &SwitchRow::infoRequested, self, [this, type] { self->showInfo(type); });
        rows.insert(type, row);
        list->addWidget(row);
    }
    return block;
}

QWidget *SettingsView::Impl::automationBlock()
{
    auto *block = new QWidget;
    QVBoxLayout *list = sheetparts::section(block, QStringLiteral("automation_settings"), 8);
    promptRow = new SwitchRow(QStringLiteral("bolt"), ui::NamedColor::orange, localized(QStringLiteral("prompt_on_insert")),
                              false);
    promptRow->setObjectName(QStringLiteral("promptOnInsertRow"));
    ejectRow = new SwitchRow(QStringLiteral("eject"), ui::NamedColor::blue, localized(QStringLiteral("auto_eject")), false);
    ejectRow->setObjectName(QStringLiteral("autoEjectRow"));
    // Stored the moment they change.
    QObject::connect(promptRow, &SwitchRow::switched, self, [this](bool on) { view.setPromptCleanOnInsert(on); });
    QObject::connect(ejectRow, &SwitchRow::switched, self, [this](bool on) { view.setAutoEjectAfterClean(on); });
    list->addWidget(promptRow);
    list->addWidget(ejectRow);
    return block;
}

void SettingsView::Impl::refresh()
{
    const FileTypeSet &selected = view.selectedFileTypes();
    for (auto it = rows.cbegin(); it != rows.cend(); ++it)
        it.value()->setOn(selected.contains(it.key()));
    custom->refresh();
    excluded->refresh();
    promptRow->setOn(view.promptCleanOnInsert());
    ejectRow->setOn(view.autoEjectAfterClean());
}

void SettingsView::Impl::closePopover()
{
    if (FileTypeInfoPopover *open = popover) {
        popover = nullptr;
        open->dismiss();
        open->deleteLater();
    }
}

SettingsView::SettingsView(SettingsChoices &view, LanguageManager &languages, QWidget *parent)
    : QDialog(parent), d(new Impl(this, view, languages))
{
    setObjectName(QStringLiteral("settingsView"));
    setFixedSize(sheetSize);
    setAutoFillBackground(true);
    ui::vstack(this, 0);
    d->updateBlock = new QWidget(this);
    d->updateBlock->setObjectName(QStringLiteral("updateCheckBlock"));
    ui::vstack(d->updateBlock, 0);
    d->updates = new UpdateManager(Scheduler::shared(), UpdateManager::appOptions(), this);
    d->build();
    view.onStateChanged(this, [this] { d->refresh(); });
    connect(&languages, &LanguageManager::currentLanguageChanged, this, [this] { d->build(); });
}

SettingsView::~SettingsView()
{
    d->closePopover();
    delete d;
}

QWidget *SettingsView::updateCheckBlock() const
{
    return d->updateBlock;
}

std::optional<FileType> SettingsView::showingInfoForType() const
{
    return d->showingInfo;
}

FileTypeInfoPopover *SettingsView::infoPopover() const
{
    return d->popover;
}

void SettingsView::showInfo(std::optional<FileType> type)
{
    if (type == d->showingInfo)
        return;
    d->closePopover();
    d->showingInfo = type;
    if (!type)
        return;
    QWidget *anchor = *type == FileType::custom ? static_cast<QWidget *>(d->custom->row()) : d->rows.value(*type);
    d->popover = new FileTypeInfoPopover(*type, [this] { showInfo(std::nullopt); }, d->languages, this);
    d->popover->showBeside(anchor);
}

void SettingsView::showExtensionField()
{
    Scheduler::shared().after(100ms, [this] {
        d->entry.fieldShown = true;
        d->custom->refresh();
    }, this);
}

bool SettingsView::shouldShowTextField() const
{
    return d->entry.fieldShown;
}

void SettingsView::saveAndDismiss()
{
    // Closing stores the suffixes together with the rest (the main window's
    // dismissal handler), so Done only closes.
    accept();
}

SwitchRow *SettingsView::fileTypeRow(FileType type) const
{
    return type == FileType::custom ? d->custom->row() : d->rows.value(type);
}

CustomExtensionEditor *SettingsView::customEditor() const
{
    return d->custom;
}

ExcludedFilesView *SettingsView::excludedFilesView() const
{
    return d->excluded;
}

void SettingsView::done(int result)
{
    d->showingInfo.reset();
    d->closePopover();
    QDialog::done(result);
}

void SettingsView::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (d->appeared)
        return;
    d->appeared = true;
    logLine(QStringLiteral("设置视图显示 - 当前设置值: 提示清理=") + boolText(d->view.promptCleanOnInsert())
            + QStringLiteral(", 自动弹出=") + boolText(d->view.autoEjectAfterClean()));
    // The field starts hidden each time the sheet is shown.
    d->entry.fieldShown = false;
    d->custom->refresh();
}
