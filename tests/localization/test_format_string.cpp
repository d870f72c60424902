#include "localization/Localization.h"
#include "TestMain.h"

class TestFormatString : public QObject
{
    Q_OBJECT

private slots:
    void fills_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QVariantList>("arguments");
        QTest::addColumn<QString>("expected");
        const QString hostile = QStringLiteral("My %d %1$@ %@ Stick");

        QTest::newRow("plain") << "100% sure, 50%" << QVariantList{} << "100% sure, 50%";
        QTest::newRow("object and int") << "%@ holds %d files" << QVariantList{"USB", 3} << "USB holds 3 files";
        QTest::newRow("percent") << "%d%% done" << QVariantList{42} << "42% done";
        QTest::newRow("integers") << "%d %i %ld %lld %u" << QVariantList{1, -2, qint64(3000000000), 4, 5u}
                                  << "1 -2 3000000000 4 5";

        // Text from arguments is never read as a format.
        QTest::newRow("hostile name") << "Clean \"%@\" (%d items) on %@?" << QVariantList{hostile, 5, "sdb1"}
                                      << "Clean \"My %d %1$@ %@ Stick\" (5 items) on sdb1?";
        QTest::newRow("hostile positional") << "%2$@: %1$@" << QVariantList{"%%", "%n %2$@"} << "%n %2$@: %%";
        QTest::newRow("hostile last") << "%@" << QVariantList{"%@"} << "%@";

        QTest::newRow("reorder") << "%2$@ before %1$@" << QVariantList{"a", "b"} << "b before a";
        QTest::newRow("repeat") << "%1$@/%1$@ %2$d" << QVariantList{"x", 7} << "x/x 7";

        // Missing arguments and unknown conversions stay as written.
        QTest::newRow("missing sequential") << "%@ and %@ and %d" << QVariantList{"x"} << "x and %@ and %d";
        QTest::newRow("missing positional") << "%3$@ %1$@" << QVariantList{"a", "b"} << "%3$@ a";
        QTest::newRow("unknown") << "%s %n %q %0$@ %" << QVariantList{"a", "b"} << "%s %n %q %0$@ %";
        QTest::newRow("unknown before real") << "%-%d" << QVariantList{9} << "%-9";
        QTest::newRow("absurd width") << "%123456d|" << QVariantList{1} << "%123456d|";

        QTest::newRow("width") << "[%5d][%-5d][%05d][%05d]" << QVariantList{42, 42, 42, -42}
                               << "[   42][42   ][00042][-0042]";
        QTest::newRow("object width") << "[%6@][%-6@][%2@]" << QVariantList{"ab", "ab", "long"}
                                      << "[    ab][ab    ][long]";
        QTest::newRow("fixed") << "%f %.2f %.0f %8.3f %-7.1f|" << QVariantList{1.5, 3.14159, 2.4, 2.0, -1.24}
                               << "1.500000 3.14 2    2.000 -1.2   |";
        QTest::newRow("positional width") << "%2$03d-%1$.1f" << QVariantList{0.26, 7} << "007-0.3";
        QTest::newRow("text for a number") << "%d files" << QVariantList{"many"} << "many files";
    }

    void fills()
    {
        QFETCH(QString, format);
        QFETCH(QVariantList, arguments);
        QFETCH(QString, expected);
        QCOMPARE(formatString(format, arguments), expected);
    }

    void longAndTemplated()
    {
        const QString name = QString(100000, u'%') + QStringLiteral("d");
        const QString out = formatString(QStringLiteral("<%@> %d"), {name, 3});
        QCOMPARE(out, u'<' + name + QStringLiteral("> 3"));
        QCOMPARE(format(QStringLiteral("%@ (%d)"), QStringLiteral("Stick"), 12), QStringLiteral("Stick (12)"));
    }
};

SWEEPBROOK_TEST_MAIN(TestFormatString)
#include "test_format_string.moc"
