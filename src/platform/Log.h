#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Diagnostics: plain UTF-8 lines on standard output, flushed at once, whole
// lines even when several threads log together. Control characters (C0, DEL,
// C1, the Unicode line and paragraph separators) are written as \xNN or
// \uNNNN, so no name can end a line early, forge the next one or drive a
// terminal.
void logLine(const QString &line);

// How the diagnostics print a flag: "true" or "false".
QString boolText(bool value);
// A path's bytes as the diagnostics show them (invalid UTF-8 replaced).
QString pathText(const QByteArray &path);
// The system's English text for an errno value, whatever the locale.
QString errorText(int errorNumber);

// The same escaping for text that is written as bytes (our tools' messages):
// C0 and DEL as \xNN, C1 and the line and paragraph separators in their UTF-8
// form as \uNNNN; every other byte as it is.
QByteArray escapedControlBytes(QByteArrayView bytes);
QString escapedControls(const QString &text);
