#include "platform/LinesInOrder.h"

#include "platform/Log.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <sched.h>

namespace linesinorder {

namespace {

// More helpers than this gain nothing: the writing thread keeps up with
// about as many makers.
constexpr int kMostHelpers = 4;

std::atomic<int> g_helpers{-1};

int machineHelpers()
{
    cpu_set_t set;
    const int cpus = ::sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set)
                                                                   : int(std::thread::hardware_concurrency());
    return std::clamp(cpus - 1, 0, kMostHelpers);
}

// The pieces on their way: made into slots by the helpers, written from
// them in order. Piece i goes into slot i % slots, which piece i + slots
// takes only once piece i is written.
class Pieces
{
public:
    Pieces(qsizetype count, const Make &make, int helpers)
        : m_count(count), m_make(make), m_slots(size_t(2 * helpers))
    {
        try {
            for (int i = 0; i < helpers; ++i)
                m_threads.emplace_back([this] { makeWhileThereIsRoom(); });
        } catch (const std::system_error &) {
            // Fewer helpers; none: the writing thread makes every piece.
        }
    }
    ~Pieces()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_room.notify_all();
        for (std::thread &thread : m_threads)
            thread.join();
    }
    Pieces(const Pieces &) = delete;
    Pieces &operator=(const Pieces &) = delete;

    void writeAll(const InTurn &inTurn)
    {
        QByteArray own;
        for (qsizetype index = 0; index < m_count; ++index) {
            if (m_threads.empty()) {
                own.resize(0);
                const bool made = makeOne(index, own);
                say(index, made, own, inTurn);
                continue;
            }
            Slot &slot = m_slots[size_t(index) % m_slots.size()];
            {
                std::unique_lock lock(m_mutex);
                m_made.wait(lock, [&] { return slot.state != Slot::State::making; });
            }
            say(index, slot.state == Slot::State::made, slot.lines, inTurn);
            {
                const std::lock_guard lock(m_mutex);
                slot.state = Slot::State::making;
                m_written = index + 1;
            }
            m_room.notify_all();
        }
    }

private:
    struct Slot
    {
        enum class State { making, made, notMade };
        QByteArray lines;
        State state = State::making;
    };

    bool makeOne(qsizetype index, QByteArray &lines) const
    {
        try {
            return m_make(index, lines);
        } catch (...) {
            return false;   // made in its turn, where a failure is the writer's
        }
    }

    void say(qsizetype index, bool made, const QByteArray &lines, const InTurn &inTurn) const
    {
        if (inTurn)
            inTurn(index, made);
        if (made) {
            logCaptured(lines);
        } else if (!inTurn) {
            // Given back (or failed): made here, in its turn; what it
            // throws now is the caller's.
            QByteArray again;
            if (m_make(index, again))
                logCaptured(again);
        }
    }

    void makeWhileThereIsRoom()
    {
        for (;;) {
            qsizetype index;
            {
                std::unique_lock lock(m_mutex);
                m_room.wait(lock, [this] {
                    return m_stopping || m_next >= m_count || m_next < m_written + qsizetype(m_slots.size());
                });
                if (m_stopping || m_next >= m_count)
                    return;
                index = m_next++;
            }
            Slot &slot = m_slots[size_t(index) % m_slots.size()];
            slot.lines.resize(0);
            const bool made = makeOne(index, slot.lines);
            {
                const std::lock_guard lock(m_mutex);
                slot.state = made ? Slot::State::made : Slot::State::notMade;
            }
            m_made.notify_one();
        }
    }

    const qsizetype m_count;
    const Make &m_make;
    std::vector<Slot> m_slots;
    std::vector<std::thread> m_threads;
    std::mutex m_mutex;
    std::condition_variable m_room;   // a slot is free, or the end
    std::condition_variable m_made;   // a piece is made
    qsizetype m_next = 0;             // the next piece to make
    qsizetype m_written = 0;          // pieces written
    bool m_stopping = false;
};

} // namespace

int helperCount()
{
    const int set = g_helpers.load();
    return set >= 0 ? set : machineHelpers();
}

void setHelperCount(int helpers)
{
    g_helpers.store(helpers);
}

void write(qsizetype count, const Make &make, const InTurn &inTurn)
{
    if (count <= 0)
        return;
    // One piece needs no helper.
    Pieces pieces(count, make, count == 1 ? 0 : helperCount());
    pieces.writeAll(inTurn);
}

} // namespace linesinorder
