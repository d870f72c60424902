#pragma once

// What the lists of files have in common: their set-up, the file row (a symbol in a
// 24-point frame, the name over the path, the size at the trailing end, a
// divider under the text) and the tinted symbols their delegates paint, made
// once per symbol, tint, size and pixel ratio.

#include <QColor>
#include <QFont>
#include <QHash>
#include <QPixmap>
#include <QRect>
#include <QString>
#include <QStyleOptionViewItem>

#include <functional>

class QAbstractItemView;
class QPainter;

namespace rows {

// A list that only shows rows: nothing to select or edit, no frame, scrolled
// by the pixel, never sideways; the keyboard's focus lands on a row in sight.
void setUpPlainList(QAbstractItemView *list);

// Given the focus by the keyboard, the list puts its keys on an entry in sight
// when the current one is scrolled away, so that its ring shows.
void focusLandsInSight(QAbstractItemView *list);

// Enter, Return and Space on the list's current row choose it as a click does.
void chooseWithKeys(QAbstractItemView *list, std::function<void(const QModelIndex &)> choose);

// A rectangle laid out left to right, mirrored for right-to-left languages.
QRect placed(const QStyleOptionViewItem &option, const QRect &rect);
Qt::Alignment leading(const QStyleOptionViewItem &option);
Qt::Alignment trailing(const QStyleOptionViewItem &option);

class SymbolCache
{
public:
    QPixmap pixmap(const QString &name, const QColor &tint, int size, qreal ratio) const;

private:
    mutable QHash<QString, QPixmap> m_pixmaps;
};

struct FileRowContent
{
    QString symbol;
    QColor tint;
    QString name;
    QString path;
    QString sizeText;
};

class FileRowPainter
{
public:
    // `inset`: the list's own margin on both sides. With `backdrop` the symbol
    // stands at text size on a rounded square of its tint at 10 %; without,
    // it fills the frame.
    FileRowPainter(int inset, bool backdrop);

    int rowHeight() const { return m_rowHeight; }
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const FileRowContent &row) const;

private:
    int m_inset;
    bool m_backdrop;
    QFont m_nameFont, m_pathFont, m_sizeFont;
    int m_rowHeight = 0;
    SymbolCache m_symbols;
};

} // namespace rows
