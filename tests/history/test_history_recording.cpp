#include "history/HistoryRecording.h"

#include "TestMain.h"

namespace {

FileItem item(const QString &path, qint64 size)
{
    return FileItem::fromPath(path, size);
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

QSet<QString> asSet(const QStringList &list)
{
    return QSet<QString>(list.cbegin(), list.cend());
}

} // namespace

class HistoryRecordingTest : public QObject
{
    Q_OBJECT

private slots:
    // Each entry's kind is that of the first group holding exactly its path.
    void normalCleanRecord()
    {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const FileItem otherCase = item(QStringLiteral("/media/S/.ds_store"), 1);
        const FileItem otherPath = item(QStringLiteral("/media/S/sub/.DS_Store"), 6148);
        const QList<FileItem> cleaned{kTrash, kElsewhere, kDouble, otherCase, otherPath};
        const FileTypeSet selected{FileType::dsStore, FileType::trash, FileType::systemLogs, FileType::spotlight,
                                   FileType::appleDouble};
        const CleanHistory record = makeRecord(QStringLiteral("S"), QStringLiteral("/media/S|sdb1"), cleaned, scanResult(),
                                               now, normalCleanKinds(selected, scanResult()));
        QCOMPARE(record.cleanedFileCount, 5);
        QCOMPARE(record.freedSpace, qint64(10 + 7 + 4096 + 1 + 6148));
        // Selected kinds with results, even those none of whose files went (dsStore).
        QCOMPARE(asSet(record.fileTypes), (QSet<QString>{QStringLiteral("dsStore"), QStringLiteral("appleDouble"),
                                                         QStringLiteral("trash")}));
        QCOMPARE(record.cleanedFiles,
                 (QList<CleanedFileDetail>{{kTrash.name(), kTrash.path(), 10, QStringLiteral("trash")},
                                           {kElsewhere.name(), kElsewhere.path(), 7, QString()},
                                           {kDouble.name(), kDouble.path(), 4096, QStringLiteral("appleDouble")},
                                           {otherCase.name(), otherCase.path(), 1, QString()},
                                           {otherPath.name(), otherPath.path(), 6148, QString()}}));
        QVERIFY(makeRecord({}, {}, cleaned, scanResult(), now).id != record.id);
    }

    // Five files of two kinds handed, three removed: the record holds the
    // removed ones and the kinds of the handed ones.
    void quickCleanRecord()
    {
        const FileItem store2 = item(QStringLiteral("/media/S/d/.DS_Store"), 6148);
        const FileItem store3 = item(QStringLiteral("/media/S/e/.DS_Store"), 6148);
        const FileItem double2 = item(QStringLiteral("/media/S/._b"), 4096);
        const ScanResult quick{{FileType::dsStore, {kStore, store2, store3}}, {FileType::appleDouble, {kDouble, double2}}};
        const QList<FileItem> removed{kStore, store2, store3};
        const QStringList kinds = quickCleanKinds(removed + QList<FileItem>{kDouble, double2, kElsewhere}, quick);
        QCOMPARE(asSet(kinds), (QSet<QString>{QStringLiteral("dsStore"), QStringLiteral("appleDouble")}));
        const CleanHistory record = makeRecord(QStringLiteral("S"), QStringLiteral("id"), removed, quick,
                                               QDateTime::currentDateTimeUtc(), kinds);
        QCOMPARE(record.cleanedFileCount, 3);
        QCOMPARE(record.freedSpace, qint64(3 * 6148));
        // Without a list, the kinds of the removed files themselves.
        QCOMPARE(makeRecord({}, {}, removed, quick, QDateTime::currentDateTimeUtc()).fileTypes,
                 QStringList{QStringLiteral("dsStore")});
    }
};

SWEEPBROOK_TEST_MAIN(HistoryRecordingTest)
#include "test_history_recording.moc"
