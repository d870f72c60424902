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

QJsonArray strings(std::initializer_list<const char *> items)
{
    QJsonArray array;
    for (const char *item : items)
        array.append(QLatin1String(item));
    return array;
}

FileTypeSet eightKinds()
{
    return {FileType::dsStore, FileType::appleDouble, FileType::spotlight, FileType::trash, FileType::thumbsDb,
            FileType::temporaryFiles, FileType::systemLogs, FileType::windowsSystem};
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

    void defaultsOnAnEmptyStore()
    {
        Preferences preferences(path());
        SettingsStore store(preferences);
        testsupport::StdoutCapture capture;
        FileTypeSet selected = store.loadSelectedFileTypes();
        QCOMPARE(selected, eightKinds());
        QCOMPARE(store.readCustomExtensions(selected), std::nullopt);
        QVERIFY(store.loadCustomExtensions(selected).isEmpty());
        QVERIFY(store.loadExcludedPatterns().isEmpty());
        QCOMPARE(selected, eightKinds());
        QVERIFY(!store.promptCleanOnInsert());
        QVERIFY(!store.autoEjectAfterClean());
        QVERIFY(!preferences.contains(SettingsStore::configuredCustomKey));
        QCOMPARE(capture.lines(), (QStringList{QStringLiteral("UserDefaults 中没有保存的已选择文件类型，使用默认值"),
                                               QStringLiteral("UserDefaults 中没有保存的自定义后缀"),
                                               QStringLiteral("UserDefaults 中没有保存的自定义后缀"),
                                               QStringLiteral("UserDefaults 中没有保存的排除文件模式，使用空白列表")}));
    }

    // Values written by hand into the preferences file, as another version or
    // a user's edit could leave them: anything but an array of strings reads
    // as absent.
    void unusableValuesReadAsAbsent_data()
    {
        QTest::addColumn<QJsonObject>("values");
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
            << QJsonObject{{SettingsStore::selectedFileTypesKey, entry("stringList", strings({"DSStore", "junk", ""}))}};
    }

    void unusableValuesReadAsAbsent()
    {
        QFETCH(QJsonObject, values);
        writePreferences(values);
        Preferences preferences(path());
        SettingsStore store(preferences);
        FileTypeSet selected = store.loadSelectedFileTypes();
        QCOMPARE(selected, eightKinds());
        QCOMPARE(store.readCustomExtensions(selected), std::nullopt);
        QVERIFY(store.loadExcludedPatterns().isEmpty());
        QVERIFY(!store.promptCleanOnInsert());
        QVERIFY(!store.autoEjectAfterClean());
    }

    void unknownKindsAreDropped()
    {
        writePreferences({{SettingsStore::selectedFileTypesKey,
                           entry("stringList", strings({"trash", "gone", "custom", "trash"}))}});
        Preferences preferences(path());
        testsupport::StdoutCapture capture;
        QCOMPARE(SettingsStore(preferences).loadSelectedFileTypes(), (FileTypeSet{FileType::trash, FileType::custom}));
        QCOMPARE(capture.lines(), QStringList{QStringLiteral("从 UserDefaults 加载了 4 个已选择的文件类型")});
    }

    void firstConfigurationSelectsCustomOnce()
    {
        Preferences preferences(path());
        preferences.setStringList(SettingsStore::customExtensionsKey, {QStringLiteral("bak"), QStringLiteral("old")});
        SettingsStore store(preferences);
        for (int launch = 1; launch <= 2; ++launch) {
            testsupport::StdoutCapture capture;
            FileTypeSet selected{FileType::trash};
            QCOMPARE(store.loadCustomExtensions(selected), (QStringList{QStringLiteral("bak"), QStringLiteral("old")}));
            QStringList expected{QStringLiteral("从 UserDefaults 加载了 2 个自定义后缀")};
            if (launch == 1) {
                QCOMPARE(selected, (FileTypeSet{FileType::trash, FileType::custom}));
                expected.append(QStringLiteral("首次配置：自动选中自定义文件类型"));
            } else {
                QCOMPARE(selected, FileTypeSet{FileType::trash});
            }
            QCOMPARE(capture.lines(), expected);
            QCOMPARE(preferences.boolValue(SettingsStore::configuredCustomKey), std::optional<bool>(true));
        }
    }

    void emptyStoredExtensionsOnlySetTheFlag()
    {
        Preferences preferences(path());
        preferences.setStringList(SettingsStore::customExtensionsKey, {});
        FileTypeSet selected{FileType::trash};
        testsupport::StdoutCapture capture;
        QCOMPARE(SettingsStore(preferences).readCustomExtensions(selected), std::optional<QStringList>(QStringList()));
        QCOMPARE(selected, FileTypeSet{FileType::trash});
        QCOMPARE(capture.lines(), QStringList{QStringLiteral("从 UserDefaults 加载了 0 个自定义后缀")});
        QCOMPARE(preferences.boolValue(SettingsStore::configuredCustomKey), std::optional<bool>(true));
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
            QCOMPARE(capture.lines(),
                     (QStringList{QStringLiteral("已保存已选择的文件类型: [\"dsStore\", \"windowsSystem\", \"custom\"]"),
                                  QStringLiteral("已保存排除文件模式: [\"keep*\", \"say \\\"hi\\\"\"]")}));
        }
        // A fresh store reads the file, so the values reached the disk.
        Preferences preferences(path());
        SettingsStore store(preferences);
        FileTypeSet loaded = store.loadSelectedFileTypes();
        QCOMPARE(loaded, selected);
        QCOMPARE(store.loadCustomExtensions(loaded), extensions);
        QCOMPARE(store.loadExcludedPatterns(), patterns);
        QVERIFY(store.promptCleanOnInsert());
        QVERIFY(store.autoEjectAfterClean());
        store.setAutoEjectAfterClean(false);
        QVERIFY(!store.autoEjectAfterClean());
    }

    void sheetDismissal_data()
    {
        QTest::addColumn<FileTypeSet>("selected");
        QTest::addColumn<QStringList>("extensions");
        QTest::addColumn<FileTypeSet>("stored");
        QTest::addColumn<QString>("line");
        QTest::newRow("custom without extensions")
            << FileTypeSet{FileType::custom, FileType::trash} << QStringList() << FileTypeSet{FileType::trash}
            << QStringLiteral("移除无后缀的自定义文件类型选择");
        QTest::newRow("custom with extensions")
            << FileTypeSet{FileType::custom} << QStringList{QStringLiteral("bak")} << FileTypeSet{FileType::custom}
            << QStringLiteral("设置界面关闭，自定义后缀数量: 1");
        QTest::newRow("neither") << FileTypeSet{FileType::trash} << QStringList() << FileTypeSet{FileType::trash}
                                 << QString();
    }

    void sheetDismissal()
    {
        QFETCH(FileTypeSet, selected);
        QFETCH(QStringList, extensions);
        QFETCH(FileTypeSet, stored);
        QFETCH(QString, line);
        Preferences preferences(path());
        SettingsStore store(preferences);
        testsupport::StdoutCapture capture;
        store.settingsSheetDismissed(selected, extensions, {QStringLiteral("a")});
        QCOMPARE(selected, stored);
        QStringList lines = capture.lines();
        if (!line.isEmpty())
            QCOMPARE(lines.takeFirst(), line);
        QCOMPARE(lines.size(), 2);   // the two saves
        QCOMPARE(store.loadSelectedFileTypes(), stored);
        QCOMPARE(store.loadExcludedPatterns(), QStringList{QStringLiteral("a")});
        // Only Done stores the extensions.
        QVERIFY(!preferences.contains(SettingsStore::customExtensionsKey));
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
