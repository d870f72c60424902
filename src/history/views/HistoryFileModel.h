#pragma once

#include "history/HistorySearch.h"
#include "toolkit/FileRow.h"

#include <QAbstractListModel>
#include <QStyledItemDelegate>

// The files of one record that the search shows, one row each, in stored
// order. The model shares the record's list and keeps only the indexes of
// the rows shown, so a record of a hundred thousand files opens at once.
class HistoryFileModel : public QAbstractListModel
{
    Q_OBJECT
public:
    enum Role {
        PathRole = Qt::UserRole + 1,   // the whole path
        SizeTextRole,                  // the size as shown
        SymbolRole,                    // QString: the kind's symbol, or its fallback
        TintRole,                      // QColor
        KindRole,                      // the stored kind string
    };

    explicit HistoryFileModel(QObject *parent = nullptr);

    // A new record: every file shown, the search text empty.
    void setFiles(const QList<CleanedFileDetail> &files);
    void setSearchText(const QString &text);
    const QString &searchText() const { return m_search.text(); }
    // The sizes' texts looked up again ("Zero KB" is a word).
    void relocalize();

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

private:
    HistorySearch m_search;
};

// Paints a file row of the record: the kind's symbol on its tinted square,
// the name over the path, the size. Rows are all of one height.
class HistoryFileDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    explicit HistoryFileDelegate(QObject *parent = nullptr);

    int rowHeight() const { return m_row.rowHeight(); }
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

private:
    rows::FileRowPainter m_row;
};
