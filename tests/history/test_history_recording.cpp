#include "history/HistoryRecording.h"

#include "TestMain.h"

namespace {

FileItem item(const QString &path, qint64 size)
{
    return FileItem{path.section(u'/', -1), path, size, {}};
}

const FileItem kStore = item(QStringLiteral("/media/S/.DS_Store"), 6148);
const FileItem kDouble = item(QStringLiteral("/media/S/._a"), 4096);
const FileItem kTrash = item(QStringLiteral("/media/S/.Trashes/x"), 10);
const FileItem kElsewhere = item(QStringLiteral("/media/S/other"), 7);

ScanResult scanResult()
{
    return ScanResult{{FileType::dsStore, {kStore}},
                      {FileType::appleDouble, {kDouble}},
                      {FileType::trash, {kTrash, kDouble}},   // listed twice: the first group wins
                      {FileType::systemLogs, {}}};
}

} // namespace

class HistoryRecordingTest : public QObject
{
    Q_OBJECT

private slots:
    void kindLookup_data()
    {
        QTest::addColumn<FileItem>("file");
        QTest::addColumn<QString>("kind");
        QTest::newRow("own group") << kStore << QStringLiteral("dsStore");
        QTest::newRow("first of two groups") << kDouble << QStringLiteral("appleDouble");
        QTest::newRow("in no group") << kElsewhere << QString();
        QTest::newRow("case differs") << item(QStringLiteral("/media/S/.ds_store"), 1) << QString();
        QTest::newRow("same name, other path") << item(QStringLiteral("/media/S/sub/.DS_Store"), 6148) << QString();
    }

    void kindLookup()
    {
        QFETCH(FileItem, file);
        QFETCH(QString, kind);
        const auto type = fileTypeOf(file, scanResult());
        QCOMPARE(type ? FileTypes::rawValue(*type) : QString(), kind);
        QCOMPARE(detailEntries({file}, scanResult()),
                 (QList<CleanedFileDetail>{{file.name, file.path, file.size, kind}}));
    }

    void normalCleanRecord()
    {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const QList<FileItem> cleaned{kTrash, kElsewhere, kStore};
        const FileTypeSet selected{FileType::dsStore, FileType::trash, FileType::systemLogs, FileType::spotlight,
                                   FileType::appleDouble};
        const CleanHistory record = makeRecord(QStringLiteral("S"), QStringLiteral("/media/S|sdb1"), cleaned, scanResult(),
                                               now, normalCleanKinds(selected, scanResult()));
        QVERIFY(!record.id.isNull());
        QCOMPARE(record.deviceName, QStringLiteral("S"));
        QCOMPARE(record.deviceID, QStringLiteral("/media/S|sdb1"));
        QCOMPARE(record.timestamp, now);
        QCOMPARE(record.cleanedFileCount, 3);
        QCOMPARE(record.freedSpace, qint64(10 + 7 + 6148));
        // Selected kinds with results, even those none of whose files went.
        QCOMPARE(QSet<QString>(record.fileTypes.cbegin(), record.fileTypes.cend()),
                 (QSet<QString>{QStringLiteral("dsStore"), QStringLiteral("appleDouble"), QStringLiteral("trash")}));
        QCOMPARE(record.cleanedFiles,
                 (QList<CleanedFileDetail>{{kTrash.name, kTrash.path, 10, QStringLiteral("trash")},
                                           {kElsewhere.name, kElsewhere.path, 7, QString()},
                                           {kStore.name, kStore.path, 6148, QStringLiteral("dsStore")}}));
        QVERIFY(makeRecord({}, {}, cleaned, scanResult(), now).id != record.id);
    }

    void quickCleanRecord()
    {
        // Five files of two kinds handed, three removed: the record holds the
        // removed ones and the kinds of the handed ones.
        const FileItem store2 = item(QStringLiteral("/media/S/d/.DS_Store"), 6148);
        const FileItem store3 = item(QStringLiteral("/media/S/e/.DS_Store"), 6148);
        const FileItem double2 = item(QStringLiteral("/media/S/._b"), 4096);
        const ScanResult quick{{FileType::dsStore, {kStore, store2, store3}}, {FileType::appleDouble, {kDouble, double2}}};
        const QList<FileItem> handed{kStore, store2, store3, kDouble, double2, kElsewhere};
        const QList<FileItem> removed{kStore, store2, store3};

        const QStringList kinds = quickCleanKinds(handed, quick);
        QCOMPARE(QSet<QString>(kinds.cbegin(), kinds.cend()),
                 (QSet<QString>{QStringLiteral("dsStore"), QStringLiteral("appleDouble")}));
        const CleanHistory record = makeRecord(QStringLiteral("S"), QStringLiteral("id"), removed, quick,
                                               QDateTime::currentDateTimeUtc(), kinds);
        QCOMPARE(record.cleanedFileCount, 3);
        QCOMPARE(record.freedSpace, qint64(3 * 6148));
        QCOMPARE(record.fileTypes, kinds);
        QCOMPARE(record.cleanedFiles.size(), 3);
        // Without a list, the kinds of the removed files themselves.
        QCOMPARE(makeRecord({}, {}, removed, quick, QDateTime::currentDateTimeUtc()).fileTypes,
                 QStringList{QStringLiteral("dsStore")});
    }
};

SWEEPBROOK_TEST_MAIN(HistoryRecordingTest)
#include "test_history_recording.moc"
