#include "platform/Log.h"

#include <cstdio>
#include <cstring>
#include <mutex>

void logLine(const QString &line)
{
    try {
        QByteArray bytes = line.toUtf8();
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
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}
