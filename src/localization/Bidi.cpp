#include "localization/Bidi.h"

#include "localization/LanguageManager.h"
#include "localization/Localization.h"

#include <QGuiApplication>

#include <algorithm>

namespace bidi {

namespace {

constexpr QChar kLeftToRightIsolate(0x2066);
constexpr QChar kFirstStrongIsolate(0x2068);
constexpr QChar kPopIsolate(0x2069);

QString isolated(const QString &text, QChar opening, Qt::LayoutDirection context)
{
    if (context != Qt::RightToLeft || text.isEmpty())
        return text;
    return opening + text + kPopIsolate;
}

// Characters of a written name: ASCII letters, digits and signs, but not the
// brackets and quotes around it, which belong to the sentence (and mirror in it).
bool isNameCharacter(QChar c)
{
    if (c.unicode() <= 0x20 || c.unicode() >= 0x7F)
        return false;
    return !QStringView(u"()[]{}<>\"'").contains(c);
}

bool isAsciiLetterOrDigit(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
}

} // namespace

bool isRightToLeftTable(const QString &code)
{
    // Only languages the app has a table for change direction: a right-to-left
    // system language without one reads the English table, left to right.
    static const QStringList rightToLeft = {QStringLiteral("ar"), QStringLiteral("fa"), QStringLiteral("he"),
                                            QStringLiteral("ur")};
    return rightToLeft.contains(code) && StringTables::shared().hasTable(code);
}

Qt::LayoutDirection direction(AppLanguage language)
{
    const std::optional<QString> code =
        language == AppLanguage::system ? SystemLanguage::currentTableCode() : std::optional(language.rawValue());
    return code && isRightToLeftTable(*code) ? Qt::RightToLeft : Qt::LeftToRight;
}

Qt::LayoutDirection interfaceDirection()
{
    return direction(LanguageManager::shared().currentLanguage());
}

void followLanguage(LanguageManager &manager, QObject *context)
{
    QGuiApplication::setLayoutDirection(direction(manager.currentLanguage()));
    QObject::connect(&manager, &LanguageManager::currentLanguageChanged, context,
                     [](AppLanguage language) { QGuiApplication::setLayoutDirection(direction(language)); });
}

QString leftToRight(const QString &text, Qt::LayoutDirection context)
{
    return isolated(text, kLeftToRightIsolate, context);
}

QString leftToRight(const QString &text)
{
    return leftToRight(text, interfaceDirection());
}

QString name(const QString &text, Qt::LayoutDirection context)
{
    return isolated(text, kFirstStrongIsolate, context);
}

QString name(const QString &text)
{
    return name(text, interfaceDirection());
}

bool isIsolated(const QString &text)
{
    return text.size() >= 2 && text.front() >= kLeftToRightIsolate && text.front() <= kFirstStrongIsolate
           && text.back() == kPopIsolate;
}

QString isolateWrittenNames(const QString &text)
{
    QString out;
    out.reserve(text.size() + 8);
    int depth = 0;   // inside an isolate the table wrote itself
    qsizetype i = 0;
    while (i < text.size()) {
        const QChar c = text.at(i);
        if (c >= kLeftToRightIsolate && c <= kFirstStrongIsolate)
            ++depth;
        else if (c == kPopIsolate && depth > 0)
            --depth;
        if (depth > 0 || !isNameCharacter(c)) {
            out.append(c);
            ++i;
            continue;
        }
        qsizetype end = i;
        while (end < text.size() && isNameCharacter(text.at(end)))
            ++end;
        // A sentence's closing marks after the name are not part of it.
        qsizetype nameEnd = end;
        while (nameEnd > i && QStringView(u".,;:!?").contains(text.at(nameEnd - 1)))
            --nameEnd;
        const QStringView word = QStringView(text).mid(i, nameEnd - i);
        const bool placeholder = text.at(i) == u'%';
        const bool hasSign = std::any_of(word.begin(), word.end(), [](QChar w) { return !isAsciiLetterOrDigit(w); });
        if (!placeholder && hasSign) {
            out.append(kLeftToRightIsolate);
            out.append(word);
            out.append(kPopIsolate);
        } else {
            out.append(word);
        }
        out.append(QStringView(text).mid(nameEnd, end - nameEnd));
        i = end;
    }
    return out;
}

} // namespace bidi
