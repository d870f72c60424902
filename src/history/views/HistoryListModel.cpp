#include "history/views/HistoryListModel.h"

#include "history/views/HistoryPresentation.h"
#include "toolkit/Toolkit.h"

#include <QAbstractItemView>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

HistoryListModel::HistoryListModel(QObject *parent) : QAbstractListModel(parent) {}

void HistoryListModel::setRecords(const QList<CleanHistory> &records)
{
    if (m_records.isSharedWith(records))
        return;
    beginResetModel();
    m_records = records;
    endResetModel();
}

int HistoryListModel::rowOf(const std::optional<QUuid> &id) const
{
    if (!id)
        return -1;
    for (int row = 0; row < m_records.size(); ++row) {
        if (m_records[row].id == *id)
            return row;
    }
    return -1;
}

void HistoryListModel::setSelectedID(const std::optional<QUuid> &id)
{
    if (id == m_selected)
        return;
    const int before = rowOf(m_selected);
    m_selected = id;
    for (int row : {before, rowOf(m_selected)}) {
        if (row >= 0)
            emit dataChanged(index(row), index(row), {SelectedRole});
    }
}

void HistoryListModel::relocalize(const QLocale &locale)
{
    m_dates.setLocale(locale);
    if (!m_records.isEmpty())
        emit dataChanged(index(0), index(int(m_records.size()) - 1));
}

int HistoryListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_records.size());
}

QVariant HistoryListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_records.size())
        return {};
    const CleanHistory &record = m_records.at(index.row());
    switch (role) {
    case Qt::DisplayRole: return record.deviceName;
    case DateRole: return m_dates.string(record.timestamp);
    case CountRole: return historyText::cleanedCount(record.cleanedFileCount);
    case FreedRole: return historyText::freed(record.freedSpace);
    case KindsRole:
        if (const std::optional<QString> kinds = historyText::kinds(record.fileTypes))
            return *kinds;
        return {};
    case HasKindsRole: return !record.fileTypes.isEmpty();
    case SelectedRole: return m_selected && *m_selected == record.id;
    default: return {};
    }
}

// ---------------------------------------------------------------- delegate

namespace {

constexpr int outerH = 8;     // around the highlight
constexpr int outerV = 2;
constexpr int innerH = 8;     // inside it
constexpr int innerV = 8;
constexpr int lineGap = 8;
constexpr int symbolGap = 6;

} // namespace

HistoryRowDelegate::HistoryRowDelegate(QObject *parent) : QStyledItemDelegate(parent)
{
    m_headline = ui::font(ui::TextStyle::headline);
    m_caption = ui::font(ui::TextStyle::caption);
    m_subheadline = ui::font(ui::TextStyle::subheadline);
    m_symbolSize = int(std::lround(QFontInfo(m_subheadline).pixelSize() * 1.15));
}

int HistoryRowDelegate::symbolLineHeight() const
{
    return std::max(QFontMetrics(m_subheadline).height(), m_symbolSize);
}

int HistoryRowDelegate::contentWidth(int listWidth)
{
    return std::max(0, listWidth - 2 * outerH - 2 * innerH);
}

QRect HistoryRowDelegate::kindsRect(const QString &kinds, int width) const
{
    return QFontMetrics(m_caption).boundingRect(QRect(0, 0, width, 0), int(Qt::AlignLeft | Qt::TextWordWrap), kinds);
}

QSize HistoryRowDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    // The list asks before it lays its rows out: they take its viewport's width.
    const auto *list = qobject_cast<const QAbstractItemView *>(option.widget);
    const int width = list ? list->viewport()->width() : option.rect.width();
    const int first = std::max(QFontMetrics(m_headline).height(), QFontMetrics(m_caption).height());
    int height = 2 * outerV + 2 * innerV + first + 2 * (lineGap + symbolLineHeight());
    const QString kinds = index.data(HistoryListModel::KindsRole).toString();
    if (!kinds.isEmpty())
        height += lineGap + kindsRect(kinds, contentWidth(width)).height();
    return {width, height};
}

void HistoryRowDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setLayoutDirection(option.direction);
    const QRect box = option.rect.adjusted(outerH, outerV, -outerH, -outerV);
    if (index.data(HistoryListModel::SelectedRole).toBool()) {
        QPainterPath shape;
        shape.addRoundedRect(QRectF(box), 6, 6);
        painter->fillPath(shape, ui::color(ui::NamedColor::accent, 0.2));
    }
    // The record Enter and Space choose, while the list has the focus.
    if (option.state & QStyle::State_HasFocus)
        ui::paintFocusRing(*painter, box, 6, option.rect);
    const QRect content = box.adjusted(innerH, innerV, -innerH, -innerV);
    const QColor primary = ui::color(ui::NamedColor::primary);
    const QColor secondary = ui::color(ui::NamedColor::secondary);
    int y = content.top();

    // The device, and the date at the trailing end.
    const QFontMetrics headline(m_headline), caption(m_caption);
    const int firstHeight = std::max(headline.height(), caption.height());
    const QString date = index.data(HistoryListModel::DateRole).toString();
    // The date whole (its time last), up to two thirds of the line: a name cut
    // with "…" still reads, a time cut does not.
    const int dateWidth = std::min(content.width() * 2 / 3, caption.horizontalAdvance(date) + 1);
    const QRect dateRect(content.right() - dateWidth + 1, y, dateWidth, firstHeight);
    painter->setFont(m_caption);
    painter->setPen(secondary);
    ui::drawLine(*painter, rows::placed(option, dateRect), rows::trailing(option), date);
    const int nameWidth = std::max(0, dateRect.left() - lineGap - content.left());
    painter->setFont(m_headline);
    painter->setPen(primary);
    ui::drawLine(*painter, rows::placed(option, QRect(content.left(), y, nameWidth, firstHeight)),
                 rows::leading(option), index.data(Qt::DisplayRole).toString(), ui::LineOrder::name);
    y += firstHeight + lineGap;

    // The count and the freed space, each after its symbol.
    const qreal ratio = painter->device()->devicePixelRatioF();
    const int lineHeight = symbolLineHeight();
    const auto symbolLine = [&](const QString &symbol, ui::NamedColor tint, const QString &text) {
        const QRect symbolRect(content.left(), y + (lineHeight - m_symbolSize) / 2, m_symbolSize, m_symbolSize);
        painter->drawPixmap(rows::placed(option, symbolRect).topLeft(),
                            m_symbols.pixmap(symbol, ui::color(tint), m_symbolSize, ratio));
        const int left = symbolRect.right() + 1 + symbolGap;
        const int width = std::max(0, content.right() + 1 - left);
        painter->setFont(m_subheadline);
        painter->setPen(primary);
        ui::drawLine(*painter, rows::placed(option, QRect(left, y, width, lineHeight)), rows::leading(option), text);
        y += lineHeight + lineGap;
    };
    symbolLine(QStringLiteral("doc.badge.plus"), ui::NamedColor::blue, index.data(HistoryListModel::CountRole).toString());
    symbolLine(QStringLiteral("internaldrive"), ui::NamedColor::green, index.data(HistoryListModel::FreedRole).toString());

    // The kinds, all of them, on as many lines as they need. Not clipped to
    // the lines' height: the caption's underscore lies below it (".DS_Store").
    const QString kinds = index.data(HistoryListModel::KindsRole).toString();
    if (!kinds.isEmpty()) {
        painter->setFont(m_caption);
        painter->setPen(secondary);
        const int height = kindsRect(kinds, content.width()).height();
        painter->drawText(rows::placed(option, QRect(content.left(), y, content.width(), height)),
                          int(QStyle::visualAlignment(option.direction, Qt::AlignLeft) | Qt::AlignTop | Qt::TextWordWrap
                              | Qt::TextDontClip),
                          kinds);
    }
    painter->restore();
}
