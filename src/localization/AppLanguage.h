#pragma once

#include <QList>
#include <QString>

#include <optional>

// The interface languages, by language code. `system` follows the desktop's language.
class AppLanguage
{
public:
    enum Value {
        system,
        english,
        chinese,
        traditionalChinese,
        arabic,
        french,
        german,
        japanese,
        korean,
        italian,
        polish,
        portuguese,
        russian,
        spanish,
    };

    constexpr AppLanguage(Value value = system) : m_value(value) {}   // NOLINT: implicit on purpose
    constexpr Value value() const { return m_value; }
    constexpr operator Value() const { return m_value; }              // NOLINT

    QString rawValue() const;        // "system", "en", "zh-Hans", ...
    QString id() const { return rawValue(); }
    QString displayName() const;     // fixed text, each language named in itself

    // Exactly the 14 codes, case-sensitive; anything else gives nothing.
    static std::optional<AppLanguage> fromRawValue(const QString &rawValue);
    static const QList<AppLanguage> &allCases();

private:
    Value m_value;
};
