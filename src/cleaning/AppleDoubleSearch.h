#pragma once

#include "cleaning/PathArena.h"
#include "cleaning/PathHandles.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

#include <sys/stat.h>

class VolumeWork;

// The search for AppleDouble ("._") files that runs before a scan's walk.
// Hits are absolute paths as bytes. Every hit is looked at (lstat) once, to
// see it is there; with `looks`, what that look saw is handed back beside the
// hits (in their order), so the scan need not ask the file system again.
namespace AppleDoubleSearch {

// Looks (lstat) at paths folder by folder: find lists the hits of a folder
// together, and they are looked at through one handle on it, so the path
// to the folder is resolved once, not once per hit (on a FUSE volume every
// step of a path whose cached entry has expired is a round trip).
class FolderLooks
{
public:
    // `name`: the path's last component, NUL-terminated.
    std::optional<struct stat> lstat(QByteArrayView path, const char *name);
    // The entry `name` (NUL-terminated) of the folder at `folder`.
    std::optional<struct stat> lstatIn(QByteArrayView folder, const char *name);

private:
    QByteArray m_folder;
    pathhandles::Handle m_fd;
    bool m_opened = false;
};

// Each hit as it is found, with what the look at it saw and its node in the
// index the search held find's output in (kNone when it held none): nothing
// else holds the hits, so the scan keeps them in its own compact form.
using OnHit = std::function<void(QByteArrayView path, const pathhandles::ItemLook &look, PathArena::Node node)>;

struct Tools
{
    QString find = QStringLiteral("find");
    QString ls = QStringLiteral("ls");
    std::chrono::milliseconds findTimeout{15000};
    // The scan the search is part of (its children stop and are given up
    // with it; their output is its progress). May be none.
    VolumeWork *work = nullptr;
};

// GNU find over the volume (-xdev, -print0) under its time limit; nothing
// when find cannot be started. A run stopped at its limit, or with its scan,
// gives no hits.
std::optional<QList<QByteArray>> findAppleDoubleFilesWithFind(const QByteArray &root, const Tools &tools,
                                                              QList<pathhandles::ItemLook> *looks = nullptr);
// The same, each hit handed to `onHit`; the number of hits. find's output is
// held in `held` while it runs (the index the hits will join), or in an
// index of its own. With `onHitLogs`, each hit goes to onHit after its own
// lines, so that the lines onHit writes go in their place. Without it, the
// lines of find's fields are made in pieces and written in bursts while onHit
// is called in order on a thread of its own, beside threads reading the
// index: then onHit must not log nor add to `held`.
std::optional<qsizetype> findAppleDoubleFilesWithFind(const QByteArray &root, const Tools &tools, const OnHit &onHit,
                                                      PathIndex *held = nullptr, bool onHitLogs = true);

// find's NUL-separated output: keeps the entries that lie inside root (whole
// components), whose last component starts with "._" and that exist.
// Each look counts as progress of `work`, when there is one.
QList<QByteArray> parseFindOutput(const QByteArray &root, const QByteArray &output,
                                  QList<pathhandles::ItemLook> *looks = nullptr, VolumeWork *work = nullptr);
qsizetype parseFindOutput(const QByteArray &root, const QByteArray &output, const OnHit &onHit, VolumeWork *work);

// In-process search, used when find cannot be started.
QList<QByteArray> findAppleDoubleFilesFallback(const QByteArray &root, QList<pathhandles::ItemLook> *looks = nullptr,
                                               VolumeWork *work = nullptr);
qsizetype findAppleDoubleFilesFallback(const QByteArray &root, const OnHit &onHit, VolumeWork *work);

// find, or the fallback when find cannot be started; logs as it goes.
QList<QByteArray> findAppleDoubleFiles(const QByteArray &root, const Tools &tools, QList<pathhandles::ItemLook> *looks = nullptr);
qsizetype findAppleDoubleFiles(const QByteArray &root, const Tools &tools, const OnHit &onHit, PathIndex *held = nullptr,
                               bool onHitLogs = true);

// "._" names of the root folder that `ls -la` shows (the last word of a line).
// A path `known` answers true for (already found) is not looked at again: it
// counts as there, with an empty look. ls's output is read as it comes, line
// by line, never held whole (a root of a million entries lists 60 MB).
QList<QByteArray> findAppleDoubleFilesWithLs(const QByteArray &root, const Tools &tools,
                                             QList<pathhandles::ItemLook> *looks = nullptr,
                                             const std::function<bool(const QByteArray &)> &known = {});

} // namespace AppleDoubleSearch
