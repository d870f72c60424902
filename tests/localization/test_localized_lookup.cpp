#include "localization/Bidi.h"
#include "localization/LanguageManager.h"
#include "localization/Localization.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "TestMain.h"

#include <QTemporaryDir>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

void writeTable(const QString &root, const QString &code, const QByteArray &body)
{
    QVERIFY(QDir(root).mkpath(code + QStringLiteral(".lproj")));
    QFile file(root + u'/' + code + QStringLiteral(".lproj/Localizable.strings"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(body);
}

} // namespace

class TestLocalizedLookup : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_preferences = std::make_unique<Preferences>(m_dir->filePath(QStringLiteral("prefs.json")));
        m_manager = std::make_unique<LanguageManager>(*m_preferences, m_center);
        LanguageManager::setShared(m_manager.get());
        SystemLanguage::setLocaleNameOverride(QStringLiteral("C"));
    }

    void cleanup()
    {
        StringTables::setShared(nullptr);
        LanguageManager::setShared(nullptr);
        SystemLanguage::setLocaleNameOverride(std::nullopt);
        m_tables.reset();
        m_manager.reset();
        m_preferences.reset();
    }

    // The system locale's best table (empty: none, so English).
    void systemTableCode()
    {
        const QList<std::pair<const char *, const char *>> rows{
            {"zh_CN", "zh-Hans"}, {"zh_SG", "zh-Hans"}, {"zh_Hans", "zh-Hans"}, {"zh", "zh-Hans"},
            {"zh_CN.UTF-8", "zh-Hans"}, {"zh_Hans_HK", "zh-Hans"}, {"zh_TW", "zh-Hant"}, {"zh_HK", "zh-Hant"},
            {"zh_MO", "zh-Hant"}, {"zh_Hant_TW", "zh-Hant"}, {"zh-Hant", "zh-Hant"}, {"zh-tw", "zh-Hant"},
            {"pt_BR", "pt"}, {"pt_PT", "pt"}, {"pt-BR", "pt"}, {"de_DE.UTF-8", "de"}, {"en_US@euro", "en"},
            {"sr@latin", "sr"}, {"FR_ca", "fr"}, {"es_419", "es"}, {"C", ""}, {"POSIX", ""}, {"", ""},
            {"C.UTF-8", ""}, {"_DE", ""},
        };
        for (const auto &[name, expected] : rows) {   // the locale name is compared too, to name a failing row
            const QString parsed = SystemLanguage::tableCodeForLocaleName(name).value_or(QString());
            SystemLanguage::setLocaleNameOverride(QString(name));
            const QString current = SystemLanguage::currentTableCode().value_or(QString());
            QCOMPARE((QStringList{name, parsed, current}), (QStringList{name, expected, expected}));
        }
    }

    void fallbackChain()
    {
        const QString root = m_dir->filePath(QStringLiteral("tables"));
        writeTable(root, "en", "\"greeting\" = \"Hello\";\n\"only_en\" = \"English only\";\n");
        writeTable(root, "ja", "\"greeting\" = \"こんにちは\";\n");
        writeTable(root, "zh-Hans", "\"greeting\" = \"你好\";\n");
        useTables(root);

        m_manager->setLanguage(AppLanguage::japanese);
        QCOMPARE(localized("greeting"), QStringLiteral("こんにちは"));
        QCOMPARE(localized("only_en"), QStringLiteral("English only"));   // per key, not per table
        QCOMPARE(localized("nowhere"), QStringLiteral("nowhere"));

        // The next lookup after a change already uses the new language.
        m_manager->setLanguage(AppLanguage::chinese);
        QCOMPARE(localized("greeting"), QStringLiteral("你好"));

        m_manager->setLanguage(AppLanguage::korean);   // no ko table
        QCOMPARE(localized("greeting"), QStringLiteral("Hello"));
        m_manager->setLanguage(AppLanguage::system);   // system "C": no language at all
        QCOMPARE(localized("greeting"), QStringLiteral("Hello"));
    }

    void withoutEnglishTheMainTableServes()
    {
        const QString root = m_dir->filePath(QStringLiteral("tables"));
        writeTable(root, "de", "\"greeting\" = \"Hallo\";\n");
        useTables(root);
        SystemLanguage::setLocaleNameOverride(QStringLiteral("de_AT.UTF-8"));
        m_manager->setLanguage(AppLanguage::japanese);
        QCOMPARE(localized("greeting"), QStringLiteral("Hallo"));
        QCOMPARE(localized("nowhere"), QStringLiteral("nowhere"));
        QCOMPARE(mainTableLocalized("greeting"), QStringLiteral("Hallo"));
    }

    // On a Traditional Chinese or Brazilian desktop "system" must find the
    // zh-Hant or pt table, not look for a bare "zh" and fall back to English.
    void systemChoiceFindsRegionalTables()
    {
        const QString root = m_dir->filePath(QStringLiteral("tables"));
        writeTable(root, "en", "\"greeting\" = \"Hello\";\n");
        writeTable(root, "zh-Hant", "\"greeting\" = \"您好\";\n");
        writeTable(root, "zh-Hans", "\"greeting\" = \"你好\";\n");
        writeTable(root, "pt", "\"greeting\" = \"Olá\";\n");
        useTables(root);
        QCOMPARE(m_manager->currentLanguage(), AppLanguage(AppLanguage::system));

        const QList<std::pair<QString, QString>> cases{
            {"zh_TW", "您好"}, {"zh_HK.UTF-8", "您好"}, {"zh_CN.UTF-8", "你好"}, {"pt_BR", "Olá"}, {"it_IT", "Hello"}};
        for (const auto &[locale, text] : cases) {
            SystemLanguage::setLocaleNameOverride(locale);
            QCOMPARE(localized("greeting"), text);
        }

        // The main table follows the desktop whatever the user chose.
        SystemLanguage::setLocaleNameOverride(QStringLiteral("zh_TW"));
        m_manager->setLanguage(AppLanguage::portuguese);
        QCOMPARE(localized("greeting"), QStringLiteral("Olá"));
        QCOMPARE(mainTableLocalized("greeting"), QStringLiteral("您好"));
    }

    void currentLocale()
    {
        QCOMPARE(LocalizationManager::currentLocale().language(), QLocale::English);   // system "C"
        SystemLanguage::setLocaleNameOverride(QStringLiteral("zh_TW"));
        QCOMPARE(LocalizationManager::currentLocale().script(), QLocale::TraditionalChineseScript);
        m_manager->setLanguage(AppLanguage::chinese);
        QCOMPARE(LocalizationManager::currentLocale().language(), QLocale::Chinese);
        QCOMPARE(LocalizationManager::currentLocale().script(), QLocale::SimplifiedChineseScript);
    }

    void tablesFolderRules()
    {
        const QString root = m_dir->filePath(QStringLiteral("tables"));
        writeTable(root, "en", "\"a\" = \"A\";\n");
        QVERIFY(QDir(root).mkpath(QStringLiteral("fr.lproj")));   // a folder without a table
        writeTable(m_dir->path(), "outside", "\"a\" = \"escaped\";\n");
        StringTables tables(root);
        QVERIFY(tables.hasTable("en"));
        QVERIFY(!tables.hasTable("fr"));
        QVERIFY(!tables.hasTable("../outside"));
        QCOMPARE(tables.lookup("../outside", "a"), std::nullopt);
        QCOMPARE(tables.codes(), QStringList{"en"});

        // Read once: a later change of the file is not seen.
        QCOMPARE(tables.lookup("en", "a"), QStringLiteral("A"));
        writeTable(root, "en", "\"a\" = \"changed\";\n");
        QCOMPARE(tables.lookup("en", "a"), QStringLiteral("A"));

        // The shipped tables are in the binary's resources.
        QVERIFY(StringTables::shared().codes().contains(QStringLiteral("zh-Hant")));
        QCOMPARE(StringTables::shared().codes().size(), 13);
    }

    void lookupsFromManyThreads()
    {
        const QString root = m_dir->filePath(QStringLiteral("tables"));
        QByteArray en, ja;
        for (int i = 0; i < 500; ++i) {
            en += QStringLiteral("\"k%1\" = \"en %1\";\n").arg(i).toUtf8();
            ja += QStringLiteral("\"k%1\" = \"ja %1\";\n").arg(i).toUtf8();
        }
        writeTable(root, "en", en);
        writeTable(root, "ja", ja);
        useTables(root);
        m_manager->setLanguage(AppLanguage::japanese);

        std::atomic<int> wrong{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&wrong, t] {
                for (int i = 0; i < 500; ++i) {
                    const int k = (i * 7 + t) % 500;
                    wrong += localized(QStringLiteral("k%1").arg(k)) != QStringLiteral("ja %1").arg(k);
                }
            });
        for (std::thread &thread : threads)
            thread.join();
        QCOMPARE(wrong.load(), 0);
    }

    // Right to left: Arabic, or "system" on a desktop whose language has a
    // right-to-left table. There a looked-up text starts a right-to-left
    // paragraph, and a name or size put into it is isolated; elsewhere both
    // are left as they are.
    void rightToLeft()
    {
        const QString root = m_dir->filePath(QStringLiteral("tables"));
        writeTable(root, "en", "\"ready\" = \"Sweepbrook is ready\";\n\"checked\" = \"Checked %@ (%d)\";\n"
                               "\"hint\" = \"Use report* or *.docx.\";\n");
        writeTable(root, "ar", "\"ready\" = \"Sweepbrook \\U062C\\U0627\\U0647\\U0632\";\n"
                               "\"checked\" = \"\\U062A\\U062D\\U0642\\U0642 %@ (%d)\";\n"
                               "\"hint\" = \"\\U0645\\U062B\\U0644 report* \\U0623\\U0648 *.docx.\";\n");
        writeTable(root, "fr", "\"ready\" = \"Sweepbrook est prêt\";\n\"checked\" = \"Vérifié %@ (%d)\";\n"
                               "\"hint\" = \"Par exemple report* ou *.docx.\";\n");
        useTables(root);
        const QChar rlm(0x200F), lri(0x2066), fsi(0x2068), pdi(0x2069);

        struct Row { AppLanguage language; const char *desktop; Qt::LayoutDirection direction; };
        const QList<Row> rows{
            {AppLanguage::arabic, "C", Qt::RightToLeft},        {AppLanguage::french, "ar_EG", Qt::LeftToRight},
            {AppLanguage::system, "ar_EG.UTF-8", Qt::RightToLeft}, {AppLanguage::system, "he_IL", Qt::LeftToRight},
            {AppLanguage::system, "fr_FR", Qt::LeftToRight},    {AppLanguage::english, "C", Qt::LeftToRight},
        };
        for (const Row &row : rows) {
            SystemLanguage::setLocaleNameOverride(QString::fromLatin1(row.desktop));
            m_manager->setLanguage(row.language);
            const bool rtl = row.direction == Qt::RightToLeft;
            const QString context = row.language.rawValue() + u'/' + QLatin1String(row.desktop);
            QVERIFY2(bidi::direction(row.language) == row.direction && bidi::interfaceDirection() == row.direction,
                     qPrintable(context));
            QVERIFY2(localized(QStringLiteral("ready")).startsWith(rlm) == rtl, qPrintable(context));
            QCOMPARE(bidi::leftToRight(QStringLiteral("6 KB")), rtl ? lri + QStringLiteral("6 KB") + pdi : QStringLiteral("6 KB"));
            QCOMPARE(bidi::name(QStringLiteral(".DS_Store")),
                     rtl ? fsi + QStringLiteral(".DS_Store") + pdi : QStringLiteral(".DS_Store"));
            // Names the table writes out, and texts filled in, keep their order
            // in right-to-left text; a text isolated already is not wrapped again.
            const QString hint = localized(QStringLiteral("hint"));
            QVERIFY2(hint.contains(lri + QStringLiteral("report*") + pdi) == rtl
                         && hint.contains(lri + QStringLiteral("*.docx") + pdi + u'.') == rtl,
                     qPrintable(context + u' ' + hint));
            const QString checked = format(localized(QStringLiteral("checked")), QStringLiteral("7 Dec 2026"), 3);
            QVERIFY2(checked.contains(fsi + QStringLiteral("7 Dec 2026") + pdi + QStringLiteral(" (3)")) == rtl,
                     qPrintable(context + u' ' + checked));
            QCOMPARE(format(localized(QStringLiteral("checked")), bidi::leftToRight(QStringLiteral("6 KB")), 1)
                         .count(QChar(0x2069)), rtl ? 1 : 0);
        }
        QCOMPARE(bidi::name(QString(), Qt::RightToLeft), QString());
    }

    // Which written names a right-to-left text isolates: words of ASCII signs,
    // letters and digits that hold a sign; not the brackets, quotes or closing
    // marks around them, not placeholders, not plain words, not what is
    // isolated already.
    void writtenNames_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");   // [ ] stand for the isolate's ends
        QTest::newRow("names") << u"\u062D\u0630\u0641 .DS_Store \u0648$RECYCLE.BIN"_s
                               << u"\u062D\u0630\u0641 [.DS_Store] \u0648[$RECYCLE.BIN]"_s;
        QTest::newRow("brackets and marks outside") << u"(.Spotlight-V100 \u0648.fseventsd). \u00AB._\u00BB: report*?"_s
                                                    << u"([.Spotlight-V100] \u0648[.fseventsd]). \u00AB[._]\u00BB: [report*]?"_s;
        QTest::newRow("a path") << u"\u062B\u0628\u0651\u062A /usr/bin/pkexec."_s << u"\u062B\u0628\u0651\u062A [/usr/bin/pkexec]."_s;
        QTest::newRow("placeholders") << u"\u0627\u0644\u0645\u062A\u0627\u062D %d%% \u00AB%1$@\u00BB (%@)"_s
                                      << u"\u0627\u0644\u0645\u062A\u0627\u062D %d%% \u00AB%1$@\u00BB (%@)"_s;
        QTest::newRow("plain words") << u"Sweepbrook \u0648polkit. USB\n1. exFAT"_s << u"Sweepbrook \u0648polkit. USB\n1. exFAT"_s;
        QTest::newRow("isolated already") << u"\u2066.DS_Store\u2069 \u2068*.log\u2069"_s << u"\u2066.DS_Store\u2069 \u2068*.log\u2069"_s;
    }

    void writtenNames()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        expected.replace(u'[', QChar(0x2066)).replace(u']', QChar(0x2069));
        QCOMPARE(bidi::isolateWrittenNames(text), expected);
    }

private:
    void useTables(const QString &root)
    {
        m_tables = std::make_unique<StringTables>(root);
        StringTables::setShared(m_tables.get());
    }

    NotificationCenter m_center;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Preferences> m_preferences;
    std::unique_ptr<LanguageManager> m_manager;
    std::unique_ptr<StringTables> m_tables;
};

SWEEPBROOK_TEST_MAIN(TestLocalizedLookup)
#include "test_localized_lookup.moc"
