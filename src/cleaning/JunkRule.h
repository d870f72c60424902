#pragma once

#include "cleaning/FileMatcher.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// What the administrator tool may remove at all, whatever it is asked: an
// item the catalogue calls junk by its own name, an item inside a folder the
// catalogue takes whole (a trash, a Spotlight index, "__MACOSX"...), or a file
// whose extension is one of the user's custom extensions. A user's extension
// never makes a folder junk, nor what lies inside one. The protected name is
// never junk. Exclusions play no part: the app sends only what the scan kept.
class JunkRule
{
public:
    explicit JunkRule(const QStringList &customExtensions = {});

    // Why the item at `relative` (a path below the volume root, by whole
    // components) may not be removed; nothing when it may. `isFolder`: what
    // stands there now is a folder.
    std::optional<QString> refusal(const QByteArray &relative, bool isFolder) const;

    // The extensions a request must carry for these items (paths below the
    // root, with whether each is a folder): those of the files that the
    // catalogue alone does not call junk.
    static QStringList extensionsFor(const QList<std::pair<QByteArray, bool>> &items);

private:
    FileMatcher m_matcher;
};
