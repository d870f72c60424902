#include "localization/ByteCountFormat.h"

#include "localization/Bidi.h"
#include "localization/Localization.h"

#include <algorithm>
#include <iterator>

namespace {

struct Unit
{
    const char *name;
    quint64 size;
    int decimals;
};

constexpr Unit kUnits[] = {
    {"KB", 1000ULL, 0},
    {"MB", 1000ULL * 1000, 1},
    {"GB", 1000ULL * 1000 * 1000, 2},
    {"TB", 1000ULL * 1000 * 1000 * 1000, 2},
    {"PB", 1000ULL * 1000 * 1000 * 1000 * 1000, 2},
    {"EB", 1000ULL * 1000 * 1000 * 1000 * 1000 * 1000, 2},
};

QString formatMagnitude(quint64 bytes, size_t unitCount = std::size(kUnits))
{
    if (bytes == 0)
        return QStringLiteral("Zero KB");
    if (bytes < 1000) {
        if (unitCount < std::size(kUnits))
            return QStringLiteral("1 KB");   // no byte unit: anything below a kilobyte shows as one
        if (bytes == 1)
            return QStringLiteral("1 byte");
        return QStringLiteral("%1 bytes").arg(bytes);
    }

    for (size_t u = 0; u < unitCount; ++u) {
        const Unit &unit = kUnits[u];
        quint64 scale = 1;
        for (int i = 0; i < unit.decimals; ++i)
            scale *= 10;
        // Round half up in integers, so 999.95 MB becomes "1 GB" and not "1000 MB".
        const quint64 step = unit.size / scale;
        const quint64 scaled = bytes / step + (bytes % step >= step / 2 ? 1 : 0);
        const bool last = u + 1 == unitCount;
        if (scaled >= 1000 * scale && !last)
            continue;
        QString text = QString::number(scaled / scale);
        quint64 fraction = scaled % scale;
        int digits = unit.decimals;
        while (digits > 0 && fraction % 10 == 0) {   // "1.5 GB", not "1.50 GB"
            fraction /= 10;
            --digits;
        }
        if (digits > 0)
            text += u'.' + QString::number(fraction).rightJustified(digits, u'0');
        return text + u' ' + QLatin1String(unit.name);
    }
    return QString();
}

} // namespace

QString formatByteCount(qint64 bytes)
{
    if (bytes < 0)
        return u'-' + formatMagnitude(quint64(0) - quint64(bytes));
    return formatMagnitude(quint64(bytes));
}

QString formatByteCountKBToGB(qint64 bytes)
{
    return formatMagnitude(quint64(std::max<qint64>(0, bytes)), 3);
}

QString displayedByteCount(qint64 bytes)
{
    // Digits and unit names read the same in every language; the zero is a word.
    return bidi::leftToRight(bytes <= 0 ? localized(QStringLiteral("zero_kb")) : formatByteCountKBToGB(bytes));
}
