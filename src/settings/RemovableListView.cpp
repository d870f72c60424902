#include "settings/RemovableListView.h"

#include "localization/Bidi.h"
#include "mainwindow/views/Toolkit.h"

#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStringListModel>
#include <QStyledItemDelegate>

namespace {

constexpr int rowGap = 8;       // between two rows
constexpr int chipGap = 8;      // between two chips, and around the line of chips
constexpr int chipLineHeight = 40;
constexpr int rowSymbol = 13;
constexpr int rowRemoveSymbol = 14;
constexpr int chipRemoveSymbol = 12;

using Shape = RemovableListView::Shape;

// Where the parts of an entry go, left to right (mirrored by the caller).
struct EntryLayout
{
    QRect box;
    QRect symbol;   // rows only
    QRect text;
    QRect remove;
};

QFont entryFont(Shape shape)
{
    return ui::font(shape == Shape::row ? ui::TextStyle::body : ui::TextStyle::caption);
}

QString shown(Shape shape, const QString &item)
{
    return shape == Shape::chip ? QLatin1Char('.') + item : item;
}

int boxHeight(Shape shape)
{
    const QFontMetrics metrics(entryFont(shape));
    return shape == Shape::row ? 6 + std::max(metrics.height(), rowRemoveSymbol) + 6
                               : 5 + std::max(metrics.height(), chipRemoveSymbol) + 5;
}

EntryLayout entryLayout(Shape shape, const QRect &cell, const QString &text)
{
    EntryLayout at;
    const int height = boxHeight(shape);
    if (shape == Shape::row) {
        at.box = QRect(cell.left(), cell.top(), cell.width(), height);
        const int middle = at.box.center().y();
        at.symbol = QRect(at.box.left() + 8, middle - rowSymbol / 2, rowSymbol, rowSymbol);
        at.remove = QRect(at.box.right() - 8 - rowRemoveSymbol + 1, middle - rowRemoveSymbol / 2, rowRemoveSymbol,
                          rowRemoveSymbol);
        at.text = QRect(at.symbol.right() + 1 + ui::defaultSpacing, at.box.top(),
                        at.remove.left() - ui::defaultSpacing - at.symbol.right() - 1 - ui::defaultSpacing,
                        at.box.height());
        return at;
    }
    const int textWidth = QFontMetrics(entryFont(shape)).horizontalAdvance(text);
    at.box = QRect(cell.left(), cell.top() + (cell.height() - height) / 2, 10 + textWidth + 4 + chipRemoveSymbol + 10,
                   height);
    at.text = QRect(at.box.left() + 10, at.box.top(), textWidth, height);
    at.remove = QRect(at.text.right() + 1 + 4, at.box.center().y() - chipRemoveSymbol / 2, chipRemoveSymbol,
                      chipRemoveSymbol);
    return at;
}

QRect mirrored(const QWidget *view, const QRect &cell, const QRect &rect)
{
    return QStyle::visualRect(view->layoutDirection(), cell, rect);
}

class EntryDelegate final : public QStyledItemDelegate
{
public:
    EntryDelegate(Shape shape, QObject *parent) : QStyledItemDelegate(parent), m_shape(shape) {}

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        if (m_shape == Shape::row)
            return {option.rect.width(), boxHeight(m_shape) + rowGap};
        const EntryLayout at = entryLayout(m_shape, QRect(0, 0, 0, chipLineHeight), shownText(index));
        return {at.box.width() + chipGap, chipLineHeight};
    }

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const QString text = shownText(index);
        const EntryLayout at = entryLayout(m_shape, option.rect, text);
        const QWidget *view = option.widget;
        const qreal ratio = view ? view->devicePixelRatioF() : 1.0;
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(Qt::NoPen);
        painter->setBrush(m_shape == Shape::row ? ui::color(ui::NamedColor::secondary, 0.1)
                                                : ui::color(ui::NamedColor::blue, 0.1));
        const qreal radius = m_shape == Shape::row ? 6 : std::min(15.0, at.box.height() / 2.0);
        painter->drawRoundedRect(QRectF(mirrored(view, option.rect, at.box)), radius, radius);
        if (m_shape == Shape::row) {
            painter->drawPixmap(mirrored(view, option.rect, at.symbol).topLeft(),
                                ui::symbolPixmap(QStringLiteral("checkmark.shield"),
                                                 ui::color(ui::NamedColor::blue, 0.8), rowSymbol, ratio));
        }
        const int removeSize = m_shape == Shape::row ? rowRemoveSymbol : chipRemoveSymbol;
        painter->drawPixmap(mirrored(view, option.rect, at.remove).topLeft(),
                            ui::symbolPixmap(QStringLiteral("xmark.circle.fill"),
                                             ui::color(ui::NamedColor::secondary), removeSize, ratio));
        // Drawn as plain text, whatever it looks like.
        painter->setFont(entryFont(m_shape));
        painter->setPen(ui::color(ui::NamedColor::primary));
        const QRect textRect = mirrored(view, option.rect, at.text);
        painter->drawText(textRect, Qt::AlignVCenter | Qt::AlignLeading | Qt::TextSingleLine,
                          bidi::name(painter->fontMetrics().elidedText(text, Qt::ElideRight, textRect.width()),
                                     option.direction));
        painter->restore();
    }

    QString shownText(const QModelIndex &index) const { return shown(m_shape, index.data().toString()); }

    Shape m_shape;
};

} // namespace

RemovableListView::RemovableListView(Shape shape, QWidget *parent)
    : QListView(parent), m_shape(shape), m_model(new QStringListModel(this))
{
    setModel(m_model);
    setItemDelegate(new EntryDelegate(shape, this));
    setSelectionMode(QAbstractItemView::NoSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setFocusPolicy(Qt::NoFocus);
    setFrameShape(QFrame::NoFrame);
    setUniformItemSizes(shape == Shape::row);
    setMouseTracking(true);
    viewport()->setAutoFillBackground(false);
    setAutoFillBackground(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    if (shape == Shape::chip) {
        setFlow(QListView::LeftToRight);
        setWrapping(false);
        setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
        setViewportMargins(chipGap, 0, 0, 0);
        setFixedHeight(chipLineHeight);
    } else {
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }
    fitHeight();
}

void RemovableListView::setItems(const QStringList &items)
{
    if (items == m_model->stringList())
        return;
    m_model->setStringList(items);
    fitHeight();
}

QStringList RemovableListView::items() const
{
    return m_model->stringList();
}

QString RemovableListView::shownText(int row) const
{
    return shown(m_shape, m_model->stringList().value(row));
}

QRect RemovableListView::removeButtonRect(int row) const
{
    const QRect cell = visualRect(m_model->index(row));
    if (!cell.isValid())
        return {};
    return mirrored(this, cell, entryLayout(m_shape, cell, shownText(row)).remove);
}

void RemovableListView::fitHeight()
{
    if (m_shape != Shape::row)
        return;
    const int rows = int(m_model->rowCount());
    setFixedHeight(rows == 0 ? 0 : rows * (boxHeight(m_shape) + rowGap) - rowGap);
}

void RemovableListView::mousePressEvent(QMouseEvent *event)
{
    event->accept();   // nothing to select
}

void RemovableListView::mouseMoveEvent(QMouseEvent *event)
{
    const QModelIndex index = indexAt(event->position().toPoint());
    const bool onRemove = index.isValid() && removeButtonRect(index.row()).contains(event->position().toPoint());
    viewport()->setCursor(onRemove ? Qt::PointingHandCursor : Qt::ArrowCursor);
    event->accept();
}

void RemovableListView::mouseReleaseEvent(QMouseEvent *event)
{
    const QPoint at = event->position().toPoint();
    const QModelIndex index = indexAt(at);
    if (event->button() == Qt::LeftButton && index.isValid() && removeButtonRect(index.row()).contains(at))
        emit removeRequested(index.data().toString());
    event->accept();
}

void RemovableListView::wheelEvent(QWheelEvent *event)
{
    // The line of chips scrolls sideways under an ordinary wheel too.
    if (m_shape == Shape::chip && horizontalScrollBar()->maximum() > 0) {
        const QPoint delta = event->angleDelta();
        const int step = delta.x() != 0 ? delta.x() : delta.y();
        horizontalScrollBar()->setValue(horizontalScrollBar()->value() - step / 2);
        event->accept();
        return;
    }
    event->ignore();
}
