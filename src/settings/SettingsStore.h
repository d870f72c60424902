#pragma once

#include "cleaning/FileType.h"

#include <QString>
#include <QStringList>

#include <optional>

class Preferences;

// The stored settings. The lists are written whole and at once; a stored list
// that is not an array of strings reads as absent. The loads and saves print
// their diagnostic lines.
class SettingsStore
{
public:
    static inline const QString customExtensionsKey = QStringLiteral("customFileExtensions");
    static inline const QString selectedFileTypesKey = QStringLiteral("selectedFileTypes");
    static inline const QString excludedPatternsKey = QStringLiteral("excludedFilePatterns");
    static inline const QString configuredCustomKey = QStringLiteral("hasConfiguredCustomFileType");
    static inline const QString promptCleanOnInsertKey = QStringLiteral("promptCleanOnInsert");
    static inline const QString autoEjectAfterCleanKey = QStringLiteral("autoEjectAfterClean");

    explicit SettingsStore(Preferences &preferences);

    // Every kind but custom when nothing usable is stored (absent, empty, or
    // only unknown names).
    static FileTypeSet defaultFileTypes();
    FileTypeSet loadSelectedFileTypes();

    // The stored custom extensions; nothing when no list is stored, so the
    // caller keeps its own. The first time a stored list is found, a non-empty
    // one also adds custom to `selectedFileTypes`; load the selection first.
    std::optional<QStringList> readCustomExtensions(FileTypeSet &selectedFileTypes);

    QStringList loadExcludedPatterns();

    void saveSelectedFileTypes(const FileTypeSet &types);
    void saveCustomExtensions(const QStringList &extensions);
    void saveExcludedPatterns(const QStringList &patterns);

    // When the settings sheet closes, however it closes: drops custom from the
    // selection when no custom extension exists, then saves the extensions, the
    // selection and the patterns. Storing the extensions here, not only at
    // Done, keeps a stored custom kind from ever lacking its extensions.
    void settingsSheetDismissed(FileTypeSet &selectedFileTypes, const QStringList &customExtensions,
                                const QStringList &excludedPatterns);

    bool promptCleanOnInsert() const;
    void setPromptCleanOnInsert(bool on);
    bool autoEjectAfterClean() const;
    void setAutoEjectAfterClean(bool on);

    // A list as the diagnostics print it: ["a", "b"].
    static QString printedList(const QStringList &list);

private:
    Preferences &m_preferences;
};
