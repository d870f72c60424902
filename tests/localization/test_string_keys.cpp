#include "localization/StringsFile.h"
#include "TestMain.h"

#include <QDirIterator>
#include <QRegularExpression>

namespace {

QString sourceDir()
{
    return QString::fromLocal8Bit(qgetenv("SWEEPBROOK_SOURCE_DIR"));
}

QString tablePath(const QString &code)
{
    return sourceDir() + QStringLiteral("/src/localization/lproj/") + code + QStringLiteral(".lproj/Localizable.strings");
}

// The C++ literal's text as the table spells the key (only the escapes keys use).
QString unescapeCpp(QString text)
{
    text.replace(QStringLiteral("\\n"), QStringLiteral("\n"));
    text.replace(QStringLiteral("\\\""), QStringLiteral("\""));
    text.replace(QStringLiteral("\\\\"), QStringLiteral("\\"));
    return text;
}

} // namespace

class TestStringKeys : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (sourceDir().isEmpty())
            QSKIP("SWEEPBROOK_SOURCE_DIR is not set (run through ctest)");
        QVERIFY(QFileInfo(tablePath(QStringLiteral("en"))).isFile());
    }

    void shippedTablesParseCleanly()
    {
        const QDir root(sourceDir() + QStringLiteral("/src/localization/lproj"));
        const QStringList folders = root.entryList({QStringLiteral("*.lproj")}, QDir::Dirs);
        QCOMPARE(folders.size(), 13);
        const QHash<QString, QString> english = loadStringsFile(tablePath(QStringLiteral("en"))).entries;
        for (const QString &folder : folders) {
            const QString code = folder.chopped(6);
            const StringsFileResult table = loadStringsFile(tablePath(code));
            QVERIFY2(table.errorCount == 0, qPrintable(folder));
            QVERIFY2(table.entries.contains(QStringLiteral("Language")), qPrintable(folder));
            // Every key of a translation must exist in English, the fallback of all.
            QStringList orphans;
            for (auto it = table.entries.cbegin(); it != table.entries.cend(); ++it) {
                if (!english.contains(it.key()))
                    orphans << it.key();
            }
            QVERIFY2(orphans.isEmpty(), qPrintable(folder + QStringLiteral(" has keys English lacks: ") + orphans.join(u", ")));
        }
    }

    void everyKeyInSourceIsInEnglish()
    {
        const QHash<QString, QString> english = loadStringsFile(tablePath(QStringLiteral("en"))).entries;
        // localized("k"), mainTableLocalized(QStringLiteral("k")), localized(u"k"_s), across line breaks too.
        static const QRegularExpression call(QStringLiteral(
            "\\b(?:localized|mainTableLocalized)\\s*\\(\\s*(?:QStringLiteral\\s*\\(\\s*)?u?\"((?:[^\"\\\\\\n]|\\\\.)*)\""));

        QStringList missing;
        int found = 0;
        QDirIterator files(sourceDir() + QStringLiteral("/src"), {QStringLiteral("*.cpp"), QStringLiteral("*.h")},
                           QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString path = files.next();
            QFile file(path);
            QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
            const QString text = QString::fromUtf8(file.readAll());
            for (auto match = call.globalMatch(text); match.hasNext();) {
                const QRegularExpressionMatch m = match.next();
                ++found;
                const QString key = unescapeCpp(m.captured(1));
                if (!english.contains(key)) {
                    const int line = int(QStringView(text).left(m.capturedStart()).count(u'\n')) + 1;
                    missing << QStringLiteral("%1:%2: \"%3\"")
                                   .arg(QDir(sourceDir()).relativeFilePath(path), QString::number(line), key);
                }
            }
        }
        QVERIFY(found > 0);   // at least the language picker's label
        QVERIFY2(missing.isEmpty(), qPrintable(QStringLiteral("keys missing from en.lproj:\n") + missing.join(u'\n')));
    }
};

SWEEPBROOK_TEST_MAIN(TestStringKeys)
#include "test_string_keys.moc"
