#include "settings/SettingsStore.h"
#include "platform/Preferences.h"

#include "StdoutCapture.h"
#include "TestMain.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

namespace {

QJsonObject entry(const char *type, const QJsonValue &value)
{
    return QJsonObject{{QStringLiteral("type"), QLatin1String(type)}, {QStringLiteral("value"), value}};
}

} // namespace

class SettingsStoreTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        QFile::remove(path());
    }

    // Nothing stored, or values written by hand as another version or a
    // user's edit could leave them: anything but an array of strings reads as
    // absent, and absent means the defaults.
    void defaultsWhenNothingUsableIsStored_data()
    {
        QTest::addColumn<QJsonObject>("values");
        QTest::newRow("no preferences file") << QJsonObject();
        QTest::newRow("number among strings")
            << QJsonObject{{SettingsStore::selectedFileTypesKey, entry("stringList", QJsonArray{QStringLiteral("trash"), 1})},
                           {SettingsStore::customExtensionsKey, entry("stringList", QJsonArray{QStringLiteral("bak"), true})},
                           {SettingsStore::excludedPatternsKey, entry("stringList", QJsonArray{QJsonValue::Null})}};
        QTest::newRow("other types")
            << QJsonObject{{SettingsStore::selectedFileTypesKey, entry("string", QStringLiteral("trash"))},
                           {SettingsStore::customExtensionsKey, entry("bool", true)},
                           {SettingsStore::excludedPatternsKey, entry("integer", 3)},
                           {SettingsStore::configuredCustomKey, entry("string", QStringLiteral("true"))},
                           {SettingsStore::promptCleanOnInsertKey, entry("integer", 1)},
                           {SettingsStore::autoEjectAfterCleanKey, entry("string", QStringLiteral("yes"))}};
        QTest::newRow("empty selection") << QJsonObject{{SettingsStore::selectedFileTypesKey, entry("stringList", QJsonArray())}};
        QTest::newRow("only unknown kinds")
            << QJsonObject{{SettingsStore::selectedFileTypesKey, entry("stringList", QJsonArray::fromStringList({"DSStore", "junk", ""}))}};
    }

    void defaultsWhenNothingUsableIsStored()
    {
        QFETCH(QJsonObject, values);
        if (!values.isEmpty())
            writePreferences(values);
        Preferences preferences(path());
        SettingsStore store(preferences);
        testsupport::StdoutCapture capture;
        FileTypeSet selected = store.loadSelectedFileTypes();
        const std::optional<QStringList> extensions = store.readCustomExtensions(selected);
        const QStringList lines = capture.lines();   // asserting only after the capture ends
        QCOMPARE(extensions, std::nullopt);
        QCOMPARE(selected, (FileTypeSet{FileType::dsStore, FileType::appleDouble, FileType::spotlight, FileType::trash,
                                        FileType::thumbsDb, FileType::temporaryFiles, FileType::systemLogs,
                                        FileType::windowsSystem}));
        QVERIFY(store.loadExcludedPatterns().isEmpty());
        QVERIFY(!store.promptCleanOnInsert() && !store.autoEjectAfterClean());
        QCOMPARE(preferences.boolValue(SettingsStore::configuredCustomKey), std::nullopt);
        if (values.isEmpty())
            QCOMPARE(lines.value(0), QStringLiteral("UserDefaults 中没有保存的已选择文件类型，使用默认值"));
    }

    void unknownKindsAreDropped()
    {
        writePreferences({{SettingsStore::selectedFileTypesKey,
                           entry("stringList", QJsonArray::fromStringList({"trash", "gone", "custom", "trash"}))}});
        Preferences preferences(path());
        QCOMPARE(SettingsStore(preferences).loadSelectedFileTypes(), (FileTypeSet{FileType::trash, FileType::custom}));
    }

    // The first stored extension list found selects custom, once, and only
    // when it holds an extension; either way the flag is set.
    void firstConfigurationSelectsCustomOnce()
    {
        for (const QStringList &extensions : {QStringList{"bak", "old"}, QStringList()}) {
            init();
            Preferences preferences(path());
            preferences.setStringList(SettingsStore::customExtensionsKey, extensions);
            SettingsStore store(preferences);
            testsupport::StdoutCapture capture;
            QList<std::optional<QStringList>> read;
            QList<bool> customSelected;
            for (int launch = 1; launch <= 2; ++launch) {
                FileTypeSet selected{FileType::trash};
                read << store.readCustomExtensions(selected);
                customSelected << selected.contains(FileType::custom);
            }
            const QStringList lines = capture.lines();
            QCOMPARE(read, (QList<std::optional<QStringList>>{extensions, extensions}));
            QCOMPARE(customSelected, (QList<bool>{!extensions.isEmpty(), false}));
            QCOMPARE(preferences.boolValue(SettingsStore::configuredCustomKey), std::optional<bool>(true));
            QCOMPARE(lines.count("首次配置：自动选中自定义文件类型"), extensions.isEmpty() ? 0 : 1);
        }
    }

    void savedSettingsLoadBack()
    {
        const FileTypeSet selected{FileType::custom, FileType::dsStore, FileType::windowsSystem};
        const QStringList extensions{QStringLiteral("bak"), QStringLiteral("日志")};
        const QStringList patterns{QStringLiteral("keep*"), QStringLiteral("say \"hi\"")};
        {
            Preferences preferences(path());
            SettingsStore store(preferences);
            testsupport::StdoutCapture capture;
            store.saveSelectedFileTypes(selected);
            store.saveCustomExtensions(extensions);
            store.saveExcludedPatterns(patterns);
            store.setPromptCleanOnInsert(true);
            store.setAutoEjectAfterClean(true);
            QCOMPARE(capture.lines().value(1), QStringLiteral("已保存排除文件模式: [\"keep*\", \"say \\\"hi\\\"\"]"));
        }
        // A fresh store reads the file, so the values reached the disk.
        Preferences preferences(path());
        SettingsStore store(preferences);
        FileTypeSet loaded = store.loadSelectedFileTypes();
        QCOMPARE(loaded, selected);
        QCOMPARE(store.readCustomExtensions(loaded), std::optional<QStringList>(extensions));
        QCOMPARE(store.loadExcludedPatterns(), patterns);
        QVERIFY(store.promptCleanOnInsert() && store.autoEjectAfterClean());
    }

    // Dismissing the sheet drops custom when it has no extensions, and stores
    // the extensions with the selection: a stored custom kind never lacks them.
    void sheetDismissal()
    {
        const QList<std::tuple<FileTypeSet, QStringList, FileTypeSet>> cases{
            {{FileType::custom, FileType::trash}, {}, {FileType::trash}},
            {{FileType::custom}, {"bak"}, {FileType::custom}},
            {{FileType::trash}, {}, {FileType::trash}},
        };
        for (auto [selected, extensions, stored] : cases) {
            init();
            {
                Preferences preferences(path());
                SettingsStore store(preferences);
                store.settingsSheetDismissed(selected, extensions, {"a"});
                QCOMPARE(selected, stored);
            }
            Preferences preferences(path());
            SettingsStore store(preferences);
            FileTypeSet loaded = store.loadSelectedFileTypes();
            QCOMPARE(loaded, stored);
            QCOMPARE(preferences.stringListValue(SettingsStore::customExtensionsKey), std::optional(extensions));
            QCOMPARE(store.loadExcludedPatterns(), QStringList{"a"});
        }
    }

private:
    QString path() const { return m_dir.filePath(QStringLiteral("preferences.json")); }

    void writePreferences(const QJsonObject &values)
    {
        QFile file(path());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(QJsonObject{{QStringLiteral("format"), 1}, {QStringLiteral("values"), values}}).toJson());
    }

    QTemporaryDir m_dir;
};

SWEEPBROOK_TEST_MAIN(SettingsStoreTest)
#include "test_settings_store.moc"
