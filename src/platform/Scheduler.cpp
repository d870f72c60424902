#include "platform/Scheduler.h"

#include "platform/Log.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace {

std::atomic<Scheduler *> g_installed{nullptr};

// An exception escaping into Qt's event loop or a pool thread ends the process;
// a failing task is a bug to report, not a reason to lose the user's session.
void runGuarded(const Scheduler::Task &task) noexcept
{
    try {
        task();
    } catch (const std::exception &e) {
        logLine(QStringLiteral("scheduler: task threw: %1").arg(QString::fromUtf8(e.what())));
    } catch (...) {
        logLine(QStringLiteral("scheduler: task threw an unknown exception"));
    }
}

// QThreadPool starts a new thread whenever none is idle and the limit is not
// reached, so a high limit gives a pool that grows instead of starving when
// jobs block on each other. Idle threads still expire after 30 s.
void configureGrowingPool(QThreadPool &pool)
{
    pool.setMaxThreadCount(std::max(128, 16 * QThread::idealThreadCount()));
    pool.setExpiryTimeout(30000);
}

// A repeating timer with a zero interval would spin; one millisecond is the floor.
Scheduler::Duration repeatInterval(Scheduler::Duration interval)
{
    return std::max(interval, Scheduler::Duration(1));
}

} // namespace

Scheduler &Scheduler::shared()
{
    if (Scheduler *installed = g_installed.load(std::memory_order_acquire))
        return *installed;
    static QtScheduler qtScheduler;
    return qtScheduler;
}

void Scheduler::setShared(Scheduler *scheduler)
{
    g_installed.store(scheduler, std::memory_order_release);
}

// ---------------------------------------------------------------------------
// QtScheduler

struct QtScheduler::Impl
{
    // Lives in the main thread; every post and timer is delivered through it, so
    // posts from any thread share one FIFO queue.
    QObject *receiver = nullptr;
    QElapsedTimer clock;
    QThreadPool pool;

    std::atomic<TimerId> nextId{1};
    std::mutex mutex;
    // Live timers. The QTimer is null until the main thread has created it; an id
    // missing here has been cancelled or has finished. Whoever erases an entry
    // owns the deletion of its QTimer.
    std::unordered_map<TimerId, QTimer *> timers;

    bool onMainThread() const { return QThread::currentThread() == receiver->thread(); }

    void onMain(std::function<void()> fn)
    {
        if (onMainThread())
            fn();
        else
            QMetaObject::invokeMethod(receiver, std::move(fn), Qt::QueuedConnection);
    }

    TimerId schedule(Duration interval, bool repeating, Task task, QObject *context)
    {
        const TimerId id = nextId.fetch_add(1);
        {
            std::lock_guard lock(mutex);
            timers.emplace(id, nullptr);
        }
        onMain([this, id, interval, repeating, task = std::move(task),
                guard = QPointer<QObject>(context), hasContext = context != nullptr]() {
            createTimer(id, interval, repeating, task, guard, hasContext);
        });
        return id;
    }

    void createTimer(TimerId id, Duration interval, bool repeating, const Task &task,
                     const QPointer<QObject> &guard, bool hasContext)
    {
        auto *timer = new QTimer(receiver);
        timer->setTimerType(Qt::PreciseTimer);
        timer->setSingleShot(!repeating);
        timer->setInterval(interval);
        {
            std::lock_guard lock(mutex);
            auto it = timers.find(id);
            if (it == timers.end()) {   // cancelled before the main thread got here
                delete timer;
                return;
            }
            it->second = timer;
        }
        QObject::connect(timer, &QTimer::timeout, receiver, [this, id, timer, repeating, task, guard, hasContext]() {
            {
                std::lock_guard lock(mutex);
                auto it = timers.find(id);
                if (it == timers.end())
                    return;   // cancelled from another thread; its deletion is on the way
                if (!repeating || (hasContext && !guard)) {
                    timers.erase(it);
                    timer->stop();
                    timer->deleteLater();
                    if (hasContext && !guard)
                        return;
                }
            }
            runGuarded(task);
        });
        timer->start();
    }

    void cancel(TimerId id)
    {
        QTimer *timer = nullptr;
        {
            std::lock_guard lock(mutex);
            auto it = timers.find(id);
            if (it == timers.end())
                return;
            timer = it->second;
            timers.erase(it);
        }
        if (!timer)
            return;   // not created yet: createTimer() sees the id gone and skips it
        onMain([timer = QPointer<QTimer>(timer)]() {
            if (timer) {
                timer->stop();
                timer->deleteLater();   // may be cancelling itself from inside its own timeout
            }
        });
    }
};

QtScheduler::QtScheduler()
    : d(std::make_unique<Impl>())
{
    d->receiver = new QObject;
    if (QCoreApplication *app = QCoreApplication::instance(); app && d->receiver->thread() != app->thread())
        d->receiver->moveToThread(app->thread());
    d->clock.start();
    configureGrowingPool(d->pool);
}

QtScheduler::~QtScheduler()
{
    // Jobs may still post to us; let them finish before the receiver goes away.
    // Deleting the receiver drops its queued posts and timers.
    d->pool.waitForDone();
    delete d->receiver;
}

void QtScheduler::post(Task task, QObject *context)
{
    QMetaObject::invokeMethod(
        d->receiver,
        [task = std::move(task), guard = QPointer<QObject>(context), hasContext = context != nullptr]() {
            if (hasContext && !guard)
                return;
            runGuarded(task);
        },
        Qt::QueuedConnection);
}

Scheduler::TimerId QtScheduler::after(Duration delay, Task task, QObject *context)
{
    return d->schedule(std::max(delay, Duration(0)), false, std::move(task), context);
}

Scheduler::TimerId QtScheduler::every(Duration interval, Task task, QObject *context)
{
    return d->schedule(repeatInterval(interval), true, std::move(task), context);
}

void QtScheduler::cancel(TimerId id)
{
    d->cancel(id);
}

void QtScheduler::runInBackground(Task task)
{
    d->pool.start([task = std::move(task)]() { runGuarded(task); });
}

Scheduler::Duration QtScheduler::now() const
{
    return Duration(d->clock.elapsed());
}

bool QtScheduler::waitForBackground(Duration timeout)
{
    return d->pool.waitForDone(int(std::clamp<qint64>(timeout.count(), 0, INT_MAX)));
}

// ---------------------------------------------------------------------------
// VirtualScheduler

struct VirtualScheduler::Impl
{
    struct Entry
    {
        TimerId id = 0;                 // 0 for posts
        Duration interval{0};           // non-zero for repeating timers
        std::shared_ptr<Task> task;
        QPointer<QObject> guard;
        bool hasContext = false;
    };
    using Key = std::pair<Duration, quint64>;   // (due, scheduling sequence)

    mutable std::mutex mutex;
    std::condition_variable changed;   // a post arrived or a background job ended
    std::map<Key, Entry> queue;
    std::unordered_map<TimerId, Key> queuedTimers;   // timers waiting in the queue
    Duration current{0};
    quint64 sequence = 0;
    TimerId nextId = 1;
    int runningJobs = 0;
    std::chrono::steady_clock::duration longestTask{0};   // real time, main-thread tasks only
    QThreadPool pool;

    // Caller holds the mutex.
    void enqueue(Duration due, Entry entry)
    {
        const Key key{due, sequence++};
        if (entry.id != 0)
            queuedTimers[entry.id] = key;
        queue.emplace(key, std::move(entry));
        changed.notify_all();
    }

    TimerId schedule(Duration delay, Duration interval, Task task, QObject *context)
    {
        std::lock_guard lock(mutex);
        const TimerId id = nextId++;
        enqueue(current + delay,
                Entry{id, interval, std::make_shared<Task>(std::move(task)), QPointer<QObject>(context), context != nullptr});
        return id;
    }

    bool hasDue(Duration limit) const { return !queue.empty() && queue.begin()->first.first <= limit; }

    // Takes the next entry due by `limit`, moving the clock to its due time.
    // Repeating timers are rescheduled before they run so a task cancelling its
    // own timer removes the next tick. Returns null when nothing is due.
    std::shared_ptr<Task> takeNext(Duration limit)
    {
        std::lock_guard lock(mutex);
        while (hasDue(limit)) {
            auto node = queue.extract(queue.begin());
            const Duration due = node.key().first;
            Entry &entry = node.mapped();
            current = std::max(current, due);
            const bool contextGone = entry.hasContext && !entry.guard;
            if (entry.id != 0) {
                queuedTimers.erase(entry.id);
                if (entry.interval.count() > 0 && !contextGone)
                    enqueue(due + entry.interval, entry);
            }
            if (contextGone)
                continue;
            return entry.task;
        }
        return nullptr;
    }

    int runUntil(Duration limit)
    {
        int ran = 0;
        while (auto task = takeNext(limit)) {
            const auto start = std::chrono::steady_clock::now();
            runGuarded(*task);
            const auto took = std::chrono::steady_clock::now() - start;
            {
                std::lock_guard lock(mutex);
                longestTask = std::max(longestTask, took);
            }
            ++ran;
        }
        return ran;
    }
};

VirtualScheduler::VirtualScheduler()
    : d(std::make_unique<Impl>())
{
    configureGrowingPool(d->pool);
}

VirtualScheduler::~VirtualScheduler()
{
    d->pool.waitForDone();
}

void VirtualScheduler::post(Task task, QObject *context)
{
    std::lock_guard lock(d->mutex);
    d->enqueue(d->current,
               Impl::Entry{0, Duration(0), std::make_shared<Task>(std::move(task)), QPointer<QObject>(context),
                           context != nullptr});
}

Scheduler::TimerId VirtualScheduler::after(Duration delay, Task task, QObject *context)
{
    return d->schedule(std::max(delay, Duration(0)), Duration(0), std::move(task), context);
}

Scheduler::TimerId VirtualScheduler::every(Duration interval, Task task, QObject *context)
{
    const Duration step = repeatInterval(interval);
    return d->schedule(step, step, std::move(task), context);
}

void VirtualScheduler::cancel(TimerId id)
{
    std::lock_guard lock(d->mutex);
    if (auto it = d->queuedTimers.find(id); it != d->queuedTimers.end()) {
        d->queue.erase(it->second);
        d->queuedTimers.erase(it);
    }
}

void VirtualScheduler::runInBackground(Task task)
{
    {
        std::lock_guard lock(d->mutex);
        ++d->runningJobs;
    }
    d->pool.start([impl = d.get(), task = std::move(task)]() {
        runGuarded(task);
        std::lock_guard lock(impl->mutex);
        --impl->runningJobs;
        impl->changed.notify_all();
    });
}

Scheduler::Duration VirtualScheduler::now() const
{
    std::lock_guard lock(d->mutex);
    return d->current;
}

int VirtualScheduler::runDue()
{
    return d->runUntil(now());
}

int VirtualScheduler::advance(Duration by)
{
    const Duration target = now() + std::max(by, Duration(0));
    const int ran = d->runUntil(target);
    std::lock_guard lock(d->mutex);
    d->current = std::max(d->current, target);
    return ran;
}

bool VirtualScheduler::settle(Duration timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        runDue();
        std::unique_lock lock(d->mutex);
        const auto idleOrDue = [this] { return d->runningJobs == 0 || d->hasDue(d->current); };
        if (!d->changed.wait_until(lock, deadline, idleOrDue))
            return false;
        if (d->runningJobs == 0 && !d->hasDue(d->current))
            return true;
    }
}

std::chrono::milliseconds VirtualScheduler::longestTask() const
{
    std::lock_guard lock(d->mutex);
    return std::chrono::duration_cast<std::chrono::milliseconds>(d->longestTask);
}

int VirtualScheduler::pendingCount() const
{
    std::lock_guard lock(d->mutex);
    return int(d->queue.size());
}
