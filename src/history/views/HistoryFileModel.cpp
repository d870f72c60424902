#include "history/views/HistoryFileModel.h"

#include "history/views/HistoryPresentation.h"
#include "toolkit/Presentation.h"

#include <QPainter>

HistoryFileModel::HistoryFileModel(QObject *parent) : QAbstractListModel(parent) {}

void HistoryFileModel::setFiles(const QList<CleanedFileDetail> &files)
{
    beginResetModel();
    m_search.setFiles(files);
    endResetModel();
}

void HistoryFileModel::setSearchText(const QString &text)
{
    if (text == m_search.text())
        return;
    // Filtering happens between the two calls, so the view never asks for a
    // row that is gone.
    beginResetModel();
    m_search.setText(text);
    endResetModel();
}

void HistoryFileModel::relocalize()
{
    if (rowCount() > 0)
        emit dataChanged(index(0), index(rowCount() - 1), {SizeTextRole});
}

int HistoryFileModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_search.count());
}

QVariant HistoryFileModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_search.count())
        return {};
    const CleanedFileDetail &file = m_search.files().at(m_search.fileIndex(index.row()));
    switch (role) {
    case Qt::DisplayRole: return file.name;
    case PathRole: return file.path;
    case SizeTextRole: return presentation::byteCountText(file.size);
    case SymbolRole: return HistoryKinds::iconName(file.fileType);
    case TintRole: return ui::color(HistoryKinds::color(file.fileType));
    case KindRole: return file.fileType;
    default: return {};
    }
}

// ---------------------------------------------------------------- delegate

HistoryFileDelegate::HistoryFileDelegate(QObject *parent) : QStyledItemDelegate(parent), m_row(0, true) {}

QSize HistoryFileDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const
{
    return {option.rect.width(), m_row.rowHeight()};
}

void HistoryFileDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    m_row.paint(painter, option,
                {index.data(HistoryFileModel::SymbolRole).toString(),
                 index.data(HistoryFileModel::TintRole).value<QColor>(), index.data(Qt::DisplayRole).toString(),
                 index.data(HistoryFileModel::PathRole).toString(),
                 index.data(HistoryFileModel::SizeTextRole).toString()});
    painter->restore();
}
