#include "platform/Scheduler.h"

#include "Patience.h"
#include "TestMain.h"

#include <QSemaphore>
#include <QThread>
#include <QtTest>

#include <atomic>

using namespace std::chrono_literals;

namespace {

// A task recording its name and the scheduler's clock.
Scheduler::Task stamp(QStringList &trace, Scheduler &s, const QString &what)
{
    return [&trace, &s, what] { trace.append(QStringLiteral("%1@%2").arg(what).arg(s.now().count())); };
}

} // namespace

class TestScheduler : public QObject
{
    Q_OBJECT

private slots:
    void virtualOrdering()
    {
        // Same instant: scheduling order, whether post or zero-delay timer; a task's
        // own posts and zero-delay timers run within the same runDue.
        VirtualScheduler s;
        QStringList trace;
        s.after(0ms, stamp(trace, s, "t1"));
        s.post(stamp(trace, s, "p1"));
        s.after(0ms, stamp(trace, s, "t2"));
        s.post([&] {
            s.post([&] { s.post(stamp(trace, s, "nested2")); trace.append("nested1"); });
            s.after(0ms, stamp(trace, s, "nestedTimer"));
        });
        s.after(1ms, stamp(trace, s, "later"));
        QCOMPARE(s.runDue(), 7);
        QCOMPARE(trace, (QStringList{"t1@0", "p1@0", "t2@0", "nested1", "nestedTimer@0", "nested2@0"}));
        QCOMPARE(s.pendingCount(), 1);

        // Different delays run in due order whatever the scheduling order; the clock
        // reads each task's due time, and work scheduled by a task joins in.
        VirtualScheduler v;
        QStringList t;
        v.after(300ms, stamp(t, v, "c"));
        v.after(100ms, [&] {
            stamp(t, v, "a")();
            v.after(50ms, stamp(t, v, "fromA"));
            v.post(stamp(t, v, "postFromA"));
        });
        v.after(200ms, stamp(t, v, "b"));
        v.after(150ms, stamp(t, v, "sameAsFromA"));   // due with fromA, scheduled earlier
        QCOMPARE(v.advance(250ms), 5);
        QCOMPARE(t, (QStringList{"a@100", "postFromA@100", "sameAsFromA@150", "fromA@150", "b@200"}));
        QCOMPARE(v.now(), 250ms);
        QCOMPARE(v.advance(50ms), 1);
        QCOMPARE(t.last(), QString("c@300"));
    }

    void virtualRepeatsAndCancels()
    {
        VirtualScheduler s;
        QList<qint64> ticks;
        const auto repeating = s.every(1000ms, [&] { ticks.append(s.now().count()); });
        QCOMPARE(s.advance(3500ms), 3);
        QCOMPARE(ticks, (QList<qint64>{1000, 2000, 3000}));
        s.cancel(repeating);
        s.advance(5000ms);
        QCOMPARE(ticks.size(), 3);

        // Cancelled while pending; by an earlier task due at the same instant; by
        // itself from inside its task; from a background thread before it was due.
        // Unknown ids are ignored.
        bool cancelledRan = false;
        const auto pending = s.after(10ms, [&] { cancelledRan = true; });
        Scheduler::TimerId victim = 0;
        s.after(20ms, [&] { s.cancel(victim); });
        victim = s.after(20ms, [&] { cancelledRan = true; });
        s.cancel(pending);
        s.cancel(987654);
        int selfRuns = 0;
        Scheduler::TimerId self = 0;
        self = s.every(10ms, [&] {
            if (++selfRuns == 3)
                s.cancel(self);
        });
        const auto fromBackground = s.every(10ms, [&] { cancelledRan = true; });
        s.runInBackground([&s, fromBackground] { s.cancel(fromBackground); });
        QVERIFY(s.settle());
        QCOMPARE(s.advance(1000ms), 1 + 3);
        QVERIFY(!cancelledRan);
        QCOMPARE(selfRuns, 3);
        QCOMPARE(s.pendingCount(), 0);
        s.cancel(victim);   // finished ids are ignored too
    }

    void virtualContextDestroyedDropsTasks()
    {
        VirtualScheduler s;
        int runs = 0;
        auto *context = new QObject;
        auto *survivor = new QObject(this);
        s.post([&] { ++runs; }, context);
        s.after(10ms, [&] { ++runs; }, context);
        const auto kept = s.every(10ms, [&] { runs += 100; }, survivor);
        QCOMPARE(s.advance(10ms), 3);   // the living context's timer runs, with its context
        QCOMPARE(runs, 102);

        s.post([&] { ++runs; }, context);
        s.every(10ms, [&] { ++runs; }, context);
        delete context;
        s.advance(30ms);
        QCOMPARE(runs, 402);   // only the survivor's three ticks
        QCOMPARE(s.pendingCount(), 1);   // the dead context's repeating timer is gone
        s.cancel(kept);
        delete survivor;
    }

    void virtualBackgroundAndSettle()
    {
        VirtualScheduler s;
        QThread *const testThread = QThread::currentThread();

        // The value arrives on the test's thread, computed elsewhere.
        std::atomic<QThread *> workThread{nullptr};
        QString text;
        QThread *doneThread = nullptr;
        s.background([&] { workThread = QThread::currentThread(); return QStringLiteral("växt"); },
                     [&](const QString &v) { text = v; doneThread = QThread::currentThread(); }, this);
        QVERIFY(s.settle());
        QCOMPARE(text, QStringLiteral("växt"));
        QCOMPARE(doneThread, testThread);
        QVERIFY(workThread.load() && workThread.load() != testThread);

        // A context destroyed before the result is delivered: done never runs,
        // whether it dies before or after the work finishes.
        bool lateDone = false;
        auto *context = new QObject;
        s.background([] { return 1; }, [&](int) { lateDone = true; }, context);
        auto *context2 = new QObject;
        QSemaphore finishWork;
        s.background([&] { finishWork.acquire(); return 2; }, [&](int) { lateDone = true; }, context2);
        delete context;
        delete context2;
        finishWork.release();
        QVERIFY(s.settle());
        QVERIFY(!lateDone);

        // Posts from many threads at once all land.
        int received = 0;
        for (int job = 0; job < 8; ++job)
            s.runInBackground([&] {
                for (int i = 0; i < 200; ++i)
                    s.post([&] { ++received; });
            });
        QVERIFY(s.settle());
        QCOMPARE(received, 1600);

        // settle() gives up on a job that does not finish, and does not advance time.
        bool timerRan = false;
        s.after(10ms, [&] { timerRan = true; });
        QSemaphore release;
        s.runInBackground([&] { release.acquire(); });
        QVERIFY(!s.settle(50ms));
        release.release();
        QVERIFY(s.settle());
        QVERIFY(!timerRan);
        QCOMPARE(s.now(), 0ms);
    }

    void qtPostsRunInFifoOrderOnMainThread()
    {
        QtScheduler s;
        QList<int> order, expected;
        bool allOnMain = true;
        auto record = [&](int n) {
            return [&, n] {
                allOnMain = allOnMain && QThread::currentThread() == thread();
                order.append(n);
            };
        };
        for (int i = 0; i < 50; ++i)
            s.post(record(i));
        s.runInBackground([&] {
            for (int i = 50; i < 100; ++i)
                s.post(record(i));
        });
        for (int i = 0; i < 100; ++i)
            expected.append(i);
        QTRY_COMPARE_WITH_TIMEOUT(order, expected, testsupport::kPatience);
        QVERIFY(allOnMain);

        // background() delivers on the main thread; a destroyed context drops a
        // queued post and a background result.
        QString value;
        QThread *doneThread = nullptr;
        bool deadRan = false;
        auto *dead = new QObject;
        s.post([&] { deadRan = true; }, dead);
        s.background([] { return QStringLiteral("done"); },
                     [&](QString v) { value = v; doneThread = QThread::currentThread(); });
        s.background([] { return 5; }, [&](int) { deadRan = true; }, dead);
        delete dead;
        QTRY_COMPARE_WITH_TIMEOUT(value, QStringLiteral("done"), testsupport::kPatience);
        QCOMPARE(doneThread, thread());
        QVERIFY(s.waitForBackground(30s));
        bool marker = false;
        s.post([&] { marker = true; });
        QTRY_VERIFY_WITH_TIMEOUT(marker, testsupport::kPatience);
        QVERIFY(!deadRan);
    }

    void qtTimersAndCancel()
    {
        QtScheduler s;
        // A one-shot runs once; repeating timers keep going until cancelled from
        // outside or inside, or until their context dies.
        int once = 0, repeats = 0, selfRuns = 0, contextRuns = 0;
        s.after(1ms, [&] { ++once; });
        const auto repeating = s.every(2ms, [&] { ++repeats; });
        Scheduler::TimerId self = 0;
        self = s.every(1ms, [&] {
            if (++selfRuns == 3)
                s.cancel(self);
        });
        auto *context = new QObject;
        s.every(1ms, [&] {
            if (++contextRuns == 2)
                delete context;
        }, context);
        bool deadRan = false;
        auto *dead = new QObject;
        s.after(0ms, [&] { deadRan = true; }, dead);
        delete dead;

        // Cancelled from a background thread before the main thread created the timer.
        std::atomic<bool> cancelledRan{false};
        s.runInBackground([&] { s.cancel(s.after(0ms, [&] { cancelledRan = true; })); });
        QVERIFY(s.waitForBackground(30s));

        QTRY_VERIFY_WITH_TIMEOUT(repeats >= 5 && selfRuns == 3 && contextRuns == 2, testsupport::kPatience);
        s.cancel(repeating);
        const int atCancel = repeats;
        bool marker = false;
        s.after(20ms, [&] { marker = true; });
        QTRY_VERIFY_WITH_TIMEOUT(marker, testsupport::kPatience);
        QCOMPARE(once, 1);
        QCOMPARE(repeats, atCancel);
        QCOMPARE(selfRuns, 3);
        QCOMPARE(contextRuns, 2);
        QVERIFY(!deadRan);
        QVERIFY(!cancelledRan.load());
    }

    void qtBackgroundDoesNotStarve()
    {
        // 32 jobs that each wait until all have started: a fixed pool of ideal size would hang.
        QSemaphore gate;
        std::atomic<int> started{0}, finished{0};
        QtScheduler s;
        for (int i = 0; i < 32; ++i)
            s.runInBackground([&] {
                if (++started == 32)
                    gate.release(31);
                else
                    gate.acquire();
                ++finished;
            });
        const bool finishedInTime = s.waitForBackground(60s);
        gate.release(32);   // on failure, lets the scheduler's destructor return
        QVERIFY(finishedInTime);
        QCOMPARE(finished.load(), 32);
    }
};

SWEEPBROOK_TEST_MAIN(TestScheduler)
#include "test_scheduler.moc"
