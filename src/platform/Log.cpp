#include "platform/Log.h"

#include <cstdio>
#include <cstring>
#include <mutex>

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

} // namespace

QByteArray escapedControlBytes(QByteArrayView bytes)
{
    QByteArray out;
    out.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        // U+0080..U+009F are C2 80..C2 9F; U+2028 and U+2029 are E2 80 A8 and E2 80 A9.
        const auto next = [&](qsizetype at) { return at < bytes.size() ? static_cast<unsigned char>(bytes[at]) : 0; };
        if (byte == 0xc2 && next(i + 1) >= 0x80 && next(i + 1) <= 0x9f) {
            out += escapeOf(next(i + 1));
            ++i;
        } else if (byte == 0xe2 && next(i + 1) == 0x80 && (next(i + 2) == 0xa8 || next(i + 2) == 0xa9)) {
            out += escapeOf(next(i + 2) == 0xa8 ? 0x2028 : 0x2029);
            i += 2;
        } else if (byte < 0x20 || byte == 0x7f) {   // bytes from 0x80 on belong to longer sequences
            out += escapeOf(byte);
        } else {
            out += char(byte);
        }
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

void logLine(const QString &line)
{
    try {
        QByteArray bytes = escapedControls(line).toUtf8();
        bytes.append('\n');
        static std::mutex mutex;
        // One write per line under the lock keeps lines from different threads whole.
        std::lock_guard lock(mutex);
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
        std::fflush(stdout);
    } catch (...) {
        // Logging must never take the app down (e.g. out of memory converting the line).
    }
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
