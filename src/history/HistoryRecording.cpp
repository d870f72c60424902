#include "history/HistoryRecording.h"

#include <QHash>
#include <QUuid>

namespace {

// Each path's kind, as fileTypeOf() finds it, built once so that a clean of
// many files does not search the whole scan result for every one of them.
QHash<QByteArray, FileType> kindsByPath(const ScanResult &scanResult)
{
    QHash<QByteArray, FileType> kinds;
    for (auto it = scanResult.cbegin(); it != scanResult.cend(); ++it) {
        for (const FileItem &item : it.value()) {
            if (!kinds.contains(item.fsPath()))
                kinds.insert(item.fsPath(), it.key());
        }
    }
    return kinds;
}

} // namespace

std::optional<FileType> fileTypeOf(const FileItem &file, const ScanResult &scanResult)
{
    for (auto it = scanResult.cbegin(); it != scanResult.cend(); ++it) {
        for (const FileItem &item : it.value()) {
            if (item.fsPath() == file.fsPath())
                return it.key();
        }
    }
    return std::nullopt;
}

QList<CleanedFileDetail> detailEntries(const QList<FileItem> &cleaned, const ScanResult &lookIn)
{
    const QHash<QByteArray, FileType> kinds = kindsByPath(lookIn);
    QList<CleanedFileDetail> entries;
    entries.reserve(cleaned.size());
    for (const FileItem &file : cleaned) {
        const auto kind = kinds.constFind(file.fsPath());
        entries.append(CleanedFileDetail{file.name(), file.path(), file.size,
                                         kind != kinds.cend() ? FileTypes::rawValue(*kind) : QString()});
    }
    return entries;
}

QStringList normalCleanKinds(const FileTypeSet &selected, const ScanResult &scanResults)
{
    FileTypeSet kinds;
    for (const FileType type : selected) {
        if (!scanResults.value(type).isEmpty())
            kinds.insert(type);
    }
    return FileTypes::rawValues(kinds);
}

QStringList quickCleanKinds(const QList<FileItem> &handed, const ScanResult &scanResult)
{
    const QHash<QByteArray, FileType> kinds = kindsByPath(scanResult);
    FileTypeSet found;
    for (const FileItem &file : handed) {
        if (const auto kind = kinds.constFind(file.fsPath()); kind != kinds.cend())
            found.insert(*kind);
    }
    return FileTypes::rawValues(found);
}

CleanHistory makeRecord(const QString &deviceName, const QString &deviceID, const QList<FileItem> &cleaned,
                        const ScanResult &lookIn, const QDateTime &now)
{
    return makeRecord(deviceName, deviceID, cleaned, lookIn, now, quickCleanKinds(cleaned, lookIn));
}

CleanHistory makeRecord(const QString &deviceName, const QString &deviceID, const QList<FileItem> &cleaned,
                        const ScanResult &lookIn, const QDateTime &now, const QStringList &fileTypes)
{
    CleanHistory record;
    record.id = QUuid::createUuid();
    record.deviceName = deviceName;
    record.deviceID = deviceID;
    record.timestamp = now;
    record.cleanedFileCount = cleaned.size();
    record.freedSpace = totalSize(cleaned);
    record.fileTypes = fileTypes;
    record.cleanedFiles = detailEntries(cleaned, lookIn);
    return record;
}
