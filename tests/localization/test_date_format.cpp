// Dates in the five formatter styles, in the locales of the interface
// languages: the weekday, the month's long name and the time zone are left
// out where a style leaves them out, with the separators that went with them.

#include "localization/DateFormat.h"

#include "TestMain.h"

class TestDateFormat : public QObject
{
    Q_OBJECT

private slots:
    void stylesInLocales_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<DateStyle>("date");
        QTest::addColumn<DateStyle>("time");
        QTest::addColumn<QString>("text");
        using S = DateStyle;
        // The history list (medium, short) and the record detail (full, medium).
        QTest::newRow("en list") << "en" << S::mediumStyle << S::shortStyle << "Jan 5, 2024 3:04 PM";
        QTest::newRow("en detail") << "en" << S::fullStyle << S::mediumStyle << "Friday, January 5, 2024 3:04:05 PM";
        QTest::newRow("zh-Hans list") << "zh-Hans" << S::mediumStyle << S::shortStyle << "2024年1月5日 15:04";
        QTest::newRow("zh-Hans detail") << "zh-Hans" << S::fullStyle << S::mediumStyle << "2024年1月5日星期五 15:04:05";
        QTest::newRow("de detail") << "de" << S::fullStyle << S::mediumStyle << "Freitag, 5. Januar 2024 15:04:05";
        QTest::newRow("es quoted words stay") << "es" << S::longStyle << S::mediumStyle
                                             << "5 de enero de 2024 15:04:05";
        QTest::newRow("ko weekday after words") << "ko" << S::longStyle << S::none << "2024년 1월 5일";
        QTest::newRow("short date only") << "en" << S::shortStyle << S::none << "1/5/24";
        QTest::newRow("time only") << "de" << S::none << S::shortStyle << "15:04";
        QTest::newRow("day period as AM/PM") << "zh-Hant" << S::none << S::mediumStyle << "下午3:04:05";
        QTest::newRow("none") << "en" << S::none << S::none << "";
    }

    void stylesInLocales()
    {
        QFETCH(QString, locale);
        QFETCH(DateStyle, date);
        QFETCH(DateStyle, time);
        QFETCH(QString, text);
        const QDateTime when(QDate(2024, 1, 5), QTime(15, 4, 5));   // local time
        QCOMPARE(DateFormatter(date, time, QLocale(locale)).string(when), text);
    }

    // Medium times carry no zone, however the locale wraps it.
    void mediumTimeDropsTheZone()
    {
        for (const char *name : {"en", "zh-Hans", "zh-Hant", "de", "ja", "ko", "es", "ar", "ru"}) {
            const QString pattern = DateFormatter(DateStyle::none, DateStyle::mediumStyle, QLocale(name)).pattern();
            QVERIFY2(!pattern.contains(u't') && !pattern.contains(u'[') && !pattern.contains(u'(')
                         && pattern == pattern.trimmed() && !pattern.isEmpty(),
                     qPrintable(QLatin1String(name) + QStringLiteral(": ") + pattern));
        }
    }

    void changesWithTheLocale()
    {
        DateFormatter formatter(DateStyle::mediumStyle, DateStyle::shortStyle, QLocale(QStringLiteral("en")));
        const QDateTime when(QDate(2024, 1, 5), QTime(15, 4, 5));
        const QString english = formatter.string(when);
        formatter.setLocale(QLocale(QStringLiteral("zh-Hans")));
        QCOMPARE(formatter.string(when), QStringLiteral("2024年1月5日 15:04"));
        QVERIFY(english != formatter.string(when));
        QVERIFY(formatter.string(QDateTime()).isEmpty());
    }
};

SWEEPBROOK_TEST_MAIN(TestDateFormat)
#include "test_date_format.moc"
