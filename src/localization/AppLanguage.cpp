#include "localization/AppLanguage.h"

#include <array>

namespace {

struct LanguageInfo
{
    AppLanguage::Value value;
    const char16_t *rawValue;
    const char16_t *displayName;
};

// Declaration order is the order the picker shows.
constexpr std::array<LanguageInfo, 14> kLanguages{{
    {AppLanguage::system, u"system", u"System"},
    {AppLanguage::english, u"en", u"English"},
    {AppLanguage::chinese, u"zh-Hans", u"中文 (简体)"},
    {AppLanguage::traditionalChinese, u"zh-Hant", u"中文 (繁體)"},
    {AppLanguage::arabic, u"ar", u"العربية (Arabic)"},
    {AppLanguage::french, u"fr", u"Français (French)"},
    {AppLanguage::german, u"de", u"Deutsch (German)"},
    {AppLanguage::japanese, u"ja", u"日本語 (Japanese)"},
    {AppLanguage::korean, u"ko", u"한국어 (Korean)"},
    {AppLanguage::italian, u"it", u"Italiano (Italian)"},
    {AppLanguage::polish, u"pl", u"Polski (Polish)"},
    {AppLanguage::portuguese, u"pt", u"Português (Portuguese)"},
    {AppLanguage::russian, u"ru", u"Русский (Russian)"},
    {AppLanguage::spanish, u"es", u"Español (Spanish)"},
}};

// infoFor() indexes the table by the enum's value.
constexpr bool tableFollowsEnum()
{
    for (std::size_t i = 0; i < kLanguages.size(); ++i) {
        if (static_cast<std::size_t>(kLanguages[i].value) != i)
            return false;
    }
    return true;
}
static_assert(tableFollowsEnum());

const LanguageInfo &infoFor(AppLanguage::Value value)
{
    const auto index = static_cast<std::size_t>(value);
    return index < kLanguages.size() ? kLanguages[index] : kLanguages[0];
}

} // namespace

QString AppLanguage::rawValue() const
{
    return QString::fromUtf16(infoFor(m_value).rawValue);
}

QString AppLanguage::displayName() const
{
    return QString::fromUtf16(infoFor(m_value).displayName);
}

std::optional<AppLanguage> AppLanguage::fromRawValue(const QString &rawValue)
{
    for (const LanguageInfo &info : kLanguages) {
        if (rawValue == QStringView(info.rawValue))
            return AppLanguage(info.value);
    }
    return std::nullopt;
}

const QList<AppLanguage> &AppLanguage::allCases()
{
    static const QList<AppLanguage> cases = [] {
        QList<AppLanguage> list;
        for (const LanguageInfo &info : kLanguages)
            list.append(AppLanguage(info.value));
        return list;
    }();
    return cases;
}
