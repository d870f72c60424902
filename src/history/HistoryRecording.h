#pragma once

#include "cleaning/FileType.h"
#include "history/CleanHistory.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The kind of a file: the first group of the scan result (in its iteration
// order) holding an item with exactly the same path; nothing when none does.
std::optional<FileType> fileTypeOf(const FileItem &file, const ScanResult &scanResult);

// One entry per cleaned file, in order; the kind is looked up in `lookIn`
// (empty when the file is in no group).
QList<CleanedFileDetail> detailEntries(const QList<FileItem> &cleaned, const ScanResult &lookIn);

// The kind list of a normal clean: the selected kinds that had a non-empty
// group in the scan result, whether or not any of their files was removed.
QStringList normalCleanKinds(const FileTypeSet &selected, const ScanResult &scanResults);

// The kind list of a quick clean: the distinct kinds of the files handed to
// the clean; files in no group are left out.
QStringList quickCleanKinds(const QList<FileItem> &handed, const ScanResult &scanResult);

// A new record (random id, timestamp `now`) of the files a clean removed:
// count and freed space are those of `cleaned`, entries from detailEntries().
// Its fileTypes are the kinds of the cleaned files themselves; a normal clean
// replaces them with normalCleanKinds(), a quick clean with quickCleanKinds()
// of the handed files (or use the overload below).
CleanHistory makeRecord(const QString &deviceName, const QString &deviceID, const QList<FileItem> &cleaned,
                        const ScanResult &lookIn, const QDateTime &now);
CleanHistory makeRecord(const QString &deviceName, const QString &deviceID, const QList<FileItem> &cleaned,
                        const ScanResult &lookIn, const QDateTime &now, const QStringList &fileTypes);
