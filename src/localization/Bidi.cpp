#include "localization/Bidi.h"

#include "localization/LanguageManager.h"
#include "localization/Localization.h"

#include <QGuiApplication>

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

} // namespace bidi
