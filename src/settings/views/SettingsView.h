#pragma once

#include "cleaning/FileType.h"

#include <QDialog>

#include <optional>

class SettingsChoices;
class CustomExtensionEditor;
class ExcludedFilesView;
class FileTypeInfoPopover;
class LanguageManager;
class SwitchRow;

// The settings sheet: the language, the kinds cleaned by default, the custom
// kind with its suffixes, the excluded patterns, the two automation switches
// and, last, the update check. It edits the main window's state as the user
// works; the switches are stored at once, everything else by the main
// window's dismissal handler, however the sheet closes (Done, Escape, the
// window's close). A language change rebuilds it in the new language.
class SettingsView : public QDialog
{
    Q_OBJECT
public:
    SettingsView(SettingsChoices &view, LanguageManager &languages, QWidget *parent = nullptr);
    ~SettingsView() override;

    // The update check's block, empty until it is given its content; it stays
    // the same widget across rebuilds.
    QWidget *updateCheckBlock() const;

    // The kind whose information popover is open, and the popover.
    std::optional<FileType> showingInfoForType() const;
    FileTypeInfoPopover *infoPopover() const;
    // Opens a kind's popover (closing any other), or closes it.
    void showInfo(std::optional<FileType> type);

    // The custom-extension field replaces its placeholder a moment later.
    void showExtensionField();
    bool shouldShowTextField() const;

    // Done.
    void saveAndDismiss();

    SwitchRow *fileTypeRow(FileType type) const;
    CustomExtensionEditor *customEditor() const;
    ExcludedFilesView *excludedFilesView() const;

    void done(int result) override;

protected:
    void showEvent(QShowEvent *event) override;

private:
    struct Impl;
    Impl *d;
};
