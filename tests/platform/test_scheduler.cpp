#include "platform/Scheduler.h"

#include "TestMain.h"

#include <QList>
#include <QMutex>
#include <QSemaphore>
#include <QStringList>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>

using namespace std::chrono_literals;

namespace {

// Thread-safe list of what ran, in order.
class Trace
{
public:
    void add(const QString &what)
    {
        QMutexLocker lock(&m_mutex);
        m_items.append(what);
    }
    QStringList items() const
    {
        QMutexLocker lock(&m_mutex);
        return m_items;
    }

private:
    mutable QMutex m_mutex;
    QStringList m_items;
};

// N jobs that each block until all N have started: only a pool that keeps
// starting threads finishes them. The returned gate lets a failing test unblock them.
std::shared_ptr<QSemaphore> startInterlockedJobs(Scheduler &scheduler, int jobs, std::atomic<int> &finished)
{
    auto gate = std::make_shared<QSemaphore>();
    auto started = std::make_shared<std::atomic<int>>(0);
    for (int i = 0; i < jobs; ++i) {
        scheduler.runInBackground([gate, started, jobs, &finished] {
            if (++*started == jobs)
                gate->release(jobs - 1);
            else
                gate->acquire();
            ++finished;
        });
    }
    return gate;
}

} // namespace

class TestScheduler : public QObject
{
    Q_OBJECT

private slots:
    void virtualOrdering();
    void virtualRepeatsAndCancels();
    void virtualContextDestroyedDropsTasks();
    void virtualBackgroundAndSettle();
    void sharedSchedulerCanBeReplaced();
    void qtPostsRunInFifoOrderOnMainThread();
    void qtTimersAndCancel();
    void qtBackgroundDoesNotStarve();
};

void TestScheduler::virtualOrdering()
{
    VirtualScheduler s;
    Trace trace;
    auto rec = [&](const QString &what) { return [&trace, &s, what] { trace.add(QStringLiteral("%1@%2").arg(what).arg(s.now().count())); }; };

    // Same instant: scheduling order, whether post or zero-delay timer.
    s.after(0ms, rec("t1"));
    s.post(rec("p1"));
    s.after(0ms, rec("t2"));
    // A task's own posts and zero-delay timers run within the same runDue.
    s.post([&] {
        trace.add("outer");
        s.post([&] { s.post(rec("nested2")); trace.add("nested1"); });
        s.after(0ms, rec("nestedTimer"));
    });
    s.after(1ms, rec("later"));
    QCOMPARE(s.runDue(), 7);
    QCOMPARE(trace.items(), (QStringList{"t1@0", "p1@0", "t2@0", "outer", "nested1", "nestedTimer@0", "nested2@0"}));
    QCOMPARE(s.pendingCount(), 1);

    // Different delays run in due order whatever the scheduling order; the clock
    // reads each task's due time, and work scheduled by a task joins in.
    VirtualScheduler v;
    Trace t;
    auto at = [&](const QString &what) { return [&t, &v, what] { t.add(QStringLiteral("%1@%2").arg(what).arg(v.now().count())); }; };
    v.after(300ms, at("c"));
    v.after(100ms, [&] {
        at("a")();
        v.after(50ms, at("fromA"));
        v.post(at("postFromA"));
    });
    v.after(200ms, at("b"));
    v.after(150ms, at("sameAsFromA"));   // due with fromA, scheduled earlier
    QCOMPARE(v.advance(250ms), 5);
    QCOMPARE(t.items(), (QStringList{"a@100", "postFromA@100", "sameAsFromA@150", "fromA@150", "b@200"}));
    QCOMPARE(v.now(), 250ms);
    QCOMPARE(v.runDue(), 0);
    QCOMPARE(v.advance(50ms), 1);
    QCOMPARE(t.items().last(), QString("c@300"));
}

void TestScheduler::virtualRepeatsAndCancels()
{
    VirtualScheduler s;
    QList<qint64> ticks;
    const auto repeating = s.every(1000ms, [&] { ticks.append(s.now().count()); });
    QCOMPARE(s.advance(3500ms), 3);
    QCOMPARE(ticks, (QList<qint64>{1000, 2000, 3000}));
    QCOMPARE(s.now(), 3500ms);
    s.advance(500ms);
    QCOMPARE(ticks.size(), 4);
    s.cancel(repeating);
    s.advance(5000ms);
    QCOMPARE(ticks.size(), 4);
    QCOMPARE(s.pendingCount(), 0);

    // Pending one-shot; one cancelled by an earlier task due at the same instant;
    // unknown and finished ids are ignored.
    bool pendingRan = false, victimRan = false;
    const auto pending = s.after(10ms, [&] { pendingRan = true; });
    Scheduler::TimerId victim = 0;
    s.after(20ms, [&] { s.cancel(victim); });
    victim = s.after(20ms, [&] { victimRan = true; });
    s.cancel(pending);
    s.cancel(0);
    s.cancel(987654);
    QCOMPARE(s.advance(100ms), 1);
    QVERIFY(!pendingRan);
    QVERIFY(!victimRan);
    s.cancel(victim);

    // A repeating timer cancelling itself from inside its task.
    int selfRuns = 0;
    Scheduler::TimerId self = 0;
    self = s.every(10ms, [&] {
        if (++selfRuns == 3)
            s.cancel(self);
    });
    s.advance(1000ms);
    QCOMPARE(selfRuns, 3);
    QCOMPARE(s.pendingCount(), 0);

    // Cancelled from a background thread, before it was due.
    int bgRuns = 0;
    const auto fromBackground = s.every(10ms, [&] { ++bgRuns; });
    s.runInBackground([&s, fromBackground] { s.cancel(fromBackground); });
    QVERIFY(s.settle());
    s.advance(100ms);
    QCOMPARE(bgRuns, 0);
}

void TestScheduler::virtualContextDestroyedDropsTasks()
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

void TestScheduler::virtualBackgroundAndSettle()
{
    VirtualScheduler s;
    QThread *const testThread = QThread::currentThread();

    // Values of several types arrive on the test's thread, computed elsewhere.
    std::atomic<QThread *> workThread{nullptr};
    QString text;
    bool flag = false;
    QList<int> numbers;
    QThread *doneThread = nullptr;
    s.background([&] { workThread = QThread::currentThread(); return QStringLiteral("växt"); },
                 [&](QString v) { text = v; doneThread = QThread::currentThread(); });
    s.background([] { return true; }, [&](bool v) { flag = v; });
    s.background([] { return QList<int>{1, 2, 3}; }, [&](const QList<int> &v) { numbers = v; }, this);
    QVERIFY(s.settle());
    QCOMPARE(text, QStringLiteral("växt"));
    QVERIFY(flag);
    QCOMPARE(numbers, (QList<int>{1, 2, 3}));
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

    // background -> post -> background -> post chains, all on the test's thread.
    Trace trace;
    s.runInBackground([&] {
        trace.add("bg1");
        s.post([&] {
            trace.add(QThread::currentThread() == testThread ? "main1" : "main1-wrong-thread");
            s.runInBackground([&] {
                trace.add("bg2");
                s.post([&] { trace.add("main2"); });
            });
        });
    });
    QVERIFY(s.settle());
    QCOMPARE(trace.items(), (QStringList{"bg1", "main1", "bg2", "main2"}));
    QCOMPARE(s.pendingCount(), 0);

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

void TestScheduler::sharedSchedulerCanBeReplaced()
{
    QVERIFY(dynamic_cast<QtScheduler *>(&Scheduler::shared()));
    VirtualScheduler virtualScheduler;
    Scheduler::setShared(&virtualScheduler);
    QCOMPARE(&Scheduler::shared(), static_cast<Scheduler *>(&virtualScheduler));
    Scheduler::setShared(nullptr);
    QVERIFY(dynamic_cast<QtScheduler *>(&Scheduler::shared()));
}

void TestScheduler::qtPostsRunInFifoOrderOnMainThread()
{
    QtScheduler s;
    QList<int> order;
    bool allOnMain = true;
    auto record = [&](int n) {
        return [&, n] {
            allOnMain = allOnMain && QThread::currentThread() == thread();
            order.append(n);
        };
    };
    for (int i = 0; i < 50; ++i)
        s.post(record(i));
    QTRY_COMPARE(order.size(), 50);

    s.runInBackground([&] {
        for (int i = 50; i < 100; ++i)
            s.post(record(i));
    });
    QTRY_COMPARE(order.size(), 100);
    for (int i = 0; i < 100; ++i)
        QCOMPARE(order.at(i), i);
    QVERIFY(allOnMain);

    // A destroyed context drops a queued post.
    bool ran = false, marker = false;
    auto *context = new QObject;
    s.post([&] { ran = true; }, context);
    delete context;
    s.post([&] { marker = true; });
    QTRY_VERIFY(marker);
    QVERIFY(!ran);

    // background() delivers on the main thread and skips a dead context.
    QString value;
    QThread *doneThread = nullptr;
    bool deadDone = false;
    auto *dead = new QObject;
    s.background([] { return QStringLiteral("done"); }, [&](QString v) { value = v; doneThread = QThread::currentThread(); });
    s.background([] { return 5; }, [&](int) { deadDone = true; }, dead);
    delete dead;
    QTRY_COMPARE(value, QStringLiteral("done"));
    QCOMPARE(doneThread, thread());
    QVERIFY(s.waitForBackground(30s));
    marker = false;
    s.post([&] { marker = true; });
    QTRY_VERIFY(marker);
    QVERIFY(!deadDone);
}

void TestScheduler::qtTimersAndCancel()
{
    QtScheduler s;

    // A one-shot runs once; a repeating timer keeps going until cancelled. The
    // repeating timer's later ticks are the proof the one-shot did not repeat.
    int once = 0, repeats = 0;
    s.after(1ms, [&] { ++once; });
    const auto repeating = s.every(2ms, [&] { ++repeats; });
    QTRY_VERIFY(once == 1 && repeats >= 5);
    QCOMPARE(once, 1);
    s.cancel(repeating);
    const int atCancel = repeats;
    bool marker = false;
    s.after(20ms, [&] { marker = true; });
    QTRY_VERIFY(marker);
    QCOMPARE(repeats, atCancel);

    // Cancelled from a background thread before the main thread created the timer.
    std::atomic<bool> cancelledRan{false};
    std::atomic<bool> bgMarker{false};
    s.runInBackground([&] {
        const auto id = s.after(0ms, [&] { cancelledRan = true; });
        s.cancel(id);
        s.after(10ms, [&] { bgMarker = true; });
    });
    QTRY_VERIFY(bgMarker.load());
    QVERIFY(!cancelledRan.load());

    // Repeating timers stop when cancelled from inside or when their context dies.
    int selfRuns = 0;
    Scheduler::TimerId self = 0;
    self = s.every(1ms, [&] {
        if (++selfRuns == 3)
            s.cancel(self);
    });
    auto *context = new QObject;
    int contextRuns = 0;
    s.every(1ms, [&] {
        if (++contextRuns == 2)
            delete context;
    }, context);
    bool deadRan = false;
    auto *dead = new QObject;
    s.after(0ms, [&] { deadRan = true; }, dead);
    delete dead;
    QTRY_VERIFY(selfRuns == 3 && contextRuns == 2);
    marker = false;
    s.after(20ms, [&] { marker = true; });
    QTRY_VERIFY(marker);
    QCOMPARE(selfRuns, 3);
    QCOMPARE(contextRuns, 2);
    QVERIFY(!deadRan);
}

void TestScheduler::qtBackgroundDoesNotStarve()
{
    // 32 jobs that wait for each other: a fixed pool of ideal size would hang.
    QtScheduler s;
    std::atomic<int> finished{0};
    const auto gate = startInterlockedJobs(s, 32, finished);
    const bool finishedInTime = s.waitForBackground(60s);
    gate->release(32);   // on failure, lets the scheduler's destructor return
    QVERIFY(finishedInTime);
    QCOMPARE(finished.load(), 32);

    VirtualScheduler v;
    std::atomic<int> finishedVirtual{0};
    const auto virtualGate = startInterlockedJobs(v, 32, finishedVirtual);
    const bool settled = v.settle(60s);
    virtualGate->release(32);
    QVERIFY(settled);
    QCOMPARE(finishedVirtual.load(), 32);

    // Nested: a job that blocks on work it queued itself.
    QSemaphore inner;
    s.runInBackground([&] {
        s.runInBackground([&] { inner.release(); });
        inner.acquire();
        ++finished;
    });
    QVERIFY(s.waitForBackground(60s));
    QCOMPARE(finished.load(), 33);
}

SWEEPBROOK_TEST_MAIN(TestScheduler)
#include "test_scheduler.moc"
