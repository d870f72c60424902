#pragma once

#include <QString>
#include <QtGlobal>

// A size the way file managers show it: decimal units, "Zero KB", "1 byte",
// "532 bytes", "12 KB", "1.2 MB", "3.46 GB". Digits are plain ASCII with "."
// as the decimal point whatever the locale.
QString formatByteCount(qint64 bytes);

// The same, in kilobytes, megabytes and gigabytes only: no byte unit (anything
// below a kilobyte shows as "1 KB"), no terabytes ("2000 GB"), a negative
// count as zero. Every size the windows show uses this.
QString formatByteCountKBToGB(qint64 bytes);

// A size as the windows show it: kilobytes to gigabytes as above, zero as the
// interface language's word ("zero_kb"), and in a right-to-left interface
// isolated so that it reads "6 KB" inside any sentence.
QString displayedByteCount(qint64 bytes);
