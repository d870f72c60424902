#include "localization/AppLanguage.h"
#include "localization/LanguageManager.h"
#include "localization/LanguageSelector.h"
#include "localization/Localization.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "TestMain.h"

#include <QComboBox>
#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <algorithm>
#include <optional>

namespace {

// Counts languageDidChange posts and records what an observer sees at that moment.
struct PostRecorder
{
    PostRecorder(NotificationCenter &center, Preferences &preferences, LanguageManager &manager)
    {
        center.addObserver(LanguageManager::languageDidChange, &context, [&](const NotificationCenter::Notification &n) {
            ++count;
            lastHadObject = n.object.isValid();
            storedAtPost = preferences.stringValue(LanguageManager::preferenceKey).value_or(QString());
            languageAtPost = manager.currentLanguage();
        });
    }
    QObject context;
    int count = 0;
    bool lastHadObject = false;
    QString storedAtPost;
    AppLanguage languageAtPost;
};

} // namespace

class TestLanguageManager : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_prefsPath = m_dir.filePath(QStringLiteral("prefs-%1.json").arg(++m_round));
    }

    void languageCodes()
    {
        // Every code reads back as its language; near misses are no language.
        for (const AppLanguage &language : AppLanguage::allCases())
            QCOMPARE(AppLanguage::fromRawValue(language.rawValue()), std::optional<AppLanguage>(language));
        for (const char *unknown : {"zh-TW", "EN", "", "zh-hant", "english", " en", "en "})
            QVERIFY2(!AppLanguage::fromRawValue(QString::fromUtf8(unknown)), unknown);
    }

    void startsFromStoredCode()
    {
        const QList<std::pair<QVariant, AppLanguage>> cases{   // an invalid QVariant: nothing stored
            {QVariant(), AppLanguage::system}, {"zh-Hant", AppLanguage::traditionalChinese}, {"fr", AppLanguage::french},
            {"zh-TW", AppLanguage::system}, {QString(), AppLanguage::system}};
        for (const auto &[stored, expected] : cases) {
            init();
            Preferences preferences(m_prefsPath);
            if (stored.isValid())
                preferences.setString(LanguageManager::preferenceKey, stored.toString());
            NotificationCenter center;
            LanguageManager manager(preferences, center);
            QCOMPARE(manager.currentLanguage(), expected);
            // An unknown code is not rewritten until the user picks a language.
            QCOMPARE(preferences.stringValue(LanguageManager::preferenceKey),
                     stored.isValid() ? std::optional<QString>(stored.toString()) : std::nullopt);
            QCOMPARE(manager.selectedLanguageRaw(), stored.isValid() ? stored.toString() : QString("system"));
        }
    }

    void setLanguageStoresThenPostsOnce()
    {
        Preferences preferences(m_prefsPath);
        NotificationCenter center;
        LanguageManager manager(preferences, center);
        PostRecorder posts(center, preferences, manager);
        QSignalSpy changed(&manager, &LanguageManager::currentLanguageChanged);

        manager.setLanguage(AppLanguage::japanese);
        QCOMPARE(posts.count, 1);
        QVERIFY(!posts.lastHadObject);
        QCOMPARE(posts.storedAtPost, QStringLiteral("ja"));
        QCOMPARE(posts.languageAtPost, AppLanguage(AppLanguage::japanese));
        QCOMPARE(Preferences(m_prefsPath).stringValue(LanguageManager::preferenceKey), QStringLiteral("ja"));

        // The same language again is still stored and announced.
        manager.setLanguage(AppLanguage::japanese);
        QCOMPARE(posts.count, 2);
        QCOMPARE(changed.count(), 2);

        manager.setLanguage(AppLanguage::system);
        QCOMPARE(LanguageManager(preferences, center).currentLanguage(), AppLanguage(AppLanguage::system));
    }

    void selectorFollowsAndDrivesManager()
    {
        SystemLanguage::setLocaleNameOverride(QStringLiteral("de_DE.UTF-8"));
        Preferences preferences(m_prefsPath);
        NotificationCenter center;
        LanguageManager manager(preferences, center);
        PostRecorder posts(center, preferences, manager);
        LanguageSelector selector(manager);
        QComboBox *picker = selector.picker();

        // The label comes from the shipped German table, as plain text.
        const QList<QLabel *> labels = selector.findChildren<QLabel *>();
        QVERIFY(std::any_of(labels.begin(), labels.end(), [](QLabel *l) {
            return l->text() == QStringLiteral("Sprache") && l->textFormat() == Qt::PlainText;
        }));
        QVERIFY(std::any_of(labels.begin(), labels.end(), [](QLabel *l) { return !l->pixmap().isNull(); }));   // the globe
        SystemLanguage::setLocaleNameOverride(std::nullopt);

        QCOMPARE(picker->count(), 14);
        QCOMPARE(picker->currentIndex(), 0);   // "System"

        // The user moves to the next item: the manager changes and one post goes out.
        QTest::keyClick(picker, Qt::Key_Down);
        QCOMPARE(manager.currentLanguage(), AppLanguage(AppLanguage::english));
        QCOMPARE(preferences.stringValue(LanguageManager::preferenceKey), QStringLiteral("en"));
        QCOMPARE(posts.count, 1);

        // A change made elsewhere moves the picker without a second post.
        manager.setLanguage(AppLanguage::spanish);
        QCOMPARE(picker->currentIndex(), 13);
        QCOMPARE(posts.count, 2);

        // A new selector starts on the manager's language.
        LanguageSelector second(manager);
        QCOMPARE(second.picker()->currentText(), QStringLiteral("Español (Spanish)"));
        QCOMPARE(posts.count, 2);
    }

private:
    QTemporaryDir m_dir;
    QString m_prefsPath;
    int m_round = 0;
};

SWEEPBROOK_TEST_MAIN(TestLanguageManager)
#include "test_language_manager.moc"
