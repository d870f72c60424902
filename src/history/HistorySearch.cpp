#include "history/HistorySearch.h"

#include <QStringMatcher>

HistorySearch::HistorySearch(const QList<CleanedFileDetail> &files)
{
    setFiles(files);
}

void HistorySearch::setFiles(const QList<CleanedFileDetail> &files)
{
    m_files = files;
    m_text.clear();
    m_all = true;
    m_rows.clear();
}

void HistorySearch::setText(const QString &text)
{
    if (text == m_text)
        return;
    const QString previous = std::exchange(m_text, text);
    if (text.isEmpty()) {
        m_all = true;
        m_rows.clear();
        return;
    }

    // Whatever contains the new text contains any part of it: a text that
    // extends the previous one narrows the previous matches.
    const bool narrows = !m_all && !previous.isEmpty() && text.contains(previous, Qt::CaseInsensitive);
    const QStringMatcher matcher(text, Qt::CaseInsensitive);
    const auto found = [&matcher](const CleanedFileDetail &file) {
        return matcher.indexIn(file.name) >= 0 || matcher.indexIn(file.path) >= 0
               || matcher.indexIn(file.fileType) >= 0;
    };
    QList<qsizetype> rows;
    if (narrows) {
        for (qsizetype index : std::as_const(m_rows)) {
            if (found(m_files.at(index)))
                rows.append(index);
        }
    } else {
        for (qsizetype index = 0; index < m_files.size(); ++index) {
            if (found(m_files.at(index)))
                rows.append(index);
        }
    }
    m_all = false;
    m_rows = std::move(rows);
}
