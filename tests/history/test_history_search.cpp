// The record detail's search: which entries a text shows, and that narrowing
// the previous matches while the user types gives what a full search gives.

#include "history/HistorySearch.h"

#include "TestMain.h"

#include <QRandomGenerator>

namespace {

CleanedFileDetail entry(const QString &path, const QString &kind)
{
    return {path.section(u'/', -1), path, 100, kind};
}

const QList<CleanedFileDetail> files = {
    entry(QStringLiteral("/media/S/.DS_Store"), QStringLiteral("dsStore")),
    entry(QStringLiteral("/media/S/Photos/._IMG_1.JPG"), QStringLiteral("appleDouble")),
    entry(QStringLiteral("/media/S/Photos/Thumbs.db"), QStringLiteral("thumbsDb")),
    entry(QStringLiteral("/media/S/My Docs/report.tmp"), QStringLiteral("temporaryFiles")),
    entry(QStringLiteral("/media/S/Ünïcode/Über.log"), QStringLiteral("systemLogs")),
    entry(QStringLiteral("/media/S/cache/x"), QStringLiteral("OldCacheKind")),
    entry(QStringLiteral("/media/S/unknown"), QString()),
    entry(QStringLiteral("/media/S/renamed_meta"), QStringLiteral("dsStore")),
};

QList<qsizetype> shown(const HistorySearch &search)
{
    QList<qsizetype> rows;
    for (qsizetype row = 0; row < search.count(); ++row)
        rows << search.fileIndex(row);
    return rows;
}

// What the search must show, the slow way.
QList<qsizetype> reference(const QList<CleanedFileDetail> &all, const QString &text)
{
    QList<qsizetype> rows;
    for (qsizetype i = 0; i < all.size(); ++i) {
        const CleanedFileDetail &f = all[i];
        if (text.isEmpty() || f.name.contains(text, Qt::CaseInsensitive) || f.path.contains(text, Qt::CaseInsensitive)
            || f.fileType.contains(text, Qt::CaseInsensitive))
            rows << i;
    }
    return rows;
}

} // namespace

class TestHistorySearch : public QObject
{
    Q_OBJECT

private slots:
    void matchesNamePathAndKind_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QList<qsizetype>>("rows");
        QTest::newRow("empty: all, in stored order") << QString() << QList<qsizetype>{0, 1, 2, 3, 4, 5, 6, 7};
        QTest::newRow("kind's raw value, not in name or path") << QStringLiteral("ds") << QList<qsizetype>{0, 7};
        QTest::newRow("capitals") << QStringLiteral("DS_STORE") << QList<qsizetype>{0};
        QTest::newRow("folder in the path") << QStringLiteral("photos/") << QList<qsizetype>{1, 2};
        QTest::newRow("one space, untrimmed") << QStringLiteral(" ") << QList<qsizetype>{3};
        QTest::newRow("non-ASCII, other case") << QStringLiteral("üBER") << QList<qsizetype>{4};
        QTest::newRow("unknown kind string") << QStringLiteral("oldcache") << QList<qsizetype>{5};
        QTest::newRow("display name is not searched") << QStringLiteral("Folder Metadata") << QList<qsizetype>{};
        QTest::newRow("nothing") << QStringLiteral("zzz") << QList<qsizetype>{};
    }

    void matchesNamePathAndKind()
    {
        QFETCH(QString, text);
        QFETCH(QList<qsizetype>, rows);
        HistorySearch search(files);
        search.setText(text);
        QCOMPARE(shown(search), rows);
    }

    // Typing, deleting and pasting in any order shows exactly what a fresh
    // search of the same text shows.
    void narrowingAgreesWithAFreshSearch()
    {
        QList<CleanedFileDetail> many;
        const QStringList parts{"a", "b", "A", "ab", "._", "DS", "ü", "Ü", " "};
        auto *random = QRandomGenerator::global();
        for (int i = 0; i < 400; ++i) {
            QString name;
            for (int k = 0; k < 3; ++k)
                name += parts[random->bounded(int(parts.size()))];
            many << CleanedFileDetail{name, QStringLiteral("/m/") + parts[random->bounded(int(parts.size()))] + name,
                                      1, parts[random->bounded(int(parts.size()))]};
        }
        HistorySearch search(many);
        QString text;
        for (int step = 0; step < 300; ++step) {
            const int action = random->bounded(4);
            if (action == 0 && !text.isEmpty())
                text.chop(1);
            else if (action == 1)
                text = parts[random->bounded(int(parts.size()))];
            else
                text += parts[random->bounded(int(parts.size()))];
            if (text.size() > 4)
                text = text.right(2);
            search.setText(text);
            QCOMPARE(shown(search), reference(many, text));
        }
        search.setFiles(many);   // another record starts unfiltered
        QVERIFY(search.text().isEmpty());
        QCOMPARE(search.count(), many.size());
    }
};

SWEEPBROOK_TEST_MAIN(TestHistorySearch)
#include "test_history_search.moc"
