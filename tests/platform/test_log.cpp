#include "platform/Log.h"

#include "platform/FileNames.h"
#include "platform/LinesInOrder.h"

#include "StdoutCapture.h"
#include "TestMain.h"

#include <atomic>
#include <chrono>
#include <new>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include <unistd.h>

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
        // Bytes that are no UTF-8 pass as they are, but for 0x80-0x9F, the
        // controls of an 8-bit terminal (0x9B opens an escape sequence).
        QCOMPARE(escapedControlBytes("bad\xff\xfe\n"), QByteArray("bad\xff\xfe\\x0a"));
        QCOMPARE(escapedControlBytes("csi \x9b" "2J, caf\xe9\x85 \xe4\xb8\xad"),
                 QByteArray("csi \\x9b" "2J, caf\xe9\\x85 \xe4\xb8\xad"));
    }

    // A line given as bytes comes out as the same line given as text would:
    // escaped alike, and what is no UTF-8 (stray bytes, overlong forms,
    // surrogates, beyond U+10FFFF, cut short) replaced alike.
    void bytesAsText()
    {
        const QByteArray rows[] = {
            "发现._文件: /media/u/STICK/._照片.jpg", "tab\there\x1b[2J", "c1 \xc2\x9b and \xe2\x80\xa8 sep",
            "latin1 caf\xe9", "overlong \xc0\xaf \xe0\x80\xaf", "surrogate \xed\xa0\x80", "big \xf4\x90\x80\x80",
            "cut \xe6\x97", "four \xf0\x9f\x93\xb7 ok", "\xe2\x80\xa9\xc2\x85\x7f", "1252 gap \x81, \x85 and \x80",
        };
        for (const QByteArray &bytes : rows) {
            testsupport::StdoutCapture asText;
            logLine(QString::fromUtf8(bytes));
            const QByteArray expected = asText.bytes();
            testsupport::StdoutCapture asBytes;
            logUtf8(bytes);
            QCOMPARE(asBytes.bytes(), expected);
            // Gathered to be written later: the same bytes, split anywhere between text and path.
            for (const qsizetype split : {qsizetype(0), bytes.size() / 2}) {
                QByteArray lines;
                const QByteArray text = bytes.first(split);
                appendLogLine(lines, text.constData(), QByteArrayView(bytes).sliced(split));
                QCOMPARE(lines, expected);
            }
            // A path among the pieces of a line reads as in the line made as
            // text: as people read file names, or as pathText reads it.
            const QString tail = QStringLiteral(", error: ") + QChar(0x85) + QStringLiteral("照");
            for (const bool asName : {true, false}) {
                testsupport::StdoutCapture whole;
                logLine(QStringLiteral("File: ") + (asName ? decodeFileName(bytes) : pathText(bytes)) + tail);
                const QByteArray line = whole.bytes();
                QByteArray lines;
                appendLogPieces(lines, {"File: ", asName ? loggedFileName(bytes) : loggedPathText(bytes), loggedText(tail)});
                QCOMPARE(lines, line);
                testsupport::StdoutCapture asPieces;
                logPieces({"File: ", asName ? loggedFileName(bytes) : loggedPathText(bytes), loggedText(tail)});
                QCOMPARE(asPieces.bytes(), line);
            }
        }
    }

    // Whether a line shows bytes as they are (read eight at a time where
    // they are plain) is what the text itself says, at every length and
    // wherever a byte to escape, or one of no valid sequence, stands.
    void plainTextAtAnyLength()
    {
        const QByteArray plain = "._photo-2024 05 ~abcdefgh";
        const QByteArray pieces[] = {"\x01", "\x1f", "\x7f", "\xc2\x85", "\xe2\x80\xa8", "\xff", "\xe6\x97",
                                     "\xed\xa0\x80", "\xc3\xa9", "\xe4\xb8\xad", " "};
        for (qsizetype length = 0; length <= plain.size(); ++length) {
            QVERIFY(isLoggedAsItIs(plain.first(length)));
            for (qsizetype at = 0; at <= length; ++at) {
                for (const QByteArray &piece : pieces) {
                    const QByteArray text = plain.first(at) + piece + plain.sliced(at, length - at);
                    const QString read = QString::fromUtf8(text);
                    QCOMPARE(isLoggedAsItIs(text), read.toUtf8() == text && escapedControls(read) == read);
                }
            }
        }
    }

    // Pieces of lines made on several threads come out in their order, each
    // once; one its maker gives back (or fails to make) is made in its turn
    // on the writing thread, after what came before. Never more than two a
    // helper are made ahead of the writing.
    void linesInOrder()
    {
        constexpr qsizetype kPieces = 60;
        for (const int helpers : {0, 1, 3}) {
            linesinorder::setHelperCount(helpers);
            std::atomic<int> ahead{0}, mostAhead{0};
            const auto make = [&](qsizetype piece, QByteArray &lines) {
                if (piece % 11 == 5)
                    throw std::runtime_error("could not make it");
                std::this_thread::sleep_for(std::chrono::microseconds(piece % 3 * 200));
                const int now = ++ahead;
                for (int seen = mostAhead.load(); seen < now && !mostAhead.compare_exchange_weak(seen, now);) {
                }
                if (piece % 7 == 3)
                    return false;
                for (int line = 0; line < 3; ++line)
                    lines += "piece " + QByteArray::number(piece) + " line " + QByteArray::number(line) + '\n';
                return true;
            };
            QStringList expected;
            const auto inTurn = [&](qsizetype piece, bool made) {
                if (piece % 11 != 5)
                    --ahead;
                if (!made)
                    logLine(QStringLiteral("piece %1 in its turn").arg(piece));
            };
            for (qsizetype piece = 0; piece < kPieces; ++piece) {
                if (piece % 7 == 3 || piece % 11 == 5)
                    expected << QStringLiteral("piece %1 in its turn").arg(piece);
                else
                    for (int line = 0; line < 3; ++line)
                        expected << QStringLiteral("piece %1 line %2").arg(piece).arg(line);
            }
            testsupport::StdoutCapture capture;
            {
                const LogStep step;
                linesinorder::write(kPieces, make, inTurn);
            }
            QCOMPARE(capture.lines(), expected);
            QVERIFY2(mostAhead.load() <= std::max(1, 2 * helpers), qPrintable(QString::number(mostAhead.load())));

            // Without an inTurn, a piece whose maker failed once is made
            // again on the writing thread: no line is lost.
            std::vector<std::atomic<bool>> failedOnce(kPieces);
            const auto flaky = [&](qsizetype piece, QByteArray &lines) {
                if (piece % 4 == 1 && !failedOnce[size_t(piece)].exchange(true))
                    throw std::bad_alloc();
                lines += "piece " + QByteArray::number(piece) + '\n';
                return true;
            };
            QStringList everyPiece;
            for (qsizetype piece = 0; piece < kPieces; ++piece)
                everyPiece << QStringLiteral("piece %1").arg(piece);
            testsupport::StdoutCapture again;
            {
                const LogStep step;
                linesinorder::write(kPieces, flaky);
            }
            QCOMPARE(again.lines(), everyPiece);
        }
        linesinorder::setHelperCount(-1);
    }

    // Lines held by a capture come out where they are written, as they would
    // have; an inner capture holds its own; other threads' lines go out meanwhile.
    void capturesHoldLines()
    {
        testsupport::StdoutCapture capture;
        QByteArray held, inner;
        {
            LogCapture outer;
            logLine(QStringLiteral("held \n one"));
            {
                LogCapture nested;
                logUtf8("inner");
                inner = nested.finish();
            }
            std::thread([] { logLine(QStringLiteral("elsewhere")); }).join();
            logUtf8("held two");
            held = outer.finish();
            logLine(QStringLiteral("after"));
        }
        QCOMPARE(inner, QByteArray("inner\n"));
        logCaptured(held);
        QCOMPARE(capture.lines(), (QStringList{"elsewhere", "after", "held \\x0a one", "held two"}));
    }

    // Inside a step the lines wait and come out together, in order, when it
    // ends; outside one each goes out at once.
    void stepsGatherLines()
    {
        testsupport::StdoutCapture capture;
        std::optional<LogStep> step(std::in_place);
        logLine(QStringLiteral("one"));
        {
            const LogStep inner;
            logUtf8("two");
        }
        const off_t gathered = ::lseek(STDOUT_FILENO, 0, SEEK_CUR);
        step.reset();
        logLine(QStringLiteral("three"));
        QCOMPARE(gathered, off_t(0));
        QCOMPARE(capture.lines(), (QStringList{"one", "two", "three"}));
    }
};

SWEEPBROOK_TEST_MAIN(TestLog)
#include "test_log.moc"
