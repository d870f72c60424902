#pragma once

#include <QByteArray>
#include <QString>

// Diagnostics: plain UTF-8 lines on standard output, flushed at once, whole
// lines even when several threads log together.
void logLine(const QString &line);

// How the diagnostics print a flag: "true" or "false".
QString boolText(bool value);
// A path's bytes as the diagnostics show them (invalid UTF-8 replaced).
QString pathText(const QByteArray &path);
// The system's text for an errno value.
QString errorText(int errorNumber);
