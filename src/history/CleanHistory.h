#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <optional>

// One file a clean removed.
struct CleanedFileDetail
{
    QString name;
    QString path;
    qint64 size = 0;
    // Raw value of the kind the scan filed it under; empty when none did.
    QString fileType;

    bool operator==(const CleanedFileDetail &o) const
    {
        return name == o.name && path == o.path && size == o.size && fileType == o.fileType;
    }
};

// One clean of one device, newest first in the history.
struct CleanHistory
{
    QUuid id;
    QString deviceName;
    QString deviceID;
    QDateTime timestamp;
    qint64 cleanedFileCount = 0;
    qint64 freedSpace = 0;
    // Raw kind values, kept as stored even when no kind has that name any more.
    QStringList fileTypes;
    QList<CleanedFileDetail> cleanedFiles;

    // A record is identified by its id alone.
    bool operator==(const CleanHistory &o) const { return id == o.id; }
};

// The stored form of the history: a compact JSON array of records, keys in a
// fixed order, ids in upper case, timestamps as seconds since
// 2001-01-01 00:00:00 UTC, forward slashes written as "\/".
namespace HistoryCodec {

QByteArray encode(const QList<CleanHistory> &records);

// Records that cannot be read are skipped one by one, so one damaged record
// does not take the others with it; each is described in `problems`, and
// `damaged` holds them as they were stored, in an array of their own.
struct Decoded
{
    QList<CleanHistory> records;
    int skipped = 0;
    QStringList problems;
    QByteArray damaged;
};

// Nothing when the bytes are not a JSON array at all; `error` then says why.
std::optional<Decoded> decode(const QByteArray &bytes, QString *error = nullptr);

// Seconds since 2001-01-01 00:00:00 UTC, and back (millisecond precision).
double referenceSeconds(const QDateTime &time);
QDateTime fromReferenceSeconds(double seconds);

} // namespace HistoryCodec
