#include "history/views/HistoryPresentation.h"

#include "cleaning/FileType.h"
#include "localization/Localization.h"
#include "toolkit/Presentation.h"

#include <QRegularExpression>

namespace HistoryKinds {

namespace {

struct Fallback
{
    const char *word;
    const char *symbol;
    ui::NamedColor color;
};

// Tested in this order on the lower-cased string.
constexpr Fallback fallbacks[] = {
    {"temp", "clock", ui::NamedColor::blue},
    {"cache", "flame", ui::NamedColor::orange},
    {"trash", "trash", ui::NamedColor::red},
    {"thumb", "photo", ui::NamedColor::green},
};

const Fallback *fallbackFor(const QString &raw)
{
    const QString lower = raw.toLower();
    for (const Fallback &fallback : fallbacks) {
        if (lower.contains(QLatin1String(fallback.word)))
            return &fallback;
    }
    return nullptr;
}

} // namespace

QString iconName(const QString &raw)
{
    if (const std::optional<FileType> type = FileTypes::fromRawValue(raw))
        return FileTypes::iconName(*type);
    const Fallback *fallback = fallbackFor(raw);
    return QLatin1String(fallback ? fallback->symbol : "doc");
}

ui::NamedColor color(const QString &raw)
{
    if (const std::optional<FileType> type = FileTypes::fromRawValue(raw))
        return FileTypes::color(*type);
    const Fallback *fallback = fallbackFor(raw);
    return fallback ? fallback->color : ui::NamedColor::gray;
}

QString displayName(const QString &raw)
{
    if (const std::optional<FileType> type = FileTypes::fromRawValue(raw))
        return FileTypes::displayName(*type);
    return raw;
}

} // namespace HistoryKinds

namespace historyText {

QString cleanedCount(qint64 count)
{
    return format(localized(QStringLiteral("cleaned_file_count")), count);
}

QString freed(qint64 bytes)
{
    return localized(QStringLiteral("total_freed")) + QLatin1Char(' ') + presentation::byteCountText(bytes);
}

std::optional<QString> kinds(const QStringList &fileTypes)
{
    if (fileTypes.isEmpty())
        return std::nullopt;
    QStringList names;
    names.reserve(fileTypes.size());
    for (const QString &raw : fileTypes)
        names << HistoryKinds::displayName(raw);
    // The interface language's list separator ("、" in Chinese, ", " in English).
    return format(localized(QStringLiteral("clean_types")), names.join(localized(QStringLiteral("list_separator"))));
}

QString filesCardValue(qint64 count)
{
    // Filled where the text puts the count: cutting the placeholder out and
    // putting the count first would leave its spaces behind, and put the count
    // before the words in languages that say it later.
    static const QRegularExpression countPlaceholder(QStringLiteral("%(?:\\d+\\$)?(?:ll|l)?[diu]"));
    const QString text = localized(QStringLiteral("files_count"));
    if (text.contains(countPlaceholder))
        return format(text, count);
    return QString::number(count) + QLatin1Char(' ') + text;
}

} // namespace historyText
