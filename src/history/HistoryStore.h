#pragma once

#include "history/CleanHistory.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class Preferences;
class Scheduler;

// Reads and writes the clean history under "cleanHistory".
//
// When the stored value cannot be read (not data, not JSON, not an array) it
// is copied under `backupKey` as it is, at the moment it is read, so the next
// save cannot destroy the only copy; when only some records are damaged,
// those records alone are copied there (an array of them, as data), since
// the others are read and written back by the next save. A backup that
// already holds something else is never replaced: the copy goes to the first
// free key among "cleanHistoryBackup2", "cleanHistoryBackup3", ... (an
// identical copy already kept under one of them is not stored twice).
class HistoryStore
{
public:
    static inline const QString key = QStringLiteral("cleanHistory");
    static inline const QString backupKey = QStringLiteral("cleanHistoryBackup");

    // With a scheduler, saves are encoded and stored on its background pool,
    // so a long history never holds up the caller: in the order they were
    // asked for, a newer save never overwritten by an older one. Without
    // one, a save is stored before it returns.
    explicit HistoryStore(Preferences &preferences, Scheduler *background = nullptr);
    ~HistoryStore();   // waits for the saves under way

    // The stored records, newest first; the empty list when nothing could be
    // read. Prints "未找到历史记录数据", "加载历史记录失败: ..." or
    // "已加载N条历史记录", and one line per skipped record.
    QList<CleanHistory> load();

    // As load(), but nothing when no value is stored or the stored value could
    // not be read at all, so a caller can leave its list unchanged then.
    std::optional<QList<CleanHistory>> read();

    // As read(), on the scheduler's background pool (without one, at once):
    // `arrived` is called there with what was read. waitForSaves() and the
    // destructor wait for it as for a save.
    using Arrival = std::function<void(std::optional<QList<CleanHistory>>)>;
    void readInBackground(Arrival arrived);

    // Writes the whole list; prints "历史记录已保存，共N条记录" once stored.
    void save(const QList<CleanHistory> &records);

    // Waits until every save asked for so far is stored, and a read in the
    // background has handed over what it read.
    void waitForSaves();

    // The keys that hold kept copies of unreadable history, in order.
    QStringList backupKeys() const;

    // What a read has just kept aside, once: the next call gives nothing
    // until a read keeps another copy (a copy kept already is not kept, nor
    // told, again).
    struct KeptAside
    {
        QString key;
        int damagedRecords = 0;   // the records kept; 0: the whole stored value
        bool operator==(const KeptAside &) const = default;
    };
    std::optional<KeptAside> takeKeptAside();

private:
    struct Saves;
    static std::optional<QList<CleanHistory>> readFrom(Saves &saves);
    // Runs `work` on the background pool (without one, at once); waitForSaves() waits for it.
    void runCounted(std::function<void()> work);
    // Copies the stored entry, or only its `damaged` records, aside; the key
    // it took, when it took a new one.
    static std::optional<QString> keepAside(Preferences &preferences, const std::optional<QByteArray> &damaged);

    Preferences &m_preferences;
    Scheduler *m_background;
    std::shared_ptr<Saves> m_saves;
};
