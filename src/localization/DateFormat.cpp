#include "localization/DateFormat.h"

#include <QList>

#include <algorithm>
#include <functional>

namespace {

// A Qt date/time pattern cut into fields ("dddd", "MMM", "t") and the literal
// text between them (quoted parts kept as written).
struct Token
{
    QString text;
    bool field = false;
};

bool isFieldLetter(QChar c)
{
    static const QString letters = QStringLiteral("dMyhHmszaAptB");
    return letters.contains(c);
}

QList<Token> tokenize(const QString &pattern)
{
    QList<Token> tokens;
    const auto literal = [&tokens](QChar c) {
        if (tokens.isEmpty() || tokens.last().field)
            tokens.append({QString(), false});
        tokens.last().text += c;
    };
    for (qsizetype i = 0; i < pattern.size();) {
        const QChar c = pattern.at(i);
        if (c == u'\'') {
            // A quoted literal runs to the next lone quote; '' is a quote.
            qsizetype end = i + 1;
            while (end < pattern.size() && pattern.at(end) != u'\'')
                ++end;
            for (qsizetype k = i; k <= std::min(end, pattern.size() - 1); ++k)
                literal(pattern.at(k));
            i = end + 1;
        } else if (isFieldLetter(c)) {
            qsizetype end = i;
            while (end < pattern.size() && pattern.at(end) == c)
                ++end;
            // "AP" and "ap" are one field.
            if ((c == u'A' || c == u'a') && end < pattern.size() && pattern.at(end).toLower() == u'p')
                ++end;
            tokens.append({pattern.mid(i, end - i), true});
            i = end;
        } else {
            literal(c);
            ++i;
        }
    }
    return tokens;
}

// Literal text that only joins fields (", ", " (", "] "), as opposed to words
// and units such as "年" or "'de'".
bool isSeparator(const Token &token)
{
    if (token.field)
        return false;
    for (QChar c : token.text) {
        if (c.isLetter())
            return false;
    }
    return true;
}

// Drops the fields `drop` says to drop, with the separators that tied them to
// the rest of the pattern.
QString withoutFields(const QString &pattern, const std::function<bool(const QString &)> &drop)
{
    QList<Token> tokens = tokenize(pattern);
    for (qsizetype i = 0; i < tokens.size();) {
        if (!tokens[i].field || !drop(tokens[i].text)) {
            ++i;
            continue;
        }
        const auto isField = [](const Token &t) { return t.field; };
        const bool fieldBefore = std::any_of(tokens.cbegin(), tokens.cbegin() + i, isField);
        const bool fieldAfter = std::any_of(tokens.cbegin() + i + 1, tokens.cend(), isField);
        qsizetype first = i;
        qsizetype last = i;
        // The separator after it either joins it to the next field or closes
        // it ("]"); the one before goes when it joined it to the previous
        // field (nothing follows) or opened it ("[" with nothing before).
        if (last + 1 < tokens.size() && isSeparator(tokens[last + 1]))
            ++last;
        if ((!fieldAfter || !fieldBefore) && first > 0 && isSeparator(tokens[first - 1]))
            --first;
        tokens.remove(first, last - first + 1);
        i = first;
    }
    QString result;
    for (const Token &token : std::as_const(tokens))
        result += token.text;
    return result.trimmed();
}

bool isWeekday(const QString &field)
{
    return field.startsWith(u'd') && field.size() >= 3;
}

bool isTimeZone(const QString &field)
{
    return field.startsWith(u't');
}

QString datePattern(const QLocale &locale, DateStyle style)
{
    switch (style) {
    case DateStyle::none: return {};
    case DateStyle::shortStyle: return locale.dateFormat(QLocale::ShortFormat);
    case DateStyle::mediumStyle: {
        QString pattern = withoutFields(locale.dateFormat(QLocale::LongFormat), isWeekday);
        // Abbreviated month names: "MMMM" becomes "MMM" outside quotes.
        QString shortened;
        for (const Token &token : tokenize(pattern))
            shortened += token.field && token.text == QLatin1String("MMMM") ? QStringLiteral("MMM") : token.text;
        return shortened;
    }
    case DateStyle::longStyle: return withoutFields(locale.dateFormat(QLocale::LongFormat), isWeekday);
    case DateStyle::fullStyle: return locale.dateFormat(QLocale::LongFormat);
    }
    return {};
}

// Some locales name the time of day with "B" ("下午3:04"), which Qt prints as
// a letter: the AM/PM field stands in for it.
QString withDayPeriod(const QString &pattern)
{
    QString result;
    for (const Token &token : tokenize(pattern))
        result += token.field && token.text.startsWith(u'B') ? QStringLiteral("AP") : token.text;
    return result;
}

QString timePattern(const QLocale &locale, DateStyle style)
{
    switch (style) {
    case DateStyle::none: return {};
    case DateStyle::shortStyle: return withDayPeriod(locale.timeFormat(QLocale::ShortFormat));
    case DateStyle::mediumStyle: return withDayPeriod(withoutFields(locale.timeFormat(QLocale::LongFormat), isTimeZone));
    case DateStyle::longStyle:
    case DateStyle::fullStyle: return withDayPeriod(locale.timeFormat(QLocale::LongFormat));
    }
    return {};
}

} // namespace

DateFormatter::DateFormatter(DateStyle dateStyle, DateStyle timeStyle, const QLocale &locale)
    : m_dateStyle(dateStyle), m_timeStyle(timeStyle)
{
    setLocale(locale);
}

void DateFormatter::setLocale(const QLocale &locale)
{
    m_locale = locale;
    const QString date = datePattern(locale, m_dateStyle);
    const QString time = timePattern(locale, m_timeStyle);
    m_pattern = date.isEmpty() || time.isEmpty() ? date + time : date + u' ' + time;
}

QString DateFormatter::string(const QDateTime &time) const
{
    if (!time.isValid() || m_pattern.isEmpty())
        return {};
    return m_locale.toString(time.toLocalTime(), m_pattern);
}
