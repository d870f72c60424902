// The shipped string tables against the code: each of the thirteen parses
// without an error and holds exactly the keys the code uses, with the
// placeholders of the English text.

#include "localization/StringsFile.h"
#include "TestMain.h"

#include <QDirIterator>
#include <QMap>
#include <QRegularExpression>

namespace {

const QStringList kTables = {"en", "zh-Hans", "zh-Hant", "ar", "fr", "de", "ja", "ko", "it", "pl", "pt", "ru", "es"};

// Snake-case literals in src/ that name something other than a text.
const QStringList kNotKeys = {"no_log", "dot_clean", "binfmt_misc", "rpc_pipefs", "user_id", "qt_msgbox_label",
                               "qt_msgbox_informativelabel"};

QString sourceDir()
{
    return QString::fromLocal8Bit(qgetenv("SWEEPBROOK_SOURCE_DIR"));
}

QString tablePath(const QString &code)
{
    return sourceDir() + QStringLiteral("/src/localization/lproj/") + code + QStringLiteral(".lproj/Localizable.strings");
}

QHash<QString, QString> table(const QString &code)
{
    return loadStringsFile(tablePath(code)).entries;
}

// The C++ literal's text as the table spells the key (only the escapes keys use).
QString unescapeCpp(QString text)
{
    text.replace(QStringLiteral("\\n"), QStringLiteral("\n"));
    text.replace(QStringLiteral("\\\""), QStringLiteral("\""));
    text.replace(QStringLiteral("\\\\"), QStringLiteral("\\"));
    return text;
}

struct Literal
{
    QString text;
    QString where;   // "src/...:line"
    bool lookedUp;   // the literal is the argument of a lookup
};

// Every string literal of src/, and whether a lookup takes it.
QList<Literal> sourceLiterals()
{
    static const QRegularExpression literal(QStringLiteral("\"((?:[^\"\\\\\\n]|\\\\.)*)\""));
    static const QRegularExpression lookup(
        QStringLiteral("\\b(?:localized|mainTableLocalized)\\s*\\(\\s*(?:QStringLiteral\\s*\\(\\s*)?u?$"));
    QList<Literal> found;
    QDirIterator files(sourceDir() + QStringLiteral("/src"), {QStringLiteral("*.cpp"), QStringLiteral("*.h")},
                       QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            qFatal("cannot read %s", qPrintable(path));
        const QString text = QString::fromUtf8(file.readAll());
        for (auto match = literal.globalMatch(text); match.hasNext();) {
            const QRegularExpressionMatch m = match.next();
            const qsizetype start = m.capturedStart();
            const QString before = text.mid(std::max<qsizetype>(0, start - 80), std::min<qsizetype>(start, 80));
            const int line = int(QStringView(text).left(start).count(u'\n')) + 1;
            found.append({unescapeCpp(m.captured(1)),
                          QDir(sourceDir()).relativeFilePath(path) + u':' + QString::number(line),
                          before.contains(lookup)});
        }
    }
    return found;
}

// The placeholders of a format as position -> kind ("@", "int", "float"):
// sequential ones numbered from 1 in order, positional ones by their number.
// A text that mixes the two, or gives one position two kinds, is an error.
std::optional<QMap<int, QString>> signature(const QString &text, QString *problem)
{
    static const QRegularExpression placeholder(QStringLiteral("%(?:(\\d+)\\$)?[-0]?\\d*(?:\\.\\d+)?(ll|l)?([@diuf%])"));
    QMap<int, QString> result;
    int next = 1;
    bool sequential = false, positional = false;
    for (auto match = placeholder.globalMatch(text); match.hasNext();) {
        const QRegularExpressionMatch m = match.next();
        const QString conversion = m.captured(3);
        if (conversion == u"%")
            continue;
        const QString kind = conversion == u"@" ? QStringLiteral("@") : conversion == u"f" ? QStringLiteral("float")
                                                                                              : QStringLiteral("int");
        int position = next++;
        if (m.hasCaptured(1)) {
            position = m.captured(1).toInt();
            positional = true;
        } else {
            sequential = true;
        }
        if (result.contains(position) && result.value(position) != kind) {
            *problem = QStringLiteral("position %1 is both %2 and %3").arg(position).arg(result.value(position), kind);
            return std::nullopt;
        }
        result.insert(position, kind);
    }
    if (sequential && positional) {
        *problem = QStringLiteral("mixes numbered and unnumbered placeholders");
        return std::nullopt;
    }
    return result;
}

QString describe(const QMap<int, QString> &signature)
{
    QStringList parts;
    for (auto it = signature.cbegin(); it != signature.cend(); ++it)
        parts << QStringLiteral("%1:%2").arg(it.key()).arg(it.value());
    return u'[' + parts.join(u' ') + u']';
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

    // Thirteen tables, each read without an error and without a key given twice.
    void tablesParseCleanly()
    {
        const QDir root(sourceDir() + QStringLiteral("/src/localization/lproj"));
        QStringList folders = root.entryList({QStringLiteral("*.lproj")}, QDir::Dirs);
        QStringList expected;
        for (const QString &code : kTables)
            expected << code + QStringLiteral(".lproj");
        folders.sort();
        expected.sort();
        QCOMPARE(folders, expected);

        static const QRegularExpression entryStart(QStringLiteral("^\"((?:[^\"\\\\]|\\\\.)*)\"\\s*="),
                                                   QRegularExpression::MultilineOption);
        for (const QString &code : kTables) {
            const StringsFileResult parsed = loadStringsFile(tablePath(code));
            QVERIFY2(parsed.errorCount == 0, qPrintable(code));
            QFile file(tablePath(code));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QSet<QString> seen;
            QStringList twice;
            for (auto m = entryStart.globalMatch(QString::fromUtf8(file.readAll())); m.hasNext();) {
                const QString key = m.next().captured(1);
                if (seen.contains(key))
                    twice << key;
                seen.insert(key);
            }
            QVERIFY2(twice.isEmpty(), qPrintable(code + QStringLiteral(" gives these keys twice: ") + twice.join(u", ")));
        }
    }

    // Every key the code looks up is in English, and every table holds exactly
    // the English keys: none missing, none left over.
    void everyTableHoldsEveryUsedKey()
    {
        const QHash<QString, QString> english = table(QStringLiteral("en"));
        static const QRegularExpression snakeCase(QStringLiteral("^[a-z][a-z0-9]*(?:_[a-z0-9]+)+$"));
        QStringList missing;
        int lookups = 0;
        for (const Literal &literal : sourceLiterals()) {
            // Keys are looked up directly, or named in tables (kinds, steps, symbols) as snake case.
            const bool key = literal.lookedUp || (snakeCase.match(literal.text).hasMatch() && !kNotKeys.contains(literal.text));
            lookups += literal.lookedUp;
            if (key && !english.contains(literal.text))
                missing << literal.where + QStringLiteral(": \"") + literal.text + u'"';
        }
        QVERIFY(lookups > 100);
        QVERIFY2(missing.isEmpty(), qPrintable(QStringLiteral("keys missing from en.lproj:\n") + missing.join(u'\n')));

        QStringList problems;
        for (const QString &code : kTables) {
            const QHash<QString, QString> entries = table(code);
            QStringList absent, extra;
            for (auto it = english.cbegin(); it != english.cend(); ++it) {
                if (!entries.contains(it.key()))
                    absent << it.key();
            }
            for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
                if (!english.contains(it.key()))
                    extra << it.key();
            }
            absent.sort();
            extra.sort();
            if (!absent.isEmpty())
                problems << code + QStringLiteral(" lacks: ") + absent.join(u", ");
            if (!extra.isEmpty())
                problems << code + QStringLiteral(" has keys English lacks: ") + extra.join(u", ");
        }
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
    }

    // A key nothing in src/ names is a text no one sees.
    void noTableHoldsAnUnusedKey()
    {
        QSet<QString> literals;
        for (const Literal &literal : sourceLiterals())
            literals.insert(literal.text);
        QStringList unused;
        const QHash<QString, QString> english = table(QStringLiteral("en"));
        for (auto it = english.cbegin(); it != english.cend(); ++it) {
            if (!literals.contains(it.key()))
                unused << it.key();
        }
        unused.sort();
        QVERIFY2(unused.isEmpty(), qPrintable(QStringLiteral("keys nothing uses: ") + unused.join(u", ")));
    }

    // Each text takes the arguments of the English one: the same kinds at the
    // same positions, in order or numbered.
    void placeholderSignaturesMatch()
    {
        QCOMPARE(describe(*signature(QStringLiteral("%@ and %d%% of %lld"), nullptr)), QStringLiteral("[1:@ 2:int 3:int]"));
        QCOMPARE(describe(*signature(QStringLiteral("%2$d then %1$@"), nullptr)), QStringLiteral("[1:@ 2:int]"));
        QString why;
        QVERIFY(!signature(QStringLiteral("%1$@ %@"), &why));

        const QHash<QString, QString> english = table(QStringLiteral("en"));
        QStringList problems;
        for (const QString &code : kTables) {
            const QHash<QString, QString> entries = table(code);
            for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
                if (!english.contains(it.key()))
                    continue;
                QString problem;
                const auto own = signature(it.value(), &problem);
                const auto reference = signature(english.value(it.key()), &problem);
                if (!own || !reference)
                    problems << QStringLiteral("%1 \"%2\": %3").arg(code, it.key(), problem);
                else if (*own != *reference)
                    problems << QStringLiteral("%1 \"%2\": %3, English %4")
                                    .arg(code, it.key(), describe(*own), describe(*reference));
            }
        }
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
    }
};

SWEEPBROOK_TEST_MAIN(TestStringKeys)
#include "test_string_keys.moc"
