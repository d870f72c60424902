#include "history/HistoryStore.h"

#include "platform/Log.h"
#include "platform/Preferences.h"
#include "platform/Scheduler.h"

#include <condition_variable>
#include <mutex>
#include <utility>

namespace {

// "cleanHistoryBackup", "cleanHistoryBackup2", "cleanHistoryBackup3", ...
QString backupKeyNumber(int n)
{
    return n == 1 ? HistoryStore::backupKey : HistoryStore::backupKey + QString::number(n);
}

} // namespace

// What the background saves share; it outlives the store while one runs.
struct HistoryStore::Saves
{
    explicit Saves(Preferences &p) : preferences(p) {}

    Preferences &preferences;
    std::mutex mutex;
    std::condition_variable idle;
    quint64 asked = 0;     // saves asked for
    quint64 stored = 0;    // the newest one stored
    int running = 0;
    std::optional<KeptAside> keptAside;   // what a read set aside, until told

    // Stores the save numbered `number` unless a newer one is stored already.
    void store(quint64 number, const QByteArray &bytes, qsizetype count)
    {
        std::lock_guard lock(mutex);
        if (number > stored) {
            stored = number;
            preferences.setBytes(HistoryStore::key, bytes);
            logLine(QStringLiteral("历史记录已保存，共%1条记录").arg(count));
        }
    }
};

HistoryStore::HistoryStore(Preferences &preferences, Scheduler *background)
    : m_preferences(preferences)
    , m_background(background)
    , m_saves(std::make_shared<Saves>(preferences))
{
}

HistoryStore::~HistoryStore()
{
    waitForSaves();
}

QList<CleanHistory> HistoryStore::load()
{
    return read().value_or(QList<CleanHistory>());
}

std::optional<QList<CleanHistory>> HistoryStore::read()
{
    return readFrom(*m_saves);
}

void HistoryStore::readInBackground(Arrival arrived)
{
    runCounted([saves = m_saves, arrived = std::move(arrived)] { arrived(readFrom(*saves)); });
}

void HistoryStore::runCounted(std::function<void()> work)
{
    {
        std::lock_guard lock(m_saves->mutex);
        ++m_saves->running;
    }
    const auto job = [saves = m_saves, work = std::move(work)] {
        work();
        std::lock_guard lock(saves->mutex);
        --saves->running;
        saves->idle.notify_all();
    };
    if (m_background)
        m_background->runInBackground(job);
    else
        job();
}

std::optional<QList<CleanHistory>> HistoryStore::readFrom(Saves &saves)
{
    Preferences &preferences = saves.preferences;
    const auto keepAside = [&saves](const std::optional<QByteArray> &damaged = std::nullopt, int records = 0) {
        if (std::optional<QString> kept = HistoryStore::keepAside(saves.preferences, damaged)) {
            std::lock_guard lock(saves.mutex);
            saves.keptAside = KeptAside{*kept, records};
        }
    };
    const Preferences::Type type = preferences.type(key);
    if (type == Preferences::Type::Absent) {
        logLine(QStringLiteral("未找到历史记录数据"));
        return std::nullopt;
    }
    // Another type, or data the store could not decode: not ours to overwrite.
    if (type != Preferences::Type::Bytes) {
        logLine(QStringLiteral("加载历史记录失败: the stored value is not data"));
        keepAside();
        return std::nullopt;
    }
    const QByteArray bytes = preferences.bytesValue(key).value_or(QByteArray());

    QString error;
    const std::optional<HistoryCodec::Decoded> decoded = HistoryCodec::decode(bytes, &error);
    if (!decoded) {
        logLine(QStringLiteral("加载历史记录失败: ") + error);
        keepAside();
        return std::nullopt;
    }
    for (const QString &problem : decoded->problems)
        logLine(QStringLiteral("跳过无法读取的历史记录: ") + problem);
    // The records read stay under the key and are written back by the next
    // save; only those that could not be read need a copy of their own.
    if (decoded->skipped > 0)
        keepAside(decoded->damaged, decoded->skipped);

    logLine(QStringLiteral("已加载%1条历史记录").arg(decoded->records.size()));
    return decoded->records;
}

void HistoryStore::save(const QList<CleanHistory> &records)
{
    quint64 number = 0;
    {
        std::lock_guard lock(m_saves->mutex);
        number = ++m_saves->asked;
    }
    runCounted([saves = m_saves, number, records] {
        saves->store(number, HistoryCodec::encode(records), records.size());
    });
}

void HistoryStore::waitForSaves()
{
    std::unique_lock lock(m_saves->mutex);
    m_saves->idle.wait(lock, [this] { return m_saves->running == 0; });
}

QStringList HistoryStore::backupKeys() const
{
    QStringList keys;
    for (int n = 1;; ++n) {
        const QString candidate = backupKeyNumber(n);
        if (!m_preferences.contains(candidate))
            return keys;
        keys.append(candidate);
    }
}

std::optional<HistoryStore::KeptAside> HistoryStore::takeKeptAside()
{
    std::lock_guard lock(m_saves->mutex);
    return std::exchange(m_saves->keptAside, std::nullopt);
}

// Copies aside what the save that follows (which writes only what was
// readable) would destroy: the stored entry as it is, or, when only some of
// its records could not be read, those records (`damaged`) as data.
std::optional<QString> HistoryStore::keepAside(Preferences &preferences, const std::optional<QByteArray> &damaged)
{
    const std::optional<QByteArray> entry = damaged ? std::nullopt : preferences.storedEntry(key);
    if (!entry && !damaged)
        return std::nullopt;
    for (int n = 1;; ++n) {
        const QString candidate = backupKeyNumber(n);
        if (!preferences.contains(candidate)) {
            if (damaged)
                preferences.setBytes(candidate, *damaged);
            else
                preferences.setStoredEntry(candidate, *entry);
            logLine(QStringLiteral("无法完整读取的历史记录原始数据已备份到 ") + candidate);
            return candidate;
        }
        if (damaged ? preferences.bytesValue(candidate) == damaged : preferences.storedEntry(candidate) == entry)
            return std::nullopt;   // kept already, and told then
    }
}
