#include "cleaning/JunkRule.h"

#include "cleaning/FileType.h"

#include <QSet>

namespace {

const QString kMacosx = QStringLiteral("__MACOSX");

} // namespace

JunkRule::JunkRule(const QStringList &customExtensions)
    : m_matcher(FileTypes::junkFilePatterns(), FileTypes::allTypes(), customExtensions, {})
{
}

std::optional<QString> JunkRule::refusal(const QByteArray &relative, bool isFolder) const
{
    const QList<QByteArray> names = relative.split('/');
    const FileTypeSet all = FileTypes::allTypes();
    bool insideMacosx = false;
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QString name = QString::fromUtf8(names.at(i));
        const bool last = i + 1 == names.size();
        // A folder above the item counts only when it is taken whole, which
        // only the catalogue's own folder names do.
        if (m_matcher.matchFile(MatchItem{name, last ? isFolder : true, insideMacosx}, all))
            return std::nullopt;
        insideMacosx = insideMacosx || name == kMacosx;
    }
    return QStringLiteral("not junk: no name of the catalogue, in no folder taken whole, and no file of a custom "
                          "extension");
}

QStringList JunkRule::extensionsFor(const QList<std::pair<QByteArray, bool>> &items)
{
    const JunkRule catalogue;
    QStringList extensions;
    QSet<QString> seen;
    for (const auto &[relative, isFolder] : items) {
        if (isFolder || !catalogue.refusal(relative, false))
            continue;
        const QByteArray name = relative.mid(relative.lastIndexOf('/') + 1);
        const qsizetype dot = name.lastIndexOf('.');
        const QString extension = dot < 0 ? QString() : QString::fromUtf8(name.mid(dot + 1)).toLower();
        if (!extension.isEmpty() && !seen.contains(extension)) {
            seen.insert(extension);
            extensions << extension;
        }
    }
    return extensions;
}
