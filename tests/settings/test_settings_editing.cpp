// The editors' add and remove rules, as tables.

#include "settings/SettingsEditing.h"

#include "TestMain.h"

using Kinds = FileTypeSet;

class SettingsEditingTest : public QObject
{
    Q_OBJECT

private slots:
    // What a typed suffix adds to the list and to the selection.
    void addCustomExtension_data()
    {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<Kinds>("selectedBefore");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<bool>("customSelected");

        const Kinds none{FileType::trash};
        QTest::newRow("spaces and dots around") << QStringList() << none << " .LOG. \n" << QStringList{"LOG"} << true;
        // The scan compares what follows a name's last dot: "targz" could never match.
        QTest::newRow("double suffix keeps the last") << QStringList() << none << "tar.gz" << QStringList{"gz"} << true;
        QTest::newRow("a wildcard typed before it") << QStringList() << none << "*.txt" << QStringList{"txt"} << true;
        QTest::newRow("blank piece after a dot") << QStringList() << none << "bak. . " << QStringList{"bak"} << true;
        QTest::newRow("only dots") << QStringList() << none << "..." << QStringList() << false;
        QTest::newRow("only spaces") << QStringList() << none << "   " << QStringList() << false;
        QTest::newRow("listed") << QStringList{"log"} << none << "log" << QStringList{"log"} << false;
        QTest::newRow("listed after the last dot") << QStringList{"gz"} << none << "tar.gz" << QStringList{"gz"} << false;
        QTest::newRow("case makes another entry") << QStringList{"log"} << none << "Log" << QStringList{"log", "Log"}
                                                  << false;
        QTest::newRow("second suffix leaves the kind off")
            << QStringList{"bak"} << none << "old" << QStringList{"bak", "old"} << false;
        QTest::newRow("second suffix leaves the kind on")
            << QStringList{"bak"} << Kinds{FileType::custom} << "old" << QStringList{"bak", "old"} << true;
    }

    void addCustomExtension()
    {
        QFETCH(QStringList, before);
        QFETCH(Kinds, selectedBefore);
        QFETCH(QString, typed);
        QFETCH(QStringList, after);
        QFETCH(bool, customSelected);
        QStringList list = before;
        Kinds selected = selectedBefore;
        QCOMPARE(settings::addCustomExtension(list, selected, typed), after != before);
        QCOMPARE(list, after);
        QCOMPARE(selected.contains(FileType::custom), customSelected);
        QVERIFY(selected.contains(FileType::trash) == selectedBefore.contains(FileType::trash));
    }

    void removeCustomExtension()
    {
        const QList<std::tuple<QStringList, QString, QStringList, bool>> cases{
            // list, removed, left, custom still selected
            {{"gz", "bak", "gz"}, "gz", {"bak", "gz"}, true},   // the first equal entry only
            {{"gz"}, "gz", QStringList(), false},                         // the last one deselects the kind
            {{"gz"}, "GZ", {"gz"}, true},                      // nothing listed by that name
        };
        for (const auto &[list, removed, left, customSelected] : cases) {
            QStringList extensions = list;
            Kinds selected{FileType::custom, FileType::dsStore};
            QCOMPARE(settings::removeCustomExtension(extensions, selected, removed), left != list);
            QCOMPARE(extensions, left);
            QCOMPARE(selected, customSelected ? (Kinds{FileType::custom, FileType::dsStore}) : Kinds{FileType::dsStore});
        }
    }

    void excludedPatterns()
    {
        const QList<std::tuple<QStringList, QString, QStringList>> adds{
            {QStringList(), "  temp.log \t", {"temp.log"}},
            {{"temp.log"}, "temp.log", {"temp.log"}},
            {{"Thumbs.db"}, "thumbs.db", {"Thumbs.db", "thumbs.db"}},
            {QStringList(), "My *.DOCX", {"My *.DOCX"}},   // stars, dots, case and inner spaces stay
            {QStringList(), " \n ", QStringList()},
        };
        for (const auto &[list, typed, after] : adds) {
            QStringList patterns = list;
            QCOMPARE(settings::addExcludedPattern(patterns, typed), after != list);
            QCOMPARE(patterns, after);
        }
        QStringList patterns{"a*", "b", "a*"};
        QVERIFY(settings::removeExcludedPattern(patterns, "a*"));   // every equal entry
        QCOMPARE(patterns, QStringList{"b"});
        QVERIFY(!settings::removeExcludedPattern(patterns, "B"));
    }

    // The add buttons follow the trimmed text, even where the rule then adds nothing.
    void canAdd()
    {
        QVERIFY(settings::canAdd("..."));
        QVERIFY(settings::canAdd(" x "));
        QVERIFY(!settings::canAdd(" \n\t"));
    }
};

SWEEPBROOK_TEST_MAIN(SettingsEditingTest)
#include "test_settings_editing.moc"
