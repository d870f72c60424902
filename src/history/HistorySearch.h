#pragma once

#include "history/CleanHistory.h"

#include <QList>
#include <QString>

// The entries of a record that a search text shows: those whose name, path or
// kind string (the stored raw value, not the kind's display name) contains
// the text, ignoring case; all of them for an empty text. Stored order is kept
// and nothing is trimmed, so a single space finds every name with a space.
//
// Built for records of a hundred thousand files searched as the user types:
// a text that extends the previous one only looks among the previous matches.
class HistorySearch
{
public:
    explicit HistorySearch(const QList<CleanedFileDetail> &files = {});

    void setFiles(const QList<CleanedFileDetail> &files);
    const QList<CleanedFileDetail> &files() const { return m_files; }

    void setText(const QString &text);
    const QString &text() const { return m_text; }

    // Rows shown now, as indexes into files().
    qsizetype count() const { return m_all ? m_files.size() : m_rows.size(); }
    qsizetype fileIndex(qsizetype row) const { return m_all ? row : m_rows.at(row); }

private:
    QList<CleanedFileDetail> m_files;
    QString m_text;
    bool m_all = true;
    QList<qsizetype> m_rows;
};
