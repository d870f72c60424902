#include "localization/StringsFile.h"
#include "StdoutCapture.h"
#include "TestMain.h"

#include <QRandomGenerator>
#include <QStringEncoder>
#include <QTemporaryDir>

using testsupport::StdoutCapture;

namespace {

const QByteArray kLayoutSample = "/* header\n"
    "   \"fake\" = \"entry\"; inside a comment */\n"
    "// \"also\" = \"fake\";\n"
    "\"multi\"\n"
    "    =\n"
    "  \"line\" ;\n"
    "\"url\" = \"http://example.com/*not a comment*/\"; // trailing note\n"
    "bare_key.1 = value-2;\n"
    "\"dup\" = \"first\"; \"dup\" = \"second\";  /* two on one line */\n"
    "\"empty\" = \"\";\n"
    "\"unicode\" = \"Ünïcödé 中文\";\n"
    "\"tabs\"\t=\t\"a\tb\";\n";

} // namespace

class TestStringsFile : public QObject
{
    Q_OBJECT

private slots:
    void escapes()
    {
        const QByteArray input = "\"k\" = \"q\\\"b\\\\s\\nn\\tt\\rr\\0z\\'a\\U00e9\\UD83D\\UDE00\\U4E2D\";";
        const StringsFileResult result = parseStringsFile(input, QStringLiteral("escapes.strings"));
        QCOMPARE(result.errorCount, 0);
        const QString expected = QStringLiteral("q\"b\\s\nn\tt\rr") + QChar(u'\0') + QStringLiteral("z'aé😀中");
        QCOMPARE(result.entries.value(QStringLiteral("k")), expected);
    }

    void commentsAndLayout()
    {
        const StringsFileResult result = parseStringsFile(kLayoutSample, QStringLiteral("layout.strings"));
        QCOMPARE(result.errorCount, 0);
        const QHash<QString, QString> expected{
            {"multi", "line"},  {"url", "http://example.com/*not a comment*/"},
            {"bare_key.1", "value-2"}, {"dup", "second"}, {"empty", ""}, {"unicode", "Ünïcödé 中文"}, {"tabs", "a\tb"}};
        QCOMPARE(result.entries, expected);

        for (const QByteArray &nothing : {QByteArray(), QByteArray("  \n// only\n/* comments */\n")}) {
            const StringsFileResult empty = parseStringsFile(nothing, QStringLiteral("empty.strings"));
            QCOMPARE(empty.errorCount, 0);
            QVERIFY(empty.entries.isEmpty());
        }
    }

    void encodings()
    {
        const QString text = QStringLiteral("/* é */\n\"Language\" = \"Język 语言\";\n");
        QStringEncoder le(QStringConverter::Utf16LE);
        QStringEncoder be(QStringConverter::Utf16BE);
        const QList<std::pair<const char *, QByteArray>> inputs{
            {"utf-8", text.toUtf8()},
            {"utf-8 bom", "\xEF\xBB\xBF" + text.toUtf8()},
            {"utf-16le bom", QByteArray("\xFF\xFE") + QByteArray(le.encode(text))},
            {"utf-16be bom", QByteArray("\xFE\xFF") + QByteArray(be.encode(text))},
        };
        for (const auto &[name, bytes] : inputs) {
            const StringsFileResult result = parseStringsFile(bytes, QStringLiteral("enc.strings"));
            QVERIFY2(result.errorCount == 0, name);
            QCOMPARE(result.entries.value(QStringLiteral("Language")), QStringLiteral("Język 语言"));
        }

        // Bytes that are not UTF-8 are reported with their line; the entries still load.
        StdoutCapture capture;
        const StringsFileResult result =
            parseStringsFile("\"a\" = \"1\";\n\"b\" = \"\xFF\";\n", QStringLiteral("bytes.strings"));
        const QStringList log = capture.lines();
        QCOMPARE(result.errorCount, 1);
        QVERIFY2(log.value(0).startsWith(QStringLiteral("bytes.strings:2: ")), qPrintable(log.join(u'\n')));
        QCOMPARE(result.entries.size(), 2);
    }

    void badLineIsReportedAndSkipped_data()
    {
        QTest::addColumn<QByteArray>("badLine");
        QTest::addColumn<QString>("complaint");
        QTest::newRow("no closing quote") << QByteArray("\"b\" = \"2;") << "closing quote";
        QTest::newRow("no equals") << QByteArray("\"b\" \"2\";") << "\"=\"";
        QTest::newRow("key alone") << QByteArray("\"b\"") << "\"=\"";
        QTest::newRow("no semicolon") << QByteArray("\"b\" = \"2\"") << "\";\"";
        QTest::newRow("no value") << QByteArray("\"b\" = ;") << "value";
        QTest::newRow("garbage") << QByteArray("@@ \"b\" = \"2\";") << "key";
        QTest::newRow("unknown escape") << QByteArray("\"b\" = \"x\\qy\";") << "\\q";
        QTest::newRow("unknown escape in key") << QByteArray("\"b\\x\" = \"2\";") << "\\x";
        QTest::newRow("short \\U") << QByteArray("\"b\" = \"\\U12\";") << "4 hex digits";
        QTest::newRow("lone low surrogate") << QByteArray("\"b\" = \"\\UDC00\";") << "dc00";
        QTest::newRow("high surrogate alone") << QByteArray("\"b\" = \"\\UD83Dx\";") << "d83d";
        QTest::newRow("backslash at line end") << QByteArray("\"b\" = \"2\\") << "closing quote";
    }

    void badLineIsReportedAndSkipped()
    {
        QFETCH(QByteArray, badLine);
        QFETCH(QString, complaint);
        const QByteArray input = "\"a\" = \"1\";\n" + badLine + "\n\"c\" = \"3\";\n\"d\" =\n \"4\";\n";
        StdoutCapture capture;
        const StringsFileResult result = parseStringsFile(input, QStringLiteral("bad.strings"));
        const QStringList log = capture.lines();
        QCOMPARE(result.errorCount, 1);
        QCOMPARE(log.size(), 1);
        QVERIFY2(log[0].startsWith(QStringLiteral("bad.strings:2: ")) && log[0].contains(complaint), qPrintable(log[0]));
        const QHash<QString, QString> expected{{"a", "1"}, {"c", "3"}, {"d", "4"}};
        QCOMPARE(result.entries, expected);
    }

    void openCommentEndsTheFile()
    {
        StdoutCapture capture;
        const StringsFileResult result =
            parseStringsFile("\"a\" = \"1\";\n/* never closed\n\"b\" = \"2\";\n", QStringLiteral("c.strings"));
        QCOMPARE(result.errorCount, 1);
        QVERIFY2(capture.lines().value(0).startsWith(QStringLiteral("c.strings:2: ")), "no report of line 2");
        QCOMPARE(result.entries.keys(), QStringList{"a"});
    }

    // Every cut of a valid file and random bytes: always returns, never crashes.
    void anyInputEnds()
    {
        const QByteArray sample = kLayoutSample + "\"e\" = \"\\\"\\\\\\U00e9\\UD83D\\UDE00\";";
        QCOMPARE(parseStringsFile(sample, QStringLiteral("s")).errorCount, 0);
        QRandomGenerator random(20240517);
        int total = 0;
        StdoutCapture quiet;
        for (qsizetype cut = 0; cut <= sample.size(); ++cut)
            total += parseStringsFile(sample.left(cut), QStringLiteral("cut")).entries.size();
        for (int round = 0; round < 300; ++round) {
            static const char alphabet[] = "\"=;\\/*U \n\tab0\xFF";   // its final NUL too
            QByteArray noise(64, Qt::Uninitialized);
            for (char &byte : noise)
                byte = alphabet[random.bounded(int(sizeof alphabet))];
            total += parseStringsFile(noise, QStringLiteral("noise")).entries.size();
        }
        QVERIFY(total > 0);
    }

    void loadFromDisk()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Localizable.strings"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("\"k\" = \"v\";\n\"broken\n");
        file.close();

        StdoutCapture capture;
        StringsFileResult result = loadStringsFile(path);
        QCOMPARE(result.entries.value(QStringLiteral("k")), QStringLiteral("v"));
        result = loadStringsFile(dir.filePath(QStringLiteral("missing.strings")));
        QCOMPARE(result.errorCount, 1);
        QVERIFY(result.entries.isEmpty());
        const QStringList log = capture.lines();
        QCOMPARE(log.size(), 2);
        QVERIFY2(log[0].startsWith(path + QStringLiteral(":2: ")), qPrintable(log[0]));
        QVERIFY2(log[1].contains(QStringLiteral("missing.strings")), qPrintable(log[1]));
    }
};

SWEEPBROOK_TEST_MAIN(TestStringsFile)
#include "test_strings_file.moc"
