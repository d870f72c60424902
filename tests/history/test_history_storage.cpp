#include "history/CleanHistory.h"
#include "history/HistoryStore.h"
#include "platform/Preferences.h"
#include "platform/Scheduler.h"

#include "StdoutCapture.h"
#include "TestMain.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QTemporaryDir>

namespace {

const QDateTime kReference(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);

CleanHistory stickRecord()
{
    return CleanHistory{QUuid::fromString(QStringLiteral("6f1b3c2a-9d4e-4f10-8a2b-0c1d2e3f4a5b")), "STICK",
                        "/media/u/STICK|sdb1", kReference.addMSecs(700000000250), 1, 6148, {"dsStore"},
                        {{".DS_Store", "/media/u/STICK/.DS_Store", 6148, "dsStore"}}};
}

const QByteArray kStickJson =
    R"([{"id":"6F1B3C2A-9D4E-4F10-8A2B-0C1D2E3F4A5B","deviceName":"STICK","deviceID":"\/media\/u\/STICK|sdb1",)"
    R"("timestamp":700000000.25,"cleanedFileCount":1,"freedSpace":6148,"fileTypes":["dsStore"],)"
    R"("cleanedFiles":[{"name":".DS_Store","path":"\/media\/u\/STICK\/.DS_Store","size":6148,"fileType":"dsStore"}]}])";

// operator== compares ids only; storage must keep every field.
void compareFields(const CleanHistory &a, const CleanHistory &b)
{
    QCOMPARE(std::tie(a.id, a.deviceName, a.deviceID, a.timestamp, a.cleanedFileCount, a.freedSpace, a.fileTypes),
             std::tie(b.id, b.deviceName, b.deviceID, b.timestamp, b.cleanedFileCount, b.freedSpace, b.fileTypes));
    QCOMPARE(a.cleanedFiles, b.cleanedFiles);
}

QByteArray goodRecordJson(const char *id)
{
    return QByteArray(R"({"id":")") + id +
           R"(","deviceName":"A","deviceID":"\/a","timestamp":1,"cleanedFileCount":1,"freedSpace":4,)"
           R"("fileTypes":["trash"],"cleanedFiles":[{"name":"x","path":"\/a\/x","size":4,"fileType":"trash"}]})";
}

const char kFirstId[] = "00000000-0000-4000-8000-000000000001";
const char kLastId[] = "00000000-0000-4000-8000-000000000003";

QByteArray amongGood(const QByteArray &bad)
{
    return "[" + goodRecordJson(kFirstId) + "," + bad + "," + goodRecordJson(kLastId) + "]";
}

} // namespace

class HistoryStorageTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        QFile::remove(path());
        m_preferences = std::make_unique<Preferences>(path());
    }

    void cleanup() { m_preferences.reset(); }

    void encodesOneRecordExactly() { QCOMPARE(HistoryCodec::encode({stickRecord()}), kStickJson); }

    void escapesStrings_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("quote and backslash") << QStringLiteral("a\"b\\c") << QByteArray("\"a\\\"b\\\\c\"");
        QTest::newRow("short escapes") << QStringLiteral("\b\f\n\r\t") << QByteArray("\"\\b\\f\\n\\r\\t\"");
        QTest::newRow("other controls") << QString::fromLatin1("\x01\x1f\x7f") << QByteArray("\"\\u0001\\u001f\x7f\"");
        QTest::newRow("non-ASCII as UTF-8") << QStringLiteral("Ü盘 📁") << QStringLiteral("\"Ü盘 📁\"").toUtf8();
        QTest::newRow("brackets, braces and commas") << QStringLiteral("]},[{\\") << QByteArray("\"]},[{\\\\\"");
    }

    void escapesStrings()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, json);
        CleanHistory record = stickRecord();
        record.deviceName = text;
        const QByteArray encoded = HistoryCodec::encode({record});
        QVERIFY2(encoded.contains("\"deviceName\":" + json + ",\"deviceID\""), encoded.constData());
        const auto decoded = HistoryCodec::decode(encoded);
        QVERIFY(decoded);
        QCOMPARE(decoded->records.value(0).deviceName, text);
    }

    void roundTripsEveryField()
    {
        // Before the reference date, beyond a double's exact integers, an unknown kind, a file of no kind.
        // A count beyond 32 bits.
        const CleanHistory newer{QUuid::createUuid(), "SD \"卡\"", "/run/media/x/SD", kReference.addMSecs(-1234),
                                 (qint64(1) << 53) + 3,
                                 (qint64(1) << 60) + 1, {"trash", "noLongerAKind"},
                                 {{"a", "/run/media/x/SD/a", 1, QString()}, {"b", "/run/media/x/SD/b", qint64(1) << 60, "trash"}}};
        const QList<CleanHistory> records{newer, stickRecord(), CleanHistory{QUuid::createUuid(), {}, {}, kReference, 0, 0, {}, {}}};

        HistoryStore store(*m_preferences);
        store.save(records);
        Preferences reopened(path());
        testsupport::StdoutCapture capture;
        const auto loaded = HistoryStore(reopened).read();
        QCOMPARE(capture.lines(), QStringList{QStringLiteral("已加载3条历史记录")});
        QVERIFY(loaded);
        QCOMPARE(loaded->size(), records.size());
        for (int i = 0; i < records.size(); ++i)
            compareFields(loaded->at(i), records.at(i));
    }

    // Other writers' spellings of the same record read the same and encode back to the golden bytes.
    void readsOtherSpellings_data()
    {
        QTest::addColumn<QByteArray>("json");
        QByteArray plain = kStickJson;
        QTest::newRow("plain slashes") << plain.replace("\\/", "/");
        QTest::newRow("spaces and line breaks between everything")
            << QJsonDocument::fromJson(kStickJson).toJson(QJsonDocument::Indented).replace("[", "\r\n[\t");
        QTest::newRow("keys in any order, unknown ones") << QByteArray(
            R"([{"cleanedFiles":[{"fileType":"dsStore","size":6148,"path":"/media/u/STICK/.DS_Store","name":".DS_Store","extra":1}],)"
            R"("fileTypes":["dsStore"],"freedSpace":6148,"cleanedFileCount":1,"timestamp":700000000.25,"deviceID":"/media/u/STICK|sdb1",)"
            R"("deviceName":"STICK","id":"6F1B3C2A-9D4E-4F10-8A2B-0C1D2E3F4A5B","note":"from elsewhere"}])");
    }

    void readsOtherSpellings()
    {
        QFETCH(QByteArray, json);
        const auto decoded = HistoryCodec::decode(json);
        QVERIFY(decoded);
        QCOMPARE(decoded->skipped, 0);
        compareFields(decoded->records.value(0), stickRecord());
        QCOMPARE(HistoryCodec::encode(decoded->records), kStickJson);
    }

    void skipsOnlyTheDamagedRecord_data()
    {
        QTest::addColumn<QByteArray>("bad");
        QTest::addColumn<QString>("problem");
        const char id[] = "00000000-0000-4000-8000-000000000002";
        const struct { const char *row, *from, *to, *problem; } edits[] = {
            {"file entry lacks fileType", R"(,"fileType":"trash")", "", "\"fileType\" is missing"},
            {"record lacks id", R"("id":"00000000-0000-4000-8000-000000000002",)", "", "\"id\" is missing"},
            {"malformed UUID", "-8000-", "-80G0-", "not a UUID"},
            {"UUID in braces", R"("00000000-0000-4000-8000-000000000002")", R"("{00000000-0000-4000-8000-000000000002}")",
             "not a UUID"},
            {"fractional count", R"("cleanedFileCount":1)", R"("cleanedFileCount":1.5)", "\"cleanedFileCount\" is not an integer"},
            {"size as text", R"("size":4)", R"("size":"4")", "\"size\" is not an integer"},
            {"timestamp as date text", R"("timestamp":1)", R"("timestamp":"2024-01-01T00:00:00Z")", "\"timestamp\""},
            {"kind list holds a number", R"(["trash"])", R"(["trash",3])", "\"fileTypes\""},
            {"negative count", R"("cleanedFileCount":1)", R"("cleanedFileCount":-5)", "\"cleanedFileCount\" is negative"},
            {"negative freed space", R"("freedSpace":4)", R"("freedSpace":-1)", "\"freedSpace\" is negative"},
            {"negative file size", R"("size":4)", R"("size":-4)", "\"size\" is negative"},
        };
        for (const auto &edit : edits)
            QTest::newRow(edit.row) << goodRecordJson(id).replace(edit.from, edit.to) << QString::fromUtf8(edit.problem);
        QTest::newRow("not an object") << QByteArray("42") << QStringLiteral("not an object");
    }

    void skipsOnlyTheDamagedRecord()
    {
        QFETCH(QByteArray, bad);
        QFETCH(QString, problem);
        const auto decoded = HistoryCodec::decode(amongGood(bad));
        QVERIFY(decoded);
        QCOMPARE(decoded->skipped, 1);
        QCOMPARE(decoded->records.size(), 2);
        QVERIFY(decoded->records[0].id == QUuid(kFirstId) && decoded->records[1].id == QUuid(kLastId));
        QCOMPARE(decoded->problems.size(), 1);
        const QString &text = decoded->problems.at(0);
        QVERIFY2(text.startsWith(QStringLiteral("record 2 of 3: ")) && text.contains(problem), qPrintable(text));
    }

    // The damaged record alone is kept aside: the others are read, and the
    // next save writes them back.
    void keepsDamagedHistoryBeforeTheNextSave()
    {
        const QByteArray damaged = amongGood("{}");
        m_preferences->setBytes(HistoryStore::key, damaged);
        HistoryStore store(*m_preferences);

        QList<CleanHistory> records;
        {
            testsupport::StdoutCapture capture;
            records = store.load();
            QCOMPARE(capture.lines().value(1), QStringLiteral("无法完整读取的历史记录原始数据已备份到 cleanHistoryBackup"));
        }
        QCOMPARE(records.size(), 2);
        QCOMPARE(m_preferences->bytesValue(HistoryStore::backupKey), QByteArray("[{}]"));
        using Kept = HistoryStore::KeptAside;
        QCOMPARE(store.takeKeptAside(), std::optional(Kept{HistoryStore::backupKey, 1}));   // to tell, once
        QVERIFY(!store.takeKeptAside());

        records.prepend(stickRecord());
        store.save(records);
        QCOMPARE(m_preferences->bytesValue(HistoryStore::key), HistoryCodec::encode(records));
        QCOMPARE(m_preferences->bytesValue(HistoryStore::backupKey), QByteArray("[{}]"));

        // Reading the same damage again keeps one copy; different damage gets a
        // key of its own instead of replacing the first.
        m_preferences->setBytes(HistoryStore::key, damaged);
        store.load();
        QCOMPARE(store.backupKeys(), QStringList{HistoryStore::backupKey});
        QVERIFY(!store.takeKeptAside());   // told already
        m_preferences->setBytes(HistoryStore::key, "[1]");
        store.load();
        QCOMPARE(store.backupKeys(), (QStringList{HistoryStore::backupKey, HistoryStore::backupKey + u'2'}));
        QCOMPARE(store.takeKeptAside(), std::optional(Kept{HistoryStore::backupKey + u'2', 1}));
        QCOMPARE(m_preferences->bytesValue(HistoryStore::backupKey), QByteArray("[{}]"));
        QCOMPARE(m_preferences->bytesValue(HistoryStore::backupKey + u'2'), QByteArray("[1]"));
    }

    // One damaged record among many: the stored file keeps it once, beside
    // the records read, and does not grow by a second copy of the history.
    void oneDamagedRecordIsNotCopiedWhole()
    {
        QList<CleanHistory> good;
        for (int i = 0; i < 400; ++i) {
            CleanHistory record = stickRecord();
            record.id = QUuid::createUuid();
            record.cleanedFiles = QList<CleanedFileDetail>(20, record.cleanedFiles.first());
            good.append(record);
        }
        const QByteArray bad = goodRecordJson("00000000-0000-4000-8000-000000000002").replace(R"(,"fileType":"trash")", "");
        m_preferences->setBytes(HistoryStore::key, "[" + bad + "," + HistoryCodec::encode(good).mid(1));
        QVERIFY(m_preferences->flush());
        const qint64 stored = QFileInfo(path()).size();

        m_preferences = std::make_unique<Preferences>(path());   // a later start
        HistoryStore store(*m_preferences);
        const QList<CleanHistory> read = store.load();
        QCOMPARE(read.size(), good.size());
        store.save(read);
        QVERIFY(m_preferences->flush());
        QCOMPARE(m_preferences->bytesValue(HistoryStore::backupKey), "[" + bad + "]");
        const qint64 after = QFileInfo(path()).size();
        QVERIFY2(after < stored + stored / 20, qPrintable(QStringLiteral("%1 bytes, then %2").arg(stored).arg(after)));
        QCOMPARE(HistoryStore(*m_preferences).load().size(), good.size());
    }

    void unreadableHistoryIsKeptAndReportedAsAFailure_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("error");
        QTest::newRow("object") << QByteArray(R"({"id":"x"})") << QStringLiteral("not a JSON array");
        QTest::newRow("truncated") << kStickJson.left(40) << QStringLiteral("not valid JSON");
        QTest::newRow("empty") << QByteArray() << QStringLiteral("not valid JSON");
        // Records are read one by one: what lies between and around them is checked too.
        QTest::newRow("cut inside a record") << kStickJson.left(kStickJson.size() - 30) << QStringLiteral("not valid JSON");
        QTest::newRow("a comma too many") << QByteArray(kStickJson).insert(kStickJson.size() - 1, ",") << QStringLiteral("not valid JSON");
        QTest::newRow("two records without a comma")
            << QByteArray(kStickJson).insert(kStickJson.size() - 1, kStickJson.mid(1, kStickJson.size() - 2)) << QStringLiteral("not valid JSON");
        QTest::newRow("more after the array") << kStickJson + "[]" << QStringLiteral("not valid JSON");
        QTest::newRow("a broken value in a record") << QByteArray(kStickJson).replace("6148,", "61 48,") << QStringLiteral("not valid JSON");
        QTest::newRow("a string never closed") << QByteArray("[\"abc]") << QStringLiteral("not valid JSON");
    }

    void unreadableHistoryIsKeptAndReportedAsAFailure()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, error);
        m_preferences->setBytes(HistoryStore::key, bytes);
        HistoryStore store(*m_preferences);
        testsupport::StdoutCapture capture;
        const bool read = store.read().has_value();
        const bool loaded = !store.load().isEmpty();
        const QStringList lines = capture.lines();
        QVERIFY(!read && !loaded);
        QVERIFY2(lines.value(0).startsWith(QStringLiteral("加载历史记录失败: ") + error), qPrintable(lines.join(u'\n')));
        QCOMPARE(m_preferences->bytesValue(HistoryStore::backupKey), bytes);
        QCOMPARE(store.backupKeys().size(), 1);
    }

    // A value of another type, or data the store cannot decode, is not ours
    // to overwrite: it is kept aside as it stands.
    void keepsAValueOfAnotherType_data()
    {
        QTest::addColumn<QByteArray>("entry");
        QTest::newRow("text") << QByteArray(R"([{"type":"string","value":"[]"}])");
        QTest::newRow("damaged data") << QByteArray(R"([{"type":"bytes","value":"not base64!"}])");
        QTest::newRow("a type of another version") << QByteArray(R"([{"type":"plist","value":{"a":1}}])");
    }

    void keepsAValueOfAnotherType()
    {
        QFETCH(QByteArray, entry);
        m_preferences->setStoredEntry(HistoryStore::key, entry);
        HistoryStore store(*m_preferences);
        testsupport::StdoutCapture capture;
        QVERIFY(!store.read());
        QVERIFY(capture.lines().value(0).startsWith(QStringLiteral("加载历史记录失败: ")));
        store.save({stickRecord()});
        store.read();   // the saved history reads; nothing more is kept
        QCOMPARE(store.backupKeys(), QStringList{HistoryStore::backupKey});
        QCOMPARE(m_preferences->storedEntry(HistoryStore::backupKey), QJsonDocument::fromJson(entry).toJson(QJsonDocument::Compact));
        QVERIFY(m_preferences->flush());
        QCOMPARE(Preferences(path()).storedEntry(HistoryStore::backupKey), m_preferences->storedEntry(HistoryStore::backupKey));
    }

    // Saves in the background land in the order they were asked for.
    void backgroundSavesKeepTheirOrder()
    {
        VirtualScheduler pool;
        QList<CleanHistory> records;
        {
            HistoryStore store(*m_preferences, &pool);
            for (int i = 0; i < 40; ++i) {
                CleanHistory record = stickRecord();
                record.id = QUuid::createUuid();
                // Older saves are the larger ones here, so they take longer to encode.
                record.cleanedFiles = QList<CleanedFileDetail>((40 - i) * 200, record.cleanedFiles.first());
                records.prepend(record);
                store.save(records.mid(0, 1 + i % 3));
            }
        }   // waits for its saves
        QCOMPARE(HistoryStore(*m_preferences).load().size(), 1 + 39 % 3);
        QCOMPARE(HistoryStore(*m_preferences).load().first().id, records.first().id);
    }

    // Nothing stored is not an empty history: only the latter reads as a list.
    void absentVersusEmpty()
    {
        HistoryStore store(*m_preferences);
        testsupport::StdoutCapture capture;
        const auto absent = store.read();
        store.save({});
        const auto empty = store.read();
        QCOMPARE(capture.lines().value(0), QStringLiteral("未找到历史记录数据"));
        QVERIFY(!absent && empty && empty->isEmpty());
        QCOMPARE(m_preferences->bytesValue(HistoryStore::key), QByteArray("[]"));
        QVERIFY(store.backupKeys().isEmpty());
    }

private:
    QString path() const { return m_dir.filePath(QStringLiteral("preferences.json")); }

    QTemporaryDir m_dir;
    std::unique_ptr<Preferences> m_preferences;
};

SWEEPBROOK_TEST_MAIN(HistoryStorageTest)
#include "test_history_storage.moc"
