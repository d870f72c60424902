#pragma once

// What the view benchmarks share: memory figures, medians and a photo
// stick's worth of junk.

#include "cleaning/FileType.h"

#include <QFile>
#include <QList>
#include <QString>

#include <algorithm>

namespace bench {

// kB from /proc/self/status ("VmRSS:", "VmHWM:").
inline qint64 statusKB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qsizetype(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

inline double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The i-th junk file of a volume: mostly AppleDouble files and .DS_Store in
// nested photo album folders, some thumbnails, temp and log files.
struct Junk
{
    FileType kind;
    FileItem item;
};

inline Junk photoStickJunk(const QString &mountRoot, int i)
{
    const QString folder = mountRoot + QStringLiteral("/Photos/%1/Album %2/").arg(2010 + i % 14).arg(i / 250);
    FileType kind = FileType::systemLogs;
    QString name = QStringLiteral("install%1.log").arg(i);
    if (i % 10 < 5) {
        kind = FileType::appleDouble;
        name = QStringLiteral("._IMG_%1.JPG").arg(i, 5, 10, QLatin1Char('0'));
    } else if (i % 10 < 7) {
        kind = FileType::dsStore;
        name = QStringLiteral(".DS_Store");
    } else if (i % 10 == 7) {
        kind = FileType::thumbsDb;
        name = QStringLiteral("Thumbs.db");
    } else if (i % 10 == 8) {
        kind = FileType::temporaryFiles;
        name = QStringLiteral("~$report%1.tmp").arg(i);
    }
    return {kind, FileItem::fromPath(folder + name, 4096 + (i * 7919LL) % 200000)};
}

} // namespace bench
