#pragma once

#include "localization/AppLanguage.h"

#include <QString>
#include <Qt>

class LanguageManager;
class QObject;

// Right-to-left interface languages, and the texts that keep their own order
// inside them.
namespace bidi {

// Whether the string table of this code is written right to left.
bool isRightToLeftTable(const QString &code);

// The direction the text of an interface language runs in: right to left
// for Arabic (also when "system" stands for it), left to right otherwise.
Qt::LayoutDirection direction(AppLanguage language);
// The direction of the language every lookup uses now.
Qt::LayoutDirection interfaceDirection();

// Sets the application's layout direction to the manager's language now and
// at every change of language, before the change is announced (so views built
// on the announcement are already mirrored). Stops when `context` goes.
void followLanguage(LanguageManager &manager, QObject *context);

// A path, size or count set into the interface's text. In a right-to-left
// context it is wrapped in a left-to-right isolate (U+2066 ... U+2069): the
// bidi algorithm lays it out on its own, left to right, and it cannot reorder
// the text around it ("6 KB", not "KB 6"). Otherwise it is returned as it is.
QString leftToRight(const QString &text, Qt::LayoutDirection context);
QString leftToRight(const QString &text);   // in the interface's direction
// A name (of a file, a device, a pattern): isolated the same way, but in the
// direction of its own first strong letter (U+2068 ... U+2069), so an Arabic
// name still reads right to left and ".DS_Store" left to right.
QString name(const QString &text, Qt::LayoutDirection context);
QString name(const QString &text);

// Whether the text is isolated as a whole already (by `leftToRight` or `name`).
bool isIsolated(const QString &text);

// The text of a right-to-left table with every name it writes out in Latin
// letters and signs (".DS_Store", "*.docx", "report*", "$RECYCLE.BIN",
// "/usr/bin/pkexec", "._") put in a left-to-right isolate, so a translator
// needs no marks: a word of ASCII letters, digits and signs that holds a sign
// (brackets, quotes and a sentence's closing mark stay outside; a placeholder
// such as "%1$@" is left for the format to fill). Plain words ("Windows") and
// what is isolated already stay as they are.
QString isolateWrittenNames(const QString &text);

} // namespace bidi
