// What the history window shows for stored strings, decided without widgets:
// symbols, colours and names of kind strings (unknown ones too), the kinds
// line and the files card.

#include "history/views/HistoryPresentation.h"
#include "localization/LanguageManager.h"
#include "localization/Localization.h"
#include "toolkit/Presentation.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"

#include "TestMain.h"

#include <QTemporaryDir>

class TestHistoryPresentation : public QObject
{
    Q_OBJECT

private slots:
    void kindStrings()
    {
        struct Row
        {
            const char *raw;
            const char *symbol;
            ui::NamedColor color;
        };
        using ui::NamedColor;
        const Row rows[] = {
            {"dsStore", "doc.badge.gearshape", NamedColor::blue},      // a kind: its own table
            {"temporaryFiles", "clock", NamedColor::purple},
            {"custom", "doc.badge.plus", NamedColor::indigo},
            {"DSStore", "doc", NamedColor::gray},                       // raw values match exactly
            {"", "doc", NamedColor::gray},                              // a file in no scan group
            {"TempFiles", "clock", NamedColor::blue},                   // words, any case
            {"BrowserCACHE", "flame", NamedColor::orange},
            {"oldTrash", "trash", NamedColor::red},
            {"Thumbnails", "photo", NamedColor::green},
            {"tempCache", "clock", NamedColor::blue},                   // temp is tested first
            {"Ünknown", "doc", NamedColor::gray},
        };
        for (const Row &row : rows) {
            const QString raw = QString::fromUtf8(row.raw);
            QCOMPARE(HistoryKinds::iconName(raw), QLatin1String(row.symbol));
            QVERIFY2(HistoryKinds::color(raw) == row.color, row.raw);
            QVERIFY2(ui::knownSymbols().contains(HistoryKinds::iconName(raw)), row.raw);
            const std::optional<FileType> kind = FileTypes::fromRawValue(raw);
            QCOMPARE(HistoryKinds::displayName(raw), kind ? FileTypes::displayName(*kind) : raw);
        }
    }

    void rowTexts()
    {
        QVERIFY(!historyText::kinds({}));
        QCOMPARE(historyText::kinds({QStringLiteral("dsStore"), QStringLiteral("no such kind"), QStringLiteral("trash")}),
                 format(localized(QStringLiteral("clean_types")),
                        QStringList{FileTypes::displayName(FileType::dsStore), QStringLiteral("no such kind"),
                                    FileTypes::displayName(FileType::trash)}
                            .join(localized(QStringLiteral("list_separator")))));
        QCOMPARE(historyText::cleanedCount(12), format(localized(QStringLiteral("cleaned_file_count")), 12));
        QCOMPARE(historyText::freed(6148),
                 localized(QStringLiteral("total_freed")) + QLatin1Char(' ') + presentation::byteCountText(6148));
    }

    // The count goes where the text puts it; a text without one gets it in front.
    void filesCard()
    {
        QTemporaryDir dir;
        Preferences prefs(dir.filePath(QStringLiteral("prefs.json")));
        NotificationCenter center;
        LanguageManager language(prefs, center);
        LanguageManager::setShared(&language);
        const QList<std::pair<QByteArray, QString>> rows{
            {"%d files", QStringLiteral("3 files")},
            {"Dateien: %d", QStringLiteral("Dateien: 3")},
            {"%1$d 個檔案", QStringLiteral("3 個檔案")},
            {"files", QStringLiteral("3 files")},
        };
        for (const auto &[text, expected] : rows) {
            QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("lproj/en.lproj")));
            QFile table(dir.filePath(QStringLiteral("lproj/en.lproj/Localizable.strings")));
            QVERIFY(table.open(QIODevice::WriteOnly | QIODevice::Truncate));
            table.write("\"files_count\" = \"" + text + "\";\n");
            table.close();
            StringTables tables(dir.filePath(QStringLiteral("lproj")));
            StringTables::setShared(&tables);
            language.setLanguage(AppLanguage::fromRawValue(QStringLiteral("en")).value());
            QCOMPARE(historyText::filesCardValue(3), expected);
            StringTables::setShared(nullptr);
        }
        LanguageManager::setShared(nullptr);
    }
};

SWEEPBROOK_TEST_MAIN(TestHistoryPresentation)
#include "test_history_presentation.moc"
