// The window logic's history operations: select, delete one record by id and
// clear all, each with what it stores and what it does to the selection.

#include "history/HistoryStore.h"

#include "FakeDeviceService.h"
#include "StdoutCapture.h"
#include "TestMain.h"

namespace {

CleanHistory record(const char *id, const QString &device)
{
    CleanHistory r;
    r.id = QUuid::fromString(QLatin1String(id));
    r.deviceName = device;
    r.deviceID = QStringLiteral("/media/") + device;
    r.timestamp = QDateTime(QDate(2024, 1, 5), QTime(15, 4, 5), Qt::UTC);
    r.cleanedFileCount = 1;
    r.freedSpace = 4096;
    return r;
}

const char idA[] = "00000000-0000-4000-8000-00000000000a";
const char idB[] = "00000000-0000-4000-8000-00000000000b";
const char idC[] = "00000000-0000-4000-8000-00000000000c";
const char unknownId[] = "00000000-0000-4000-8000-0000000000ff";

QStringList devices(const QList<CleanHistory> &records)
{
    QStringList names;
    for (const CleanHistory &r : records)
        names << r.deviceName;
    return names;
}

} // namespace

class TestHistoryActions : public QObject
{
    Q_OBJECT

private slots:
    void deleteClearAndSelection()
    {
        testsupport::WindowRig rig;
        ContentView &view = rig.view;
        // Two records share an id (written by hand or by an old version): only the first goes.
        view.setCleanHistory({record(idA, "A1"), record(idB, "B"), record(idA, "A2"), record(idC, "C")});
        // Saves land in the background: settled first.
        const auto stored = [&] {
            rig.clock.settle();
            return rig.prefs.bytesValue(HistoryStore::key);
        };
        const auto savedLines = [](testsupport::StdoutCapture &out) {
            return out.lines().filter(QStringLiteral("历史记录已保存")).size();
        };

        // A tap selects; a tap on the selected record clears the selection.
        view.toggleHistorySelection(view.cleanHistory().at(1));
        QCOMPARE(view.selectedHistoryItem()->deviceName, QStringLiteral("B"));
        view.toggleHistorySelection(record(idB, "B, stored copy"));
        QVERIFY(!view.selectedHistoryItem());
        view.toggleHistorySelection(view.cleanHistory().at(1));

        QVERIFY(rig.clock.settle());
        {
            // Unknown id: nothing changes, nothing is written.
            testsupport::StdoutCapture out;
            const std::optional<QByteArray> before = stored();
            view.deleteHistoryRecord(QUuid::fromString(QLatin1String(unknownId)));
            QCOMPARE(devices(view.cleanHistory()), (QStringList{"A1", "B", "A2", "C"}));
            QCOMPARE(stored(), before);
            QCOMPARE(savedLines(out), 0);
        }
        {
            // Another record: the selection stays.
            testsupport::StdoutCapture out;
            view.deleteHistoryRecord(QUuid::fromString(QLatin1String(idA)));
            QCOMPARE(devices(view.cleanHistory()), (QStringList{"B", "A2", "C"}));
            QVERIFY(rig.clock.settle());
            QCOMPARE(devices(HistoryStore(rig.prefs).load()), (QStringList{"B", "A2", "C"}));
            QCOMPARE(view.selectedHistoryItem()->deviceName, QStringLiteral("B"));
            QCOMPARE(savedLines(out), 1);
        }
        // The selected record: the selection goes with it.
        view.deleteHistoryRecord(QUuid::fromString(QLatin1String(idB)));
        QCOMPARE(devices(view.cleanHistory()), (QStringList{"A2", "C"}));
        QVERIFY(!view.selectedHistoryItem());

        // Clear all: an empty array under the same key, the selection cleared;
        // clearing an empty history writes the empty array again.
        view.toggleHistorySelection(view.cleanHistory().at(0));
        view.clearAllHistory();
        QVERIFY(view.cleanHistory().isEmpty());
        QVERIFY(!view.selectedHistoryItem());
        QCOMPARE(stored(), std::optional<QByteArray>("[]"));
        rig.prefs.setBytes(HistoryStore::key, "[ ]");
        testsupport::StdoutCapture out;
        view.clearAllHistory();
        QCOMPARE(stored(), std::optional<QByteArray>("[]"));
        QCOMPARE(savedLines(out), 1);
    }

    // The stored history is read in the background once the window appears,
    // and comes in after it. Nothing stored is lost meanwhile: a clean that
    // ends first keeps its record ahead of the stored ones, one deleted
    // meanwhile stays deleted, clearing clears what was on its way too, and
    // a window that closes before the history came in stores it all.
    void storedHistoryComesInAfterTheWindow_data()
    {
        QTest::addColumn<QString>("meanwhile");
        QTest::addColumn<bool>("closeFirst");
        QTest::addColumn<QStringList>("after");
        const QStringList all{"A", "B", "C"};
        QTest::newRow("a clean ends") << QStringLiteral("add") << false << all;
        QTest::newRow("a clean ends, then the window closes") << QStringLiteral("add") << true << all;
        QTest::newRow("its record is deleted") << QStringLiteral("add, delete") << false << QStringList{"B", "C"};
        QTest::newRow("all is cleared") << QStringLiteral("add, clear") << false << QStringList{};
        QTest::newRow("nothing happens") << QString() << false << QStringList{"B", "C"};
    }

    void storedHistoryComesInAfterTheWindow()
    {
        QFETCH(QString, meanwhile);
        QFETCH(bool, closeFirst);
        QFETCH(QStringList, after);
        testsupport::WindowRig rig;
        HistoryStore(rig.prefs).save({record(idB, "B"), record(idC, "C")});
        rig.view.onAppearSetup();
        QVERIFY(rig.view.isLoadingHistory());
        QVERIFY(rig.view.cleanHistory().isEmpty());
        if (meanwhile.contains(QStringLiteral("add")))
            rig.view.addHistoryRecord(record(idA, "A"));
        if (meanwhile.contains(QStringLiteral("delete")))
            rig.view.deleteHistoryRecord(QUuid::fromString(QLatin1String(idA)));
        if (meanwhile.contains(QStringLiteral("clear")))
            rig.view.clearAllHistory();
        if (closeFirst)
            rig.view.waitForSaves();
        else
            QVERIFY(rig.clock.settle());
        QVERIFY(!rig.view.isLoadingHistory());
        QCOMPARE(devices(rig.view.cleanHistory()), after);
        QVERIFY(rig.clock.settle());
        QCOMPARE(devices(HistoryStore(rig.prefs).load()), after);
    }
};

SWEEPBROOK_TEST_MAIN(TestHistoryActions)
#include "test_history_actions.moc"
