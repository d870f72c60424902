#include "toolkit/FileRow.h"

#include "toolkit/Toolkit.h"

#include <QAbstractItemView>
#include <QKeyEvent>
#include <QListView>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>

#include <cmath>

namespace rows {

namespace {

constexpr int cellPadH = 4;        // a file cell's padding
constexpr int cellPadV = 6;
constexpr int symbolFrame = 24;
constexpr int dividerInset = 28;   // the divider starts under the text, not the symbol
constexpr int sizeColumn = 70;
constexpr int spacing = 8;

// The keys' entry is one in sight when the keyboard brings the focus: the
// first one whole in what the list shows, when the current one is scrolled
// away (or there is none yet, which Qt would make the first, out of sight).
// Its ring is what shows that the list has the focus.
class CurrentEntryInSight final : public QObject
{
public:
    explicit CurrentEntryInSight(QAbstractItemView *list) : QObject(list), m_list(list)
    {
        list->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_list && event->type() == QEvent::FocusIn && m_list->selectionModel()
            && static_cast<QFocusEvent *>(event)->reason() != Qt::MouseFocusReason) {
            const QRect shown = m_list->viewport()->rect();
            if (!shown.intersects(m_list->visualRect(m_list->currentIndex()))) {
                if (const QModelIndex entry = firstEntryIn(shown); entry.isValid())
                    m_list->selectionModel()->setCurrentIndex(entry, QItemSelectionModel::NoUpdate);
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    // Rows from the top; a line of entries (a list flowing left to right)
    // from its leading side.
    QModelIndex firstEntryIn(const QRect &shown) const
    {
        const auto *line = qobject_cast<const QListView *>(m_list);
        if (!line || line->flow() != QListView::LeftToRight) {
            const QModelIndex top = m_list->indexAt(QPoint(shown.center().x(), shown.top()));
            const QRect topRow = m_list->visualRect(top);
            if (topRow.top() >= shown.top() || topRow.bottom() >= shown.bottom())
                return top;   // whole, or taller than what shows
            const QModelIndex next = m_list->indexAt(QPoint(shown.center().x(), topRow.bottom() + 1));
            return next.isValid() ? next : top;
        }
        const bool mirrored = m_list->layoutDirection() == Qt::RightToLeft;
        const int middle = shown.center().y();
        const QModelIndex first = m_list->indexAt(QPoint(mirrored ? shown.right() : shown.left(), middle));
        const QRect entry = m_list->visualRect(first);
        if ((mirrored ? entry.right() <= shown.right() : entry.left() >= shown.left()) || entry.width() >= shown.width())
            return first;
        const QModelIndex next = m_list->indexAt(QPoint(mirrored ? entry.left() - 1 : entry.right() + 1, middle));
        return next.isValid() ? next : first;
    }

    QAbstractItemView *m_list;
};

} // namespace

void setUpPlainList(QAbstractItemView *list)
{
    list->setSelectionMode(QAbstractItemView::NoSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->setFrameShape(QFrame::NoFrame);
    focusLandsInSight(list);
}

void focusLandsInSight(QAbstractItemView *list)
{
    new CurrentEntryInSight(list);
}

namespace {

class ChooseWithKeys final : public QObject
{
public:
    ChooseWithKeys(QAbstractItemView *list, std::function<void(const QModelIndex &)> choose)
        : QObject(list), m_list(list), m_choose(std::move(choose))
    {
        list->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != m_list || event->type() != QEvent::KeyPress)
            return QObject::eventFilter(watched, event);
        const auto *key = static_cast<QKeyEvent *>(event);
        const QModelIndex current = m_list->currentIndex();
        if (!current.isValid() || !ui::choosesItem(key))
            return QObject::eventFilter(watched, event);
        m_choose(current);
        return true;
    }

private:
    QAbstractItemView *m_list;
    std::function<void(const QModelIndex &)> m_choose;
};

} // namespace

void chooseWithKeys(QAbstractItemView *list, std::function<void(const QModelIndex &)> choose)
{
    new ChooseWithKeys(list, std::move(choose));
}

QRect placed(const QStyleOptionViewItem &option, const QRect &rect)
{
    return QStyle::visualRect(option.direction, option.rect, rect);
}

Qt::Alignment leading(const QStyleOptionViewItem &option)
{
    return QStyle::visualAlignment(option.direction, Qt::AlignLeft) | Qt::AlignVCenter;
}

Qt::Alignment trailing(const QStyleOptionViewItem &option)
{
    return QStyle::visualAlignment(option.direction, Qt::AlignRight) | Qt::AlignVCenter;
}

QPixmap SymbolCache::pixmap(const QString &name, const QColor &tint, int size, qreal ratio) const
{
    const QString key = name + QLatin1Char('|') + tint.name(QColor::HexArgb) + QLatin1Char('|')
                        + QString::number(size) + QLatin1Char('|') + QString::number(ratio);
    auto it = m_pixmaps.constFind(key);
    if (it == m_pixmaps.cend())
        it = m_pixmaps.insert(key, ui::symbolPixmap(name, tint, size, ratio));
    return *it;
}

FileRowPainter::FileRowPainter(int inset, bool backdrop) : m_inset(inset), m_backdrop(backdrop)
{
    m_nameFont = ui::systemFont(13);
    m_pathFont = ui::systemFont(11);
    m_sizeFont = ui::systemFont(12);
    const QFontMetrics name(m_nameFont), path(m_pathFont);
    m_rowHeight = 2 * cellPadV + std::max(symbolFrame, name.height() + 1 + path.height());
}

void FileRowPainter::paint(QPainter *painter, const QStyleOptionViewItem &option, const FileRowContent &row) const
{
    const QRect cell = option.rect.adjusted(m_inset + cellPadH, cellPadV, -m_inset - cellPadH, -cellPadV);
    const qreal ratio = painter->device()->devicePixelRatioF();

    const QRect frame(cell.left(), cell.top() + (cell.height() - symbolFrame) / 2, symbolFrame, symbolFrame);
    if (m_backdrop) {
        QPainterPath square;
        square.addRoundedRect(QRectF(placed(option, frame)), 4, 4);
        QColor fill = row.tint;
        fill.setAlphaF(fill.alphaF() * 0.1f);
        painter->fillPath(square, fill);
        const int size = int(std::lround(QFontInfo(ui::font(ui::TextStyle::body)).pixelSize() * 1.15));
        const QRect symbol(frame.left() + (symbolFrame - size) / 2, frame.top() + (symbolFrame - size) / 2, size, size);
        painter->drawPixmap(placed(option, symbol).topLeft(), m_symbols.pixmap(row.symbol, row.tint, size, ratio));
    } else {
        painter->drawPixmap(placed(option, frame).topLeft(), m_symbols.pixmap(row.symbol, row.tint, symbolFrame, ratio));
    }

    painter->save();
    painter->setLayoutDirection(option.direction);
    const QColor secondary = ui::color(ui::NamedColor::secondary);
    const QRect sizeRect(cell.right() - sizeColumn + 1, cell.top(), sizeColumn, cell.height());
    painter->setFont(m_sizeFont);
    painter->setPen(secondary);
    ui::drawLine(*painter, placed(option, sizeRect), trailing(option), row.sizeText);

    const int textLeft = frame.right() + 1 + spacing;
    const int textWidth = std::max(0, sizeRect.left() - spacing - textLeft);
    const QFontMetrics nameMetrics(m_nameFont), pathMetrics(m_pathFont);
    const int top = cell.top() + (cell.height() - (nameMetrics.height() + 1 + pathMetrics.height())) / 2;
    painter->setFont(m_nameFont);
    painter->setPen(ui::color(ui::NamedColor::primary));
    // In a right-to-left list the name and the path keep their own order.
    ui::drawLine(*painter, placed(option, QRect(textLeft, top, textWidth, nameMetrics.height())), leading(option),
                 row.name, ui::LineOrder::name);
    painter->setFont(m_pathFont);
    painter->setPen(secondary);
    const QRect pathRect(textLeft, top + nameMetrics.height() + 1, textWidth, pathMetrics.height());
    ui::drawLine(*painter, placed(option, pathRect), leading(option), row.path, ui::LineOrder::leftToRight);
    painter->restore();

    // The row the keys are on, while the list has the focus.
    if (option.state & QStyle::State_HasFocus)
        ui::paintFocusRing(*painter, option.rect.adjusted(m_inset, 1, -m_inset, -1), 6, option.rect);

    const int dividerLeft = option.rect.left() + m_inset + dividerInset;
    const QRect divider(dividerLeft, option.rect.bottom(), option.rect.right() - m_inset - dividerLeft + 1, 1);
    painter->fillRect(placed(option, divider), ui::color(ui::NamedColor::secondary, 0.3));
}

} // namespace rows
