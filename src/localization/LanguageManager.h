#pragma once

#include "localization/AppLanguage.h"

#include <QObject>

#include <atomic>

class NotificationCenter;
class Preferences;

// The one holder of the chosen interface language, stored under "selectedLanguage".
class LanguageManager : public QObject
{
    Q_OBJECT
public:
    static inline const QString languageDidChange = QStringLiteral("languageDidChange");
    static inline const QString preferenceKey = QStringLiteral("selectedLanguage");

    // Reads the stored code; an unknown code means `system` (the stored text stays).
    LanguageManager(Preferences &preferences, NotificationCenter &center, QObject *parent = nullptr);

    // The app's instance, made on first use from the standard preferences and the
    // default notification centre.
    static LanguageManager &shared();
    // Tests: replace the shared instance (not owned); nullptr restores.
    static void setShared(LanguageManager *manager);

    AppLanguage currentLanguage() const;        // any thread
    QString selectedLanguageRaw() const;        // the stored code, default "system"

    // Main thread. Always stores and posts languageDidChange (no object),
    // synchronously, even when the language is unchanged.
    void setLanguage(AppLanguage language);

signals:
    void currentLanguageChanged(AppLanguage language);

private:
    Preferences &m_preferences;
    NotificationCenter &m_center;
    std::atomic<int> m_current;
};
