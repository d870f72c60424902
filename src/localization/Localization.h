#pragma once

#include <QHash>
#include <QLocale>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <memory>
#include <optional>

// The string tables that ship with the app: one "<code>.lproj/Localizable.strings"
// per language below a root folder (for the installed app share/sweepbrook/lproj
// under its prefix, else the copies in the Qt resource ":/lproj").
// Each table is read once, the first time it is asked for.
class StringTables
{
public:
    explicit StringTables(const QString &rootPath);
    ~StringTables();

    static StringTables &shared();                  // the app's tables, at appTablesRoot()
    static QString appTablesRoot();
    static void setShared(StringTables *tables);    // tests; nullptr restores

    bool hasTable(const QString &code) const;       // is there a "<code>.lproj" folder?
    // The key's text in that table, or nothing (no folder, or no such key).
    std::optional<QString> lookup(const QString &code, const QString &key) const;
    QStringList codes() const;                      // the folders present

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// The system language, mapped to the table that serves it best.
namespace SystemLanguage {
// From a locale name such as "zh_CN.UTF-8", "zh_Hant_TW", "pt_BR", "de_DE@euro":
// zh with script Hant or region TW/HK/MO -> "zh-Hant"; other zh -> "zh-Hans";
// pt_* -> "pt"; else the bare language. "C", "POSIX" or empty -> nothing.
std::optional<QString> tableCodeForLocaleName(const QString &localeName);

// The desktop's current language as a table code (from QLocale::system(), or
// the override below).
std::optional<QString> currentTableCode();

// Tests: pretend the system locale is this name; nullopt restores the real one.
void setLocaleNameOverride(const std::optional<QString> &localeName);
}

// Text of a key in the chosen interface language: that language's table, then
// "en", then the app's main table (the system language's), then the key itself.
// A text from a right-to-left table (Arabic) starts with a right-to-left mark,
// so it reads as a right-to-left paragraph whatever letter comes first, and
// the names it writes out in Latin letters are isolated
// (`bidi::isolateWrittenNames`).
QString localized(const QString &key);

// Text of a key in the app's main table, which follows the system language
// whatever the user chose (then "en", then the key itself).
QString mainTableLocalized(const QString &key);

// Fills a printf-style format in one pass: %@ (any value), %d %i %ld %lld %u
// (integers), %f with optional precision, positional forms such as %1$@ and
// %2$d, and %%. Text that comes in through an argument is never read as a
// format, so a name holding "%d" or "%1$@" is shown as it is. A placeholder
// without an argument is kept as written. In a format from a right-to-left
// table (it starts with a right-to-left mark) every text filled in through %@
// is isolated (`bidi::name`), so names, dates and lists keep their order.
QString formatString(const QString &format, const QVariantList &arguments);

template <typename... Args>
QString format(const QString &fmt, const Args &...args)
{
    return formatString(fmt, QVariantList{QVariant::fromValue(args)...});
}

class LocalizationManager
{
public:
    LocalizationManager() = delete;
    // The locale of the chosen language; "en" when the system gives none.
    static QLocale currentLocale();
};
