#pragma once

#include "cleaning/FileType.h"

#include <QString>
#include <QStringList>

// The rules of the settings sheet's editors, apart from their widgets. Each
// works on the main window's lists in place and says whether it changed them.
// Comparisons are exact and case-sensitive; input that adds nothing changes
// nothing.
namespace settings {

// Whether an add button may be pressed: the text is not blank.
bool canAdd(const QString &typed);

// The suffix typed text stands for: the last non-blank piece between dots,
// trimmed (" .LOG. " gives "LOG", "tar.gz" gives "gz"). The scan compares it
// with what follows the last dot of a name, so that is what is kept. Empty
// when nothing is left.
QString extensionSuffix(const QString &typed);

// Appends the typed suffix unless it is empty or listed. The first suffix
// selects the custom kind; later ones leave the selection as the user set it.
bool addCustomExtension(QStringList &extensions, FileTypeSet &selected, const QString &typed);
// Removes the first equal entry; removing the last one deselects the custom kind.
bool removeCustomExtension(QStringList &extensions, FileTypeSet &selected, const QString &suffix);
// A kind switched on or off (the custom kind's switch included).
void setFileType(FileTypeSet &selected, FileType type, bool enabled);

// Appends the trimmed pattern unless it is empty or listed. Dots, stars,
// case and inner spaces stay as typed.
bool addExcludedPattern(QStringList &patterns, const QString &typed);
// Removes every equal entry.
bool removeExcludedPattern(QStringList &patterns, const QString &pattern);

} // namespace settings
