#include "settings/SettingsEditing.h"

namespace settings {

bool canAdd(const QString &typed)
{
    return !typed.trimmed().isEmpty();
}

QString extensionSuffix(const QString &typed)
{
    const QStringList pieces = typed.split(u'.');
    for (auto it = pieces.crbegin(); it != pieces.crend(); ++it) {
        const QString piece = it->trimmed();
        if (!piece.isEmpty())
            return piece;
    }
    return {};
}

bool addCustomExtension(QStringList &extensions, FileTypeSet &selected, const QString &typed)
{
    const QString suffix = extensionSuffix(typed);
    if (suffix.isEmpty() || extensions.contains(suffix))
        return false;
    extensions.append(suffix);
    if (extensions.size() == 1)
        selected.insert(FileType::custom);
    return true;
}

bool removeCustomExtension(QStringList &extensions, FileTypeSet &selected, const QString &suffix)
{
    if (!extensions.removeOne(suffix))
        return false;
    if (extensions.isEmpty())
        selected.remove(FileType::custom);
    return true;
}

void setFileType(FileTypeSet &selected, FileType type, bool enabled)
{
    if (enabled)
        selected.insert(type);
    else
        selected.remove(type);
}

bool addExcludedPattern(QStringList &patterns, const QString &typed)
{
    const QString pattern = typed.trimmed();
    if (pattern.isEmpty() || patterns.contains(pattern))
        return false;
    patterns.append(pattern);
    return true;
}

bool removeExcludedPattern(QStringList &patterns, const QString &pattern)
{
    return patterns.removeAll(pattern) > 0;
}

} // namespace settings
