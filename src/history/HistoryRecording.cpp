#include "history/HistoryRecording.h"

#include <QUuid>

std::optional<FileType> fileTypeOf(const FileItem &file, const ScanResult &scanResult)
{
    for (auto it = scanResult.cbegin(); it != scanResult.cend(); ++it) {
        for (const FileItem &item : it.value()) {
            if (item.path == file.path)
                return it.key();
        }
    }
    return std::nullopt;
}

QList<CleanedFileDetail> detailEntries(const QList<FileItem> &cleaned, const ScanResult &lookIn)
{
    QList<CleanedFileDetail> entries;
    entries.reserve(cleaned.size());
    for (const FileItem &file : cleaned) {
        const std::optional<FileType> type = fileTypeOf(file, lookIn);
        entries.append(CleanedFileDetail{file.name, file.path, file.size,
                                         type ? FileTypes::rawValue(*type) : QString()});
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
    FileTypeSet kinds;
    for (const FileItem &file : handed) {
        if (const std::optional<FileType> type = fileTypeOf(file, scanResult))
            kinds.insert(*type);
    }
    return FileTypes::rawValues(kinds);
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
    record.cleanedFileCount = int(cleaned.size());
    for (const FileItem &file : cleaned)
        record.freedSpace += file.size;
    record.fileTypes = fileTypes;
    record.cleanedFiles = detailEntries(cleaned, lookIn);
    return record;
}
