#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// Why a file could not be replaced: the errno of the step that failed and
// what that step was, in our own words (English).
struct FileReplaceError
{
    int error = 0;
    QString description;
};

// Replaces the file at `path` with `data`, or makes it: the missing folders
// are made private to the user (0700), then a private temporary file (0600)
// beside it ("<name>.XXXXXX", locked while it is written) is written, synced
// and renamed over it, so a reader sees the old file or the new one, never a
// part. The temporary file does not stay when a step fails. Blocking.
std::optional<FileReplaceError> replaceFile(const QString &path, const QByteArray &data);

// Removes the temporary files replaceFile(path) left beside `path` when its
// process was killed mid-write: ours (owned by us, named "<name>.XXXXXX"),
// regular, written to last over ten seconds ago and locked by no writer.
// Nothing else in the folder is touched. Returns the paths removed.
QStringList removeStaleTemporaryFiles(const QString &path);
