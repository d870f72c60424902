#pragma once

#include "cleaning/FileType.h"
#include "history/CleanHistory.h"

#include <QList>
#include <QLocale>
#include <QStringList>

#include <functional>
#include <optional>

class QObject;
class QUuid;

// What the sheets see of the window's logic. Each sheet takes only the part
// it shows and acts on, never the whole window (ContentView is all of them),
// so the window's logic reads and is tested without any sheet.

// The choices the settings sheet shows and edits.
class SettingsChoices
{
public:
    // Calls `changed` on every change of the window's state, while `context` lives.
    virtual void onStateChanged(QObject *context, std::function<void()> changed) = 0;

    virtual const FileTypeSet &selectedFileTypes() const = 0;
    virtual void setSelectedFileTypes(const FileTypeSet &types) = 0;
    virtual const QStringList &customExtensions() const = 0;
    virtual void setCustomExtensions(const QStringList &extensions) = 0;
    virtual const QStringList &excludedFilePatterns() const = 0;
    virtual void setExcludedFilePatterns(const QStringList &patterns) = 0;
    virtual bool promptCleanOnInsert() const = 0;
    virtual void setPromptCleanOnInsert(bool on) = 0;
    virtual bool autoEjectAfterClean() const = 0;
    virtual void setAutoEjectAfterClean(bool on) = 0;

protected:
    ~SettingsChoices() = default;
};

// The clean history as its sheet shows it, what the sheet does with it, and
// whether the sheet is up.
class HistoryBrowser
{
public:
    virtual void onStateChanged(QObject *context, std::function<void()> changed) = 0;

    virtual bool showHistory() const = 0;
    virtual void setShowHistory(bool on) = 0;
    virtual const QList<CleanHistory> &cleanHistory() const = 0;
    virtual const std::optional<CleanHistory> &selectedHistoryItem() const = 0;
    virtual void toggleHistorySelection(const CleanHistory &record) = 0;
    virtual void deleteHistoryRecord(const QUuid &id) = 0;
    virtual void clearAllHistory() = 0;
    // The interface language's locale, for dates.
    virtual const QLocale &dateFormatterLocale() const = 0;
    // Moves on when every text must be looked up again (a language change).
    virtual quint64 refreshGeneration() const = 0;

protected:
    ~HistoryBrowser() = default;
};

// Whether the About window is up.
class AboutPresence
{
public:
    virtual void onStateChanged(QObject *context, std::function<void()> changed) = 0;

    virtual bool showAbout() const = 0;
    virtual void setShowAbout(bool on) = 0;

protected:
    ~AboutPresence() = default;
};
