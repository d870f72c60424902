#include "platform/UDisks2Mounts.h"

#include <QFile>

#include <cstring>
#include <optional>
#include <utility>

// GVariant's serialization, as far as these records need it: a container of
// members of variable size ends with the offsets where they end ("framing
// offsets", little-endian, each as wide as the container's size needs); a
// member starts where the one before ended, rounded up to its alignment (8
// for everything holding a variant); a variant is its value, a NUL byte and
// its type.

namespace {

constexpr qsizetype kMaxRecordBytes = 16 * 1024 * 1024;
constexpr qsizetype kVariantAlignment = 8;

qsizetype offsetWidth(qsizetype containerSize)
{
    return containerSize <= 0xff ? 1 : containerSize <= 0xffff ? 2 : containerSize <= 0xffffffffLL ? 4 : 8;
}

quint64 offsetAt(QByteArrayView data, qsizetype at, qsizetype width)
{
    quint64 value = 0;
    for (qsizetype i = width - 1; i >= 0; --i)
        value = value << 8 | quint8(data[at + i]);
    return value;
}

qsizetype aligned(qsizetype at, qsizetype alignment)
{
    return (at + alignment - 1) / alignment * alignment;
}

// The members of an array whose members vary in size.
std::optional<QList<QByteArrayView>> arrayMembers(QByteArrayView array)
{
    QList<QByteArrayView> members;
    if (array.isEmpty())
        return members;
    const qsizetype width = offsetWidth(array.size());
    if (array.size() < width)
        return std::nullopt;
    const quint64 end = offsetAt(array, array.size() - width, width);
    if (end > quint64(array.size() - width) || (array.size() - qsizetype(end)) % width != 0)
        return std::nullopt;
    qsizetype start = 0;
    for (qsizetype at = qsizetype(end); at < array.size(); at += width) {
        const quint64 stop = offsetAt(array, at, width);
        if (stop < quint64(start) || stop > end)
            return std::nullopt;
        members.append(array.sliced(start, qsizetype(stop) - start));
        start = aligned(qsizetype(stop), kVariantAlignment);
    }
    return members;
}

// A dictionary entry {s, X}: its key, and X (aligned for a variant).
std::optional<std::pair<QByteArrayView, QByteArrayView>> entryParts(QByteArrayView entry)
{
    const qsizetype width = offsetWidth(entry.size());
    if (entry.size() <= width)
        return std::nullopt;
    const qsizetype valueEnd = entry.size() - width;
    const quint64 keyEnd = offsetAt(entry, valueEnd, width);
    if (keyEnd == 0 || keyEnd > quint64(valueEnd) || entry[qsizetype(keyEnd) - 1] != '\0')
        return std::nullopt;
    const QByteArrayView key = entry.first(qsizetype(keyEnd) - 1);
    const qsizetype valueStart = aligned(qsizetype(keyEnd), kVariantAlignment);
    if (key.contains('\0') || valueStart > valueEnd)
        return std::nullopt;
    return std::pair(key, entry.sliced(valueStart, valueEnd - valueStart));
}

// The number a variant of type "t" or "u" holds.
std::optional<quint64> number(QByteArrayView variant)
{
    const qsizetype nul = variant.lastIndexOf('\0');
    const QByteArrayView type = nul < 0 ? QByteArrayView() : variant.sliced(nul + 1);
    if (type == "t" && nul == 8) {
        quint64 value;
        std::memcpy(&value, variant.data(), 8);
        return value;
    }
    if (type == "u" && nul == 4) {
        quint32 value;
        std::memcpy(&value, variant.data(), 4);
        return value;
    }
    return std::nullopt;
}

} // namespace

QList<UDisks2Mount> parseUDisks2Mounts(const QByteArray &contents)
{
    QList<UDisks2Mount> mounts;
    const std::optional<QList<QByteArrayView>> entries = arrayMembers(contents);
    if (!entries)
        return {};
    for (const QByteArrayView entry : *entries) {
        const auto parts = entryParts(entry);
        const auto properties = parts ? arrayMembers(parts->second) : std::nullopt;
        if (!properties)
            return {};
        std::optional<quint64> device;
        std::optional<quint64> uid;
        for (const QByteArrayView property : *properties) {
            const auto keyed = entryParts(property);
            if (!keyed)
                return {};
            if (keyed->first == "block-device")
                device = number(keyed->second);
            else if (keyed->first == "mounted-by-uid")
                uid = number(keyed->second);
        }
        if (device && uid && *uid <= quint32(-2))
            mounts.append(UDisks2Mount{parts->first.toByteArray(), *device, uid_t(*uid)});
    }
    return mounts;
}

QList<UDisks2Mount> readUDisks2Mounts(const QStringList &paths)
{
    QList<UDisks2Mount> mounts;
    for (const QString &path : paths) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly) && file.size() <= kMaxRecordBytes)
            mounts += parseUDisks2Mounts(file.read(kMaxRecordBytes));
    }
    return mounts;
}
