#include "history/HistoryStore.h"

#include "platform/Log.h"
#include "platform/Preferences.h"

namespace {

// "cleanHistoryBackup", "cleanHistoryBackup2", "cleanHistoryBackup3", ...
QString backupKeyNumber(int n)
{
    return n == 1 ? HistoryStore::backupKey : HistoryStore::backupKey + QString::number(n);
}

} // namespace

HistoryStore::HistoryStore(Preferences &preferences)
    : m_preferences(preferences)
{
}

QList<CleanHistory> HistoryStore::load()
{
    return read().value_or(QList<CleanHistory>());
}

std::optional<QList<CleanHistory>> HistoryStore::read()
{
    const std::optional<QByteArray> bytes = m_preferences.bytesValue(key);
    if (!bytes) {
        logLine(QStringLiteral("未找到历史记录数据"));
        return std::nullopt;
    }

    QString error;
    const std::optional<HistoryCodec::Decoded> decoded = HistoryCodec::decode(*bytes, &error);
    if (!decoded) {
        logLine(QStringLiteral("加载历史记录失败: ") + error);
        keepBackup(*bytes);
        return std::nullopt;
    }
    for (const QString &problem : decoded->problems)
        logLine(QStringLiteral("跳过无法读取的历史记录: ") + problem);
    if (decoded->skipped > 0)
        keepBackup(*bytes);

    logLine(QStringLiteral("已加载%1条历史记录").arg(decoded->records.size()));
    return decoded->records;
}

void HistoryStore::save(const QList<CleanHistory> &records)
{
    m_preferences.setBytes(key, HistoryCodec::encode(records));
    logLine(QStringLiteral("历史记录已保存，共%1条记录").arg(records.size()));
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

// Copies bytes that could not be read in full aside, so the save that follows
// (which writes only what was readable) cannot destroy them.
void HistoryStore::keepBackup(const QByteArray &bytes)
{
    for (int n = 1;; ++n) {
        const QString candidate = backupKeyNumber(n);
        if (!m_preferences.contains(candidate)) {
            m_preferences.setBytes(candidate, bytes);
            logLine(QStringLiteral("无法完整读取的历史记录原始数据已备份到 ") + candidate);
            return;
        }
        if (m_preferences.bytesValue(candidate) == bytes)
            return;   // kept already
    }
}
