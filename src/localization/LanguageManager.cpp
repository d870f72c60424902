#include "localization/LanguageManager.h"

#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"

#include <QCoreApplication>
#include <QThread>

namespace {

std::atomic<LanguageManager *> g_sharedManager{nullptr};

const QString kSystem = QStringLiteral("system");

} // namespace

LanguageManager::LanguageManager(Preferences &preferences, NotificationCenter &center, QObject *parent)
    : QObject(parent), m_preferences(preferences), m_center(center), m_current(AppLanguage::system)
{
    // An unknown code (an edited file, a language since removed) means "system";
    // the stored text is left alone until the user picks a language.
    const QString stored = m_preferences.stringValue(preferenceKey).value_or(kSystem);
    m_current.store(AppLanguage::fromRawValue(stored).value_or(AppLanguage::system).value());
}

LanguageManager &LanguageManager::shared()
{
    if (LanguageManager *manager = g_sharedManager.load())
        return *manager;
    static LanguageManager *appManager = [] {
        auto *manager = new LanguageManager(Preferences::standard(), NotificationCenter::defaultCenter());
        // The first lookup may come from a worker thread; the manager belongs to the main one.
        if (QCoreApplication *app = QCoreApplication::instance(); app && manager->thread() != app->thread())
            manager->moveToThread(app->thread());
        return manager;
    }();
    return *appManager;   // kept until the process ends
}

void LanguageManager::setShared(LanguageManager *manager)
{
    g_sharedManager.store(manager);
}

AppLanguage LanguageManager::currentLanguage() const
{
    return AppLanguage(static_cast<AppLanguage::Value>(m_current.load()));
}

QString LanguageManager::selectedLanguageRaw() const
{
    return m_preferences.stringValue(preferenceKey).value_or(kSystem);
}

void LanguageManager::setLanguage(AppLanguage language)
{
    // No comparison with the old value: every pick is stored and announced.
    m_current.store(language.value());
    emit currentLanguageChanged(language);
    m_preferences.setString(preferenceKey, language.rawValue());
    m_center.post(languageDidChange);
}
