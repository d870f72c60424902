#include "platform/Log.h"

#include "StdoutCapture.h"
#include "TestMain.h"

// A name printed in a diagnostic can neither end its line, forge the next
// one nor drive a terminal: control characters come out as escapes; all
// other text, any script, as it is.
class TestLog : public QObject
{
    Q_OBJECT

private slots:
    void controlCharactersAreEscaped()
    {
        const std::pair<QString, QString> rows[] = {
            {QStringLiteral("a\nSystemCleanHelper: Successfully deleted: /etc"), QStringLiteral("a\\x0aSystemCleanHelper: Successfully deleted: /etc")},
            {QStringLiteral("\x1b]0;title\x07\x1b[2J"), QStringLiteral("\\x1b]0;title\\x07\\x1b[2J")},
            {QStringLiteral("tab\there\rdel\x7f"), QStringLiteral("tab\\x09here\\x0ddel\\x7f")},
            {QString(QChar(0x9b)) + QStringLiteral("31m") + QChar(0x2028) + QChar(0x85), QStringLiteral("\\u009b31m\\u2028\\u0085")},
            {QStringLiteral("照片 café ._x \\x0a"), QStringLiteral("照片 café ._x \\x0a")},
        };
        for (const auto &[text, shown] : rows) {
            testsupport::StdoutCapture capture;
            logLine(text);
            QCOMPARE(capture.lines(), QStringList{shown});
            QCOMPARE(escapedControlBytes(text.toUtf8()), shown.toUtf8());
        }
        // Bytes that are no UTF-8 pass as they are.
        QCOMPARE(escapedControlBytes("bad\xff\xfe\n"), QByteArray("bad\xff\xfe\\x0a"));
    }
};

SWEEPBROOK_TEST_MAIN(TestLog)
#include "test_log.moc"
