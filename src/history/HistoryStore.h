#pragma once

#include "history/CleanHistory.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

class Preferences;

// Reads and writes the clean history under "cleanHistory".
//
// When the stored bytes cannot be read in full (not JSON, not an array, or
// some records damaged) they are copied under `backupKey` as they are, at the
// moment they are read, so the next save cannot destroy the only copy. A
// backup that already holds other bytes is never replaced: the copy goes to
// the first free key among "cleanHistoryBackup2", "cleanHistoryBackup3", ...
// (identical bytes already kept under one of them are not stored twice).
class HistoryStore
{
public:
    static inline const QString key = QStringLiteral("cleanHistory");
    static inline const QString backupKey = QStringLiteral("cleanHistoryBackup");

    explicit HistoryStore(Preferences &preferences);

    // The stored records, newest first; the empty list when nothing could be
    // read. Prints "未找到历史记录数据", "加载历史记录失败: ..." or
    // "已加载N条历史记录", and one line per skipped record.
    QList<CleanHistory> load();

    // As load(), but nothing when no value is stored or the stored value could
    // not be read at all, so a caller can leave its list unchanged then.
    std::optional<QList<CleanHistory>> read();

    // Writes the whole list; prints "历史记录已保存，共N条记录".
    void save(const QList<CleanHistory> &records);

    // The keys that hold kept copies of unreadable history, in order.
    QStringList backupKeys() const;

private:
    void keepBackup(const QByteArray &bytes);

    Preferences &m_preferences;
};
