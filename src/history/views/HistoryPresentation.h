#pragma once

// What the history window shows, decided without widgets: the symbol, colour
// and name of a stored kind string (a string no kind has any more still shows,
// with a fallback symbol and colour and its own text), and the texts of a
// record's row and cards. Every text is looked up anew, so it follows the
// interface language.

#include "toolkit/Toolkit.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace HistoryKinds {

// A kind's own symbol, colour and name when the string is its raw value
// (exact, case-sensitive); otherwise by words in the string, any case:
// "temp" clock and blue, "cache" flame and orange, "trash" trash and red,
// "thumb" photo and green, else doc and gray; the name is the string itself.
QString iconName(const QString &raw);
ui::NamedColor color(const QString &raw);
QString displayName(const QString &raw);

} // namespace HistoryKinds

namespace historyText {

// "cleaned_file_count" filled with the count.
QString cleanedCount(qint64 count);
// "total_freed", a space and the size.
QString freed(qint64 bytes);
// "clean_types" filled with the kinds' names in stored order, joined by "、";
// nothing for a record without kinds.
std::optional<QString> kinds(const QStringList &fileTypes);
// The files card's value: "files_count" filled with the count, or, for a text
// without a count in it, the count, a space and the text.
QString filesCardValue(qint64 count);

} // namespace historyText
