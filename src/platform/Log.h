#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <initializer_list>

// Diagnostics: plain UTF-8 lines on standard output, whole lines in the
// order they were logged even when several threads log together. Control
// characters (C0, DEL, C1, the Unicode line and paragraph separators) are
// written as \xNN or \uNNNN, so no name can end a line early, forge the next
// one or drive a terminal.
//
// A line is written at once, unless a LogStep is open on the logging thread:
// then the lines gather and go out together when the outermost step ends,
// when a burst of them has gathered, or when the process exits.
void logLine(const QString &line);

// The same for a line given as UTF-8 (a literal text and a path's bytes, as
// the scan writes them by the million): written as it is, without a round
// trip through UTF-16, unless it is not valid UTF-8; then it is written as
// logLine(QString::fromUtf8(line)) would write it.
void logUtf8(QByteArrayView line);
// logUtf8 of a text (UTF-8) followed by a path's bytes.
void logUtf8(const char *text, QByteArrayView path);

// Writes out whatever lines have gathered.
void flushLog();

// One step of work that logs many lines (a scan): its lines are written in
// bursts, not one write per line. Steps nest; they belong to their thread.
class LogStep
{
public:
    LogStep();
    ~LogStep();
    LogStep(const LogStep &) = delete;
    LogStep &operator=(const LogStep &) = delete;
};

// Holds back the lines its thread logs while it is open, formatted as they
// would have gone out, so they can go out later in their place among lines
// logged elsewhere meanwhile (a scan's walk, held while the search that runs
// beside it and comes first in the log is still going). A capture opened
// inside another holds its lines apart until it finishes.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    // How much was held so far: whole lines, each ending in a newline.
    qsizetype size() const { return m_text.size(); }
    // Stops holding this thread's lines and hands over what was held.
    QByteArray finish();

private:
    friend struct LogCaptureAccess;
    QByteArray m_text;
    LogCapture *m_outer = nullptr;
    bool m_open = true;
};

// Appends to `lines` the line logUtf8(text, path) would write, with its
// newline, for writing later with logCaptured (many lines, one write).
void appendLogLine(QByteArray &lines, const char *text, QByteArrayView path = {});

// Writes lines held by a capture (or a part of them made of whole lines) as
// if they were logged now.
void logCaptured(QByteArrayView lines);
// Lines gathered with appendLogLine/appendLogPieces, written as logCaptured
// writes them once they come to `atLeast` bytes (1: whatever there is), and
// taken out of `lines`, whose room is kept for more.
void logBurst(QByteArray &lines, qsizetype atLeast = 64 * 1024);

// Lines made of pieces, each already in the form logLine writes it: what
// logLine(a + b + ...) writes is the pieces of a, b, ... one after the other,
// since it escapes character by character. A clean's lines per item are
// made so: each item's path in its logged form once, the literal texts as
// they are (UTF-8 without control characters), written without a round trip
// through UTF-16.
//
// A text as logLine writes it within a line.
QByteArray loggedText(const QString &text);
// A path's bytes as a line shows them, read as pathText() reads them
// (loggedFileName in FileNames.h reads them as people read file names).
// Plain UTF-8 (most paths) reads alike both ways and comes back as it is,
// without a copy.
QByteArray loggedPathText(const QByteArray &path);
// Whether a line shows these bytes as they are: valid UTF-8 with no
// character to escape. Two such texts joined are such a text too, so a line
// made of pieces already known to be (a folder's path, a fixed text) asks
// this only of the rest.
bool isLoggedAsItIs(QByteArrayView bytes);
// A line of such pieces: logged, or appended to `lines` with its newline
// for logCaptured.
void logPieces(std::initializer_list<QByteArrayView> pieces);
void appendLogPieces(QByteArray &lines, std::initializer_list<QByteArrayView> pieces);

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
