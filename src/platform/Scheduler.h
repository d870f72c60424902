#pragma once

#include <QObject>
#include <QPointer>

#include <chrono>
#include <functional>
#include <memory>
#include <type_traits>

// Where the app's work runs and when. Every timer, delayed call and background
// job goes through one Scheduler so tests can swap in virtual time.
//
// Main-thread work ("posts" and timers) runs in the order it becomes due; posts
// made before a timer falls due run before it. Tasks given a context object are
// dropped when that object is destroyed before they run.
class Scheduler
{
public:
    using Task = std::function<void()>;
    using TimerId = quint64;          // 0 is never a valid id
    using Duration = std::chrono::milliseconds;

    virtual ~Scheduler() = default;

    // Queues a task for the main thread, FIFO with other posts. Callable from any thread.
    virtual void post(Task task, QObject *context = nullptr) = 0;

    // Runs a task once on the main thread after a delay. Callable from any thread.
    virtual TimerId after(Duration delay, Task task, QObject *context = nullptr) = 0;

    // Runs a task on the main thread every interval until cancelled.
    virtual TimerId every(Duration interval, Task task, QObject *context = nullptr) = 0;

    // Stops a pending one-shot or repeating timer. Unknown or finished ids are ignored.
    virtual void cancel(TimerId id) = 0;

    // Runs a task on the background pool. Blocking jobs do not starve the pool.
    virtual void runInBackground(Task task) = 0;

    // Monotonic time since the scheduler started.
    virtual Duration now() const = 0;

    // Runs `work` in the background and hands its value to `done` on the main thread.
    template <typename Work, typename Done>
    void background(Work work, Done done, QObject *context = nullptr)
    {
        using Value = std::decay_t<std::invoke_result_t<Work &>>;
        runInBackground([this, work = std::move(work), done = std::move(done),
                         guard = QPointer<QObject>(context), hasContext = context != nullptr]() mutable {
            // Held by pointer so the posted task stays copyable for std::function.
            auto value = std::make_shared<Value>(work());
            if (hasContext && !guard)
                return;
            // The context may die between the check above and the post (guard.data()
            // would then be null and the post context-less), so check again on arrival.
            post([done = std::move(done), value, guard, hasContext]() mutable {
                if (hasContext && !guard)
                    return;
                done(std::move(*value));
            }, guard.data());
        });
    }

    // The scheduler the app uses. Tests install their own with setShared().
    static Scheduler &shared();
    static void setShared(Scheduler *scheduler);   // nullptr restores the Qt scheduler
};

// The production scheduler: Qt's event loop on the main thread and a growing thread pool.
class QtScheduler final : public Scheduler
{
public:
    QtScheduler();
    ~QtScheduler() override;

    void post(Task task, QObject *context = nullptr) override;
    TimerId after(Duration delay, Task task, QObject *context = nullptr) override;
    TimerId every(Duration interval, Task task, QObject *context = nullptr) override;
    void cancel(TimerId id) override;
    void runInBackground(Task task) override;
    Duration now() const override;

    // Blocks until every background job has finished (used at shutdown and by tests).
    bool waitForBackground(Duration timeout);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Virtual time for tests. Nothing on the "main thread" runs until the test calls
// advance() or runDue(); background jobs run on real threads and their posts
// join the virtual queue.
class VirtualScheduler final : public Scheduler
{
public:
    VirtualScheduler();
    ~VirtualScheduler() override;

    void post(Task task, QObject *context = nullptr) override;
    TimerId after(Duration delay, Task task, QObject *context = nullptr) override;
    TimerId every(Duration interval, Task task, QObject *context = nullptr) override;
    void cancel(TimerId id) override;
    void runInBackground(Task task) override;
    Duration now() const override;

    // Runs everything due at the current virtual time, including work that
    // becomes due while running. Returns how many tasks ran.
    int runDue();

    // Moves virtual time forward, running each task at its due time, in order
    // (due time first, then the order it was scheduled). Returns how many ran.
    int advance(Duration by);

    // Waits (in real time, at most `timeout`) for background jobs to finish and
    // runs what they posted; repeats until nothing is left. False on timeout.
    bool settle(Duration timeout = std::chrono::seconds(10));

    // Number of tasks and timers waiting on the virtual main thread.
    int pendingCount() const;

    // The longest real time one task on the virtual main thread took: what
    // the window would have stood still for.
    std::chrono::milliseconds longestTask() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
