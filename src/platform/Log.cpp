#include "platform/Log.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <cstring>
#include <mutex>
#include <utility>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool isControl(char32_t c)
{
    return c < 0x20 || c == 0x7f || (c >= 0x80 && c <= 0x9f) || c == 0x2028 || c == 0x2029;
}

QByteArray escapeOf(char32_t c)
{
    return c < 0x80 ? "\\x" + QByteArray::number(uint(c), 16).rightJustified(2, '0')
                    : "\\u" + QByteArray::number(uint(c), 16).rightJustified(4, '0');
}

// Most text holds nothing to escape: no C0 byte, no DEL and no lead byte of
// C1 (C2) or of the separators (E2).
bool isPlain(QByteArrayView bytes)
{
    return std::none_of(bytes.begin(), bytes.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f || byte == 0xc2 || byte == 0xe2;
    });
}

// The length of the valid UTF-8 sequence at `p` (strict: no overlong form, no
// surrogate, nothing above U+10FFFF); 0 when none starts there.
int utf8SequenceLength(const unsigned char *p, const unsigned char *end)
{
    const unsigned char c = *p;
    if (c < 0x80)
        return 1;
    int length = 0;
    unsigned char low = 0x80, high = 0xbf;   // the second byte's range
    if (c >= 0xc2 && c <= 0xdf) {
        length = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        length = 3;
        low = c == 0xe0 ? 0xa0 : 0x80;
        high = c == 0xed ? 0x9f : 0xbf;
    } else if (c >= 0xf0 && c <= 0xf4) {
        length = 4;
        low = c == 0xf0 ? 0x90 : 0x80;
        high = c == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (end - p < length || p[1] < low || p[1] > high)
        return 0;
    for (int i = 2; i < length; ++i) {
        if (p[i] < 0x80 || p[i] > 0xbf)
            return 0;
    }
    return length;
}

bool isValidUtf8(QByteArrayView bytes)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const auto *end = p + bytes.size();
    while (p < end) {
        const int length = utf8SequenceLength(p, end);
        if (length == 0)
            return false;
        p += length;
    }
    return true;
}

// Nothing to escape: no C0 byte, no DEL, and any byte from 0x80 on part of
// valid UTF-8 that is neither C1 nor a separator (as isPlain, no sequence
// that starts C2 or E2). One pass: every path of a clean is asked.
bool isPlainUtf8(QByteArrayView bytes)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const auto *end = p + bytes.size();
    // Printable ASCII (nearly every name) eight bytes at a time, the last
    // eight too (read again in part): no byte from 0x80 on, none below
    // 0x20, no DEL. Anything else is read byte by byte below.
    const auto printableAscii = [](const unsigned char *at) {
        constexpr quint64 kOnes = 0x0101010101010101ull;
        constexpr quint64 kHighs = 0x8080808080808080ull;
        quint64 word;
        std::memcpy(&word, at, sizeof word);
        const quint64 belowSpace = (word - 0x20 * kOnes) & ~word;   // exact for bytes below 0x80
        const quint64 del = ((word ^ 0x7f * kOnes) - kOnes) & ~(word ^ 0x7f * kOnes);
        return ((word | belowSpace | del) & kHighs) == 0;
    };
    if (end - p >= 8) {
        while (end - p >= 8 && printableAscii(p))
            p += 8;
        if (end - p < 8 && (p == end || printableAscii(end - 8)))
            return true;
    }
    while (p < end) {
        const unsigned char byte = *p;
        if (byte < 0x80) {
            if (byte < 0x20 || byte == 0x7f)
                return false;
            ++p;
            continue;
        }
        if (byte == 0xc2 || byte == 0xe2)
            return false;
        const int length = utf8SequenceLength(p, end);
        if (length == 0)
            return false;
        p += length;
    }
    return true;
}

} // namespace

QByteArray escapedControlBytes(QByteArrayView bytes)
{
    if (isPlainUtf8(bytes))
        return bytes.toByteArray();
    QByteArray out;
    out.reserve(bytes.size());
    const auto *begin = reinterpret_cast<const unsigned char *>(bytes.data());
    const auto *end = begin + bytes.size();
    for (const unsigned char *p = begin; p < end;) {
        const unsigned char byte = *p;
        const int length = utf8SequenceLength(p, end);
        if (length == 0) {
            // A byte of no valid sequence: 0x80..0x9F are C1 controls to an
            // 8-bit terminal (0x9B opens an escape sequence).
            if (byte <= 0x9f)
                out += "\\x" + QByteArray::number(uint(byte), 16);
            else
                out += char(byte);
            ++p;
            continue;
        }
        // U+0080..U+009F are C2 80..C2 9F; U+2028 and U+2029 are E2 80 A8 and E2 80 A9.
        if (length == 1 && (byte < 0x20 || byte == 0x7f))
            out += escapeOf(byte);
        else if (length == 2 && byte == 0xc2 && p[1] <= 0x9f)
            out += escapeOf(p[1]);
        else if (length == 3 && byte == 0xe2 && p[1] == 0x80 && (p[2] == 0xa8 || p[2] == 0xa9))
            out += escapeOf(p[2] == 0xa8 ? 0x2028 : 0x2029);
        else
            out.append(reinterpret_cast<const char *>(p), length);
        p += length;
    }
    return out;
}

QString escapedControls(const QString &text)
{
    const auto clean = [](const QString &t) {
        for (const QChar c : t) {
            if (isControl(c.unicode()))
                return false;
        }
        return true;
    };
    if (clean(text))
        return text;
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        if (isControl(c.unicode()))
            out += QString::fromLatin1(escapeOf(c.unicode()));
        else
            out += c;
    }
    return out;
}

namespace {

// Appends the pieces and a newline: one copy each, the room growing as
// QByteArray's own append grows it. A clean or a scan appends millions.
void appendLine(QByteArray &to, std::initializer_list<QByteArrayView> pieces)
{
    qsizetype size = 1;
    for (QByteArrayView piece : pieces)
        size += piece.size();
    const qsizetype at = to.size();
    if (to.capacity() - at < size)
        to.reserve(std::max(at + size, 2 * to.capacity()));
    to.resize(at + size);
    char *out = to.data() + at;
    for (QByteArrayView piece : pieces) {
        if (!piece.isEmpty())
            std::memcpy(out, piece.data(), size_t(piece.size()));
        out += piece.size();
    }
    *out = '\n';
}

// The lines gathered for open steps, written as one block. A burst ends at
// whichever limit comes first. Once the process exits, every line goes out
// at once.
class LogBuffer
{
public:
    static constexpr qsizetype kBurstLines = 1024;
    static constexpr qsizetype kBurstBytes = 64 * 1024;

    // One line: the parts, then a newline.
    void append(std::initializer_list<QByteArrayView> parts, bool gather)
    {
        std::lock_guard lock(m_mutex);
        appendLine(m_pending, parts);
        ++m_lines;
        if (!gather || m_exiting || m_lines >= kBurstLines || m_pending.size() >= kBurstBytes)
            writeLocked();
    }

    // Whole lines, already formatted.
    void appendLines(QByteArrayView lines, bool gather)
    {
        std::lock_guard lock(m_mutex);
        if (lines.size() >= kBurstBytes / 2) {
            // A burst of its own: written as it is, after what gathered.
            writeLocked();
            write(lines);
            return;
        }
        m_pending.append(lines);
        for (const char *at = lines.data(), *end = at + lines.size();
             (at = static_cast<const char *>(std::memchr(at, '\n', size_t(end - at)))) != nullptr; ++at)
            ++m_lines;
        if (!gather || m_exiting || m_lines >= kBurstLines || m_pending.size() >= kBurstBytes)
            writeLocked();
    }

    void flush(bool exiting = false)
    {
        std::lock_guard lock(m_mutex);
        m_exiting = m_exiting || exiting;
        writeLocked();
    }

private:
    void writeLocked()
    {
        if (m_pending.isEmpty())
            return;
        write(m_pending);
        m_pending.resize(0);   // keeps its room for the next burst
        m_lines = 0;
    }

    // One write of the whole burst (the C library would split it in two),
    // after anything written through stdio meanwhile.
    static void write(QByteArrayView bytes)
    {
        std::fflush(stdout);
        const char *at = bytes.data();
        for (qsizetype left = bytes.size(); left > 0;) {
            const ssize_t n = ::write(STDOUT_FILENO, at, size_t(left));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            at += n;
            left -= n;
        }
    }

    std::mutex m_mutex;
    QByteArray m_pending;
    qsizetype m_lines = 0;
    bool m_exiting = false;
};

LogBuffer &logBuffer()
{
    // Never destroyed, so that statics that log while the process exits still
    // find it; written out when exit() begins.
    static LogBuffer *const buffer = [] {
        auto *made = new LogBuffer;
        // A pipe gets room for many bursts (a scan writes hundreds of MB of
        // lines): with the kernel's 64 KiB each burst waits for the reader to
        // wake. Nothing changes for a terminal or a file, or where the
        // system refuses.
        ::fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1 << 20);
        std::atexit([] { logBuffer().flush(true); });
        return made;
    }();
    return *buffer;
}

thread_local int t_openSteps = 0;
thread_local LogCapture *t_capture = nullptr;

} // namespace

struct LogCaptureAccess
{
    static QByteArray &text(LogCapture &capture) { return capture.m_text; }
};

namespace {

// One line to the capture open on this thread, else to the log.
void emitLine(std::initializer_list<QByteArrayView> parts)
{
    if (t_capture) {
        appendLine(LogCaptureAccess::text(*t_capture), parts);
        return;
    }
    logBuffer().append(parts, t_openSteps > 0);
}

} // namespace

LogCapture::LogCapture() : m_outer(t_capture)
{
    t_capture = this;
}

LogCapture::~LogCapture()
{
    finish();
}

QByteArray LogCapture::finish()
{
    if (m_open && t_capture == this)
        t_capture = m_outer;
    m_open = false;
    return std::exchange(m_text, QByteArray());
}

void logCaptured(QByteArrayView lines)
{
    if (lines.isEmpty())
        return;
    try {
        // Long lines are written at once, without a copy (appendLines).
        if (t_capture)
            LogCaptureAccess::text(*t_capture).append(lines);
        else
            logBuffer().appendLines(lines, t_openSteps > 0);
    } catch (...) {
        // As logLine: never take the app down.
    }
}

void logBurst(QByteArray &lines, qsizetype atLeast)
{
    if (lines.size() < atLeast || lines.isEmpty())
        return;
    logCaptured(lines);
    lines.resize(0);
}

void logLine(const QString &line)
{
    try {
        emitLine({escapedControls(line).toUtf8()});
    } catch (...) {
        // Logging must never take the app down (e.g. out of memory converting the line).
    }
}

void logUtf8(QByteArrayView line)
{
    if (!isValidUtf8(line)) {
        logLine(QString::fromUtf8(line));
        return;
    }
    try {
        if (isPlain(line))
            emitLine({line});
        else
            emitLine({escapedControlBytes(line)});
    } catch (...) {
        // As logLine: never take the app down.
    }
}

void logUtf8(const char *text, QByteArrayView path)
{
    const QByteArrayView head(text);
    // Each valid on its own, so no sequence spans the two.
    if (isPlain(head) && isPlain(path) && isValidUtf8(head) && isValidUtf8(path)) {
        try {
            emitLine({head, path});
        } catch (...) {
            // As logLine: never take the app down.
        }
        return;
    }
    QByteArray line;
    line.reserve(head.size() + path.size());
    line.append(head);
    line.append(path);
    logUtf8(line);
}

void appendLogLine(QByteArray &lines, const char *text, QByteArrayView path)
{
    const QByteArrayView head(text);
    if (isPlain(head) && isPlain(path) && isValidUtf8(head) && isValidUtf8(path)) {
        appendLine(lines, {head, path});
        return;
    }
    const QByteArray line = head.toByteArray() + path.toByteArray();
    if (!isValidUtf8(line))
        lines.append(escapedControls(QString::fromUtf8(line)).toUtf8());
    else
        lines.append(isPlain(line) ? line : escapedControlBytes(line));
    lines.append('\n');
}

bool isLoggedAsItIs(QByteArrayView bytes)
{
    return isPlainUtf8(bytes);
}

QByteArray loggedText(const QString &text)
{
    return escapedControls(text).toUtf8();
}

QByteArray loggedPathText(const QByteArray &path)
{
    return isPlainUtf8(path) ? path : loggedText(pathText(path));
}

void logPieces(std::initializer_list<QByteArrayView> pieces)
{
    try {
        emitLine(pieces);
    } catch (...) {
        // As logLine: never take the app down.
    }
}

void appendLogPieces(QByteArray &lines, std::initializer_list<QByteArrayView> pieces)
{
    appendLine(lines, pieces);
}

void flushLog()
{
    logBuffer().flush();
}

LogStep::LogStep()
{
    ++t_openSteps;
}

LogStep::~LogStep()
{
    if (--t_openSteps == 0)
        flushLog();
}

QString boolText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

QString pathText(const QByteArray &path)
{
    return QString::fromUtf8(path);
}

QString errorText(int errorNumber)
{
    // The C library's own English words, whatever the locale: a diagnostic
    // never changes its language with the user's settings.
    if (const char *description = ::strerrordesc_np(errorNumber))
        return QString::fromUtf8(description);
    return QStringLiteral("error %1").arg(errorNumber);
}
