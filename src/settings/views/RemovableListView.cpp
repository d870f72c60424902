#include "settings/views/RemovableListView.h"

#include "toolkit/FileRow.h"
#include "toolkit/Motion.h"
#include "toolkit/Toolkit.h"

#include <QAbstractListModel>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>

#include <cmath>

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
    // Rounded up: a width rounded to the nearest pixel can leave the text a
    // fraction too little room, and it would be drawn cut (".b…" for ".bak").
    const int textWidth = int(std::ceil(QFontMetricsF(entryFont(shape)).horizontalAdvance(text)));
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

// How much of an entry is there: 1 when listed, less while it leaves (its
// room closing as it fades) or comes.
constexpr int presenceRole = Qt::UserRole + 1;

qreal presenceOf(const QModelIndex &index)
{
    return index.data(presenceRole).toReal();
}

int scaled(int length, qreal presence)
{
    return int(std::lround(length * presence));
}

} // namespace

// The entries as drawn: the listed ones and, for a moment, those that left.
class RemovableListView::Entries final : public QAbstractListModel
{
public:
    using QAbstractListModel::QAbstractListModel;

    struct Entry
    {
        QString text;
        quint64 id = 0;
        qreal presence = 1;
        bool leaving = false;
    };
    struct Change
    {
        QList<quint64> leaving;
        QList<quint64> coming;
    };

    int rowCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : int(m_entries.size()); }
    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || index.row() >= m_entries.size())
            return {};
        const Entry &entry = m_entries.at(index.row());
        if (role == Qt::DisplayRole)
            return entry.text;
        if (role == presenceRole)
            return entry.presence;
        return {};
    }

    QStringList listed() const
    {
        QStringList texts;
        for (const Entry &entry : m_entries) {
            if (!entry.leaving)
                texts << entry.text;
        }
        return texts;
    }
    // The model row of the n-th listed entry, or -1.
    int rowOfListed(int n) const
    {
        for (int row = 0; row < m_entries.size(); ++row) {
            if (!m_entries.at(row).leaving && n-- == 0)
                return row;
        }
        return -1;
    }
    bool isLeaving(int row) const { return row >= 0 && row < m_entries.size() && m_entries.at(row).leaving; }

    void reset(const QStringList &items)
    {
        beginResetModel();
        m_entries.clear();
        for (const QString &text : items)
            m_entries << Entry{text, ++m_serial};
        endResetModel();
    }

    // Lists `items`: listed entries missing from them leave where they stand,
    // and what is new comes at the end (fading in when `comeGradually`).
    Change change(const QStringList &items, bool comeGradually)
    {
        Change change;
        QList<Entry> next;
        qsizetype kept = 0;
        for (Entry entry : std::as_const(m_entries)) {
            if (!entry.leaving && kept < items.size() && entry.text == items.at(kept)) {
                ++kept;
            } else if (!entry.leaving) {
                entry.leaving = true;
                change.leaving << entry.id;
            }
            next << entry;
        }
        for (qsizetype i = kept; i < items.size(); ++i) {
            next << Entry{items.at(i), ++m_serial, comeGradually ? 0.0 : 1.0};
            if (comeGradually)
                change.coming << m_serial;
        }
        beginResetModel();
        m_entries = next;
        endResetModel();
        return change;
    }

    void setPresence(quint64 id, qreal presence)
    {
        const int row = rowOf(id);
        if (row < 0)
            return;
        m_entries[row].presence = presence;
        emit dataChanged(index(row), index(row), {presenceRole});
    }
    void drop(quint64 id)
    {
        const int row = rowOf(id);
        if (row < 0)
            return;
        beginRemoveRows({}, row, row);
        m_entries.removeAt(row);
        endRemoveRows();
    }

    // The rows' total height at `rowHeight` each (gap included), as drawn now.
    int drawnHeight(int rowHeight) const
    {
        int height = 0;
        for (const Entry &entry : m_entries)
            height += scaled(rowHeight, entry.presence);
        return height;
    }

private:
    int rowOf(quint64 id) const
    {
        for (int row = 0; row < m_entries.size(); ++row) {
            if (m_entries.at(row).id == id)
                return row;
        }
        return -1;
    }

    QList<Entry> m_entries;
    quint64 m_serial = 0;
};

namespace {

class EntryDelegate final : public QStyledItemDelegate
{
public:
    EntryDelegate(Shape shape, QObject *parent) : QStyledItemDelegate(parent), m_shape(shape) {}

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        if (m_shape == Shape::row)
            return {option.rect.width(), scaled(boxHeight(m_shape) + rowGap, presenceOf(index))};
        const EntryLayout at = entryLayout(m_shape, QRect(0, 0, 0, chipLineHeight), shownText(index));
        return {scaled(at.box.width() + chipGap, presenceOf(index)), chipLineHeight};
    }

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const QString text = shownText(index);
        const EntryLayout at = entryLayout(m_shape, option.rect, text);
        const QWidget *view = option.widget;
        const qreal ratio = view ? view->devicePixelRatioF() : 1.0;
        painter->save();
        // An entry on its way in or out fades within the room it has.
        painter->setOpacity(presenceOf(index));
        painter->setClipRect(option.rect);
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(Qt::NoPen);
        painter->setBrush(m_shape == Shape::row ? ui::color(ui::NamedColor::secondary, 0.1)
                                                : ui::color(ui::NamedColor::blue, 0.1));
        const qreal radius = m_shape == Shape::row ? 6 : std::min(15.0, at.box.height() / 2.0);
        painter->drawRoundedRect(QRectF(mirrored(view, option.rect, at.box)), radius, radius);
        // The entry the keys remove, while the list has the focus.
        if (option.state & QStyle::State_HasFocus)
            ui::paintFocusRing(*painter, QRectF(mirrored(view, option.rect, at.box)), radius, option.rect);
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
        painter->setLayoutDirection(option.direction);
        ui::drawLine(*painter, textRect, Qt::AlignVCenter | Qt::AlignLeading, text, ui::LineOrder::name);
        painter->restore();
    }

    QString shownText(const QModelIndex &index) const { return shown(m_shape, index.data().toString()); }

    Shape m_shape;
};

} // namespace

RemovableListView::RemovableListView(Shape shape, QWidget *parent)
    : QListView(parent), m_shape(shape), m_model(new Entries(this))
{
    setModel(m_model);
    setItemDelegate(new EntryDelegate(shape, this));
    setSelectionMode(QAbstractItemView::NoSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setFocusPolicy(Qt::TabFocus);
    rows::focusLandsInSight(this);   // a line of chips scrolled away from the current one
    setFrameShape(QFrame::NoFrame);
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
    if (items == m_model->listed())
        return;
    if (!isVisible()) {
        m_model->reset(items);
        fitHeight();
        return;
    }
    // A removed entry leaves with the default transition; a pattern added to
    // the rows comes with it too, a suffix added to the chips at once.
    const Entries::Change change = m_model->change(items, m_shape == Shape::row);
    for (quint64 id : change.leaving) {
        ui::motion::run(
            this, ui::motion::standard, [this, id](qreal progress) { m_model->setPresence(id, 1 - progress); relayOut(); },
            [this, id] { m_model->drop(id); relayOut(); });
    }
    for (quint64 id : change.coming)
        ui::motion::run(this, ui::motion::standard, [this, id](qreal progress) {
            m_model->setPresence(id, progress);
            relayOut();
        });
    relayOut();
}

QStringList RemovableListView::items() const
{
    return m_model->listed();
}

QString RemovableListView::shownText(int row) const
{
    return shown(m_shape, m_model->listed().value(row));
}

QRect RemovableListView::removeButtonRect(int row) const
{
    return removeRectOf(m_model->index(m_model->rowOfListed(row)));
}

QRect RemovableListView::removeRectOf(const QModelIndex &index) const
{
    const QRect cell = visualRect(index);
    if (!index.isValid() || m_model->isLeaving(index.row()) || !cell.isValid())
        return {};
    return mirrored(this, cell, entryLayout(m_shape, cell, shown(m_shape, index.data().toString())).remove);
}

void RemovableListView::relayOut()
{
    doItemsLayout();
    fitHeight();
    viewport()->update();
}

void RemovableListView::fitHeight()
{
    if (m_shape != Shape::row)
        return;
    setFixedHeight(std::max(0, m_model->drawnHeight(boxHeight(m_shape) + rowGap) - rowGap));
}

void RemovableListView::mousePressEvent(QMouseEvent *event)
{
    event->accept();   // nothing to select
}

void RemovableListView::mouseMoveEvent(QMouseEvent *event)
{
    const QPoint at = event->position().toPoint();
    const bool onRemove = removeRectOf(indexAt(at)).contains(at);
    viewport()->setCursor(onRemove ? Qt::PointingHandCursor : Qt::ArrowCursor);
    event->accept();
}

void RemovableListView::mouseReleaseEvent(QMouseEvent *event)
{
    const QPoint at = event->position().toPoint();
    const QModelIndex index = indexAt(at);
    if (event->button() == Qt::LeftButton && removeRectOf(index).contains(at))
        emit removeRequested(index.data().toString());
    event->accept();
}

void RemovableListView::keyPressEvent(QKeyEvent *event)
{
    // Delete, Backspace, Enter and Space press the current entry's remove button.
    const QModelIndex current = currentIndex();
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    const bool removes = ui::choosesItem(event) || (plain && (event->key() == Qt::Key_Delete || event->key() == Qt::Key_Backspace));
    if (!removes || !current.isValid() || m_model->isLeaving(current.row())) {
        QListView::keyPressEvent(event);
        return;
    }
    int place = 0;   // among the listed entries
    for (int row = 0; row < current.row(); ++row)
        place += m_model->isLeaving(row) ? 0 : 1;
    emit removeRequested(current.data().toString());
    // The entry that stands in its place now (or the last one) takes the keys.
    const int left = int(m_model->listed().size());
    if (left > 0)
        setCurrentIndex(m_model->index(m_model->rowOfListed(std::min(place, left - 1))));
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
