#pragma once

#include "history/CleanHistory.h"
#include "localization/DateFormat.h"
#include "toolkit/FileRow.h"

#include <QAbstractListModel>
#include <QStyledItemDelegate>
#include <QUuid>

#include <optional>

// The history window's list: one row per record, in the history's order
// (newest first). The model shares the window state's list and makes each
// row's texts when the row is drawn, so a long history costs nothing until
// it is seen.
class HistoryListModel : public QAbstractListModel
{
    Q_OBJECT
public:
    enum Role {
        DateRole = Qt::UserRole + 1,   // the date, medium date and short time
        CountRole,                     // "cleaned_file_count"
        FreedRole,                     // "total_freed" and the size
        KindsRole,                     // "clean_types", or nothing without kinds
        HasKindsRole,                  // bool: whether the row has a kinds line
        SelectedRole,                  // bool
    };

    explicit HistoryListModel(QObject *parent = nullptr);

    // Resets the model unless it holds this very list already.
    void setRecords(const QList<CleanHistory> &records);
    void setSelectedID(const std::optional<QUuid> &id);
    // The dates in this locale; the other texts looked up again.
    void relocalize(const QLocale &locale);

    const CleanHistory &record(int row) const { return m_records.at(row); }
    const QList<CleanHistory> &records() const { return m_records; }

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

private:
    int rowOf(const std::optional<QUuid> &id) const;

    QList<CleanHistory> m_records;
    std::optional<QUuid> m_selected;
    DateFormatter m_dates{DateStyle::mediumStyle, DateStyle::shortStyle};
};

// Paints a history row: the device and the date, the file count and the
// freed space with their symbols, and the kinds when there are any, on the
// accent colour when the row's record is the selection.
class HistoryRowDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    explicit HistoryRowDelegate(QObject *parent = nullptr);

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

private:
    int symbolLineHeight() const;
    // The row's width for its texts in a list `listWidth` wide, and the height
    // the kinds take there, on as many lines as they need.
    static int contentWidth(int listWidth);
    QRect kindsRect(const QString &kinds, int width) const;

    QFont m_headline, m_caption, m_subheadline;
    int m_symbolSize = 0;
    rows::SymbolCache m_symbols;
};
