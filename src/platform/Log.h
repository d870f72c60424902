#pragma once

#include <QString>

// Diagnostics: plain UTF-8 lines on standard output, flushed at once, whole
// lines even when several threads log together.
void logLine(const QString &line);
