#pragma once

#include <QHash>
#include <QString>

// Reader of ".strings" string tables: `"key" = "value";` entries with C and
// line comments. Values understand \" \\ \n \t \r \0 and \Uxxxx escapes. A line
// that cannot be read is reported on standard output with the file name and
// line number and skipped; the rest of the file still loads.
struct StringsFileResult
{
    QHash<QString, QString> entries;
    int errorCount = 0;
};

StringsFileResult parseStringsFile(const QByteArray &contents, const QString &fileNameForMessages);
StringsFileResult loadStringsFile(const QString &path);
