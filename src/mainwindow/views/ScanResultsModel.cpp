#include "mainwindow/views/ScanResultsModel.h"

#include "localization/Localization.h"
#include "toolkit/FileRow.h"
#include "toolkit/Presentation.h"
#include "toolkit/Toolkit.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QStyleOptionButton>

#include <algorithm>
#include <cmath>

// ---------------------------------------------------------------- model

ScanResultsModel::ScanResultsModel(QObject *parent) : QAbstractItemModel(parent) {}

void ScanResultsModel::setResults(const ScanResult &results)
{
    beginResetModel();
    m_results = results;
    m_sections.clear();
    m_sectionTypes = presentation::resultSections(m_results);
    for (FileType type : std::as_const(m_sectionTypes)) {
        // constFind: a non-const lookup would detach the shared copy.
        m_sections.append({type, &*m_results.constFind(type), presentation::totalSize(m_results, type)});
    }
    endResetModel();
}

void ScanResultsModel::sectionsChanged(const QList<int> &roles, std::function<bool(FileType)> which)
{
    for (int row = 0; row < m_sections.size(); ++row) {
        if (which(m_sections[row].type))
            emit dataChanged(index(row, 0), index(row, 0), roles);
    }
}

void ScanResultsModel::setSelection(const FileTypeSet &selected)
{
    if (selected == m_selected)
        return;
    const FileTypeSet before = std::exchange(m_selected, selected);
    sectionsChanged({Qt::CheckStateRole},
                    [&](FileType type) { return before.contains(type) != m_selected.contains(type); });
}

void ScanResultsModel::setCustomExtensions(const QStringList &extensions)
{
    if (extensions == m_customExtensions)
        return;
    m_customExtensions = extensions;
    sectionsChanged({ExtensionsLineRole}, [](FileType type) { return type == FileType::custom; });
}

void ScanResultsModel::setMountRoot(const QString &mountRoot)
{
    if (mountRoot == m_mountRoot)
        return;
    m_mountRoot = mountRoot;
    for (int row = 0; row < m_sections.size(); ++row) {
        const int count = int(m_sections[row].files->size());
        const QModelIndex section = index(row, 0);
        emit dataChanged(index(0, 0, section), index(count - 1, 0, section), {SymbolRole, TintRole});
    }
}

QModelIndex ScanResultsModel::sectionIndex(FileType type) const
{
    const qsizetype row = m_sectionTypes.indexOf(type);
    return row < 0 ? QModelIndex() : index(int(row), 0);
}

// Kind rows carry the id 0; a file row carries its section's row plus one.
QModelIndex ScanResultsModel::index(int row, int column, const QModelIndex &parent) const
{
    if (column != 0 || row < 0)
        return {};
    if (!parent.isValid())
        return row < m_sections.size() ? createIndex(row, 0, quintptr(0)) : QModelIndex();
    if (parent.internalId() != 0 || parent.row() >= m_sections.size())
        return {};
    if (row >= m_sections[parent.row()].files->size())
        return {};
    return createIndex(row, 0, quintptr(parent.row()) + 1);
}

QModelIndex ScanResultsModel::parent(const QModelIndex &child) const
{
    if (!child.isValid() || child.internalId() == 0)
        return {};
    return createIndex(int(child.internalId() - 1), 0, quintptr(0));
}

int ScanResultsModel::rowCount(const QModelIndex &parent) const
{
    if (!parent.isValid())
        return int(m_sections.size());
    if (parent.internalId() != 0 || parent.column() != 0)
        return 0;
    return int(m_sections[parent.row()].files->size());
}

int ScanResultsModel::columnCount(const QModelIndex &) const
{
    return 1;
}

QVariant ScanResultsModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    if (index.internalId() == 0)
        return sectionData(m_sections[index.row()], role);
    const Section &section = m_sections[qsizetype(index.internalId() - 1)];
    return fileData(section.files->at(index.row()), role);
}

QVariant ScanResultsModel::sectionData(const Section &section, int role) const
{
    switch (role) {
    case Qt::DisplayRole: return FileTypes::displayName(section.type);
    case SymbolRole: return FileTypes::iconName(section.type);
    case TintRole: return ui::color(FileTypes::color(section.type));
    case Qt::CheckStateRole: return m_selected.contains(section.type) ? Qt::Checked : Qt::Unchecked;
    case ExtensionsLineRole:
        if (const std::optional<QString> line = presentation::extensionsLine(section.type, m_customExtensions))
            return *line;
        return {};
    case SummaryRole:
        return format(localized(QStringLiteral("files_and_size")), int(section.files->size()),
                      presentation::byteCountText(section.totalSize));
    default: return {};
    }
}

QVariant ScanResultsModel::fileData(const FileItem &file, int role) const
{
    switch (role) {
    case Qt::DisplayRole: return file.name();
    case PathRole: return file.path();
    case SizeTextRole: return presentation::byteCountText(file.size);
    case SymbolRole:
        return presentation::isInside(file.path(), m_mountRoot) ? QStringLiteral("externaldrive.badge.checkmark")
                                                              : QStringLiteral("externaldrive.badge.minus");
    case TintRole:
        return ui::color(presentation::isInside(file.path(), m_mountRoot) ? ui::NamedColor::green : ui::NamedColor::red);
    default: return {};
    }
}

bool ScanResultsModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (role != Qt::CheckStateRole || !isSection(index) || !(flags(index) & Qt::ItemIsUserCheckable))
        return false;
    // The window state owns the selection; the row follows it on the next refresh.
    if (m_writer)
        m_writer(m_sections[index.row()].type, value.toInt() == Qt::Checked);
    return true;
}

Qt::ItemFlags ScanResultsModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    if (index.internalId() != 0)
        return Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
    Qt::ItemFlags flags = Qt::ItemIsEnabled;
    if (presentation::selectionEnabled(m_sections[index.row()].type, m_customExtensions))
        flags |= Qt::ItemIsUserCheckable;
    return flags;
}

// ---------------------------------------------------------------- delegate

namespace {

constexpr int rowInset = 8;        // the inset list's margin on both sides
constexpr int cellPadH = 4;        // a kind row's padding
constexpr int cellPadV = 6;
constexpr int spacing = 8;

using rows::leading;
using rows::placed;

} // namespace

ScanResultsDelegate::ScanResultsDelegate(QObject *parent) : QStyledItemDelegate(parent), m_fileRow(rowInset, false)
{
    m_kindFont = ui::font(ui::TextStyle::body);
    m_captionFont = ui::font(ui::TextStyle::caption);
    const QFontMetrics kind(m_kindFont), caption(m_captionFont);
    const int kindRow = 2 * cellPadV + kind.height() + 2 + caption.height();
    m_rowHeight = std::max({40, m_fileRow.rowHeight(), kindRow});
}

QSize ScanResultsDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const
{
    return {option.rect.width(), m_rowHeight};
}

// The check box at the trailing end of a kind row, laid out left to right.
static QRect checkBoxLeftToRight(const QRect &row, const QWidget *widget)
{
    const QStyle *style = widget ? widget->style() : QApplication::style();
    const int w = style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, widget);
    const int h = style->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, widget);
    return {row.right() - rowInset - cellPadH - w + 1, row.top() + (row.height() - h) / 2, w, h};
}

QRect ScanResultsDelegate::checkBoxRect(const QRect &row, const QWidget *widget) const
{
    const QRect box = checkBoxLeftToRight(row, widget);
    return widget ? QStyle::visualRect(widget->layoutDirection(), row, box) : box;
}

void ScanResultsDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setLayoutDirection(option.direction);
    if (!index.parent().isValid())
        paintKind(painter, option, index);
    else
        paintFile(painter, option, index);
    painter->restore();
}

void ScanResultsDelegate::paintKind(QPainter *painter, const QStyleOptionViewItem &option,
                                    const QModelIndex &index) const
{
    const QRect row = option.rect.adjusted(rowInset, 1, -rowInset, -1);
    QPainterPath band;
    band.addRoundedRect(QRectF(row), 6, 6);
    painter->fillPath(band, ui::color(ui::NamedColor::secondary, 0.1));
    // The row the keys act on (Space ticks its box) while the list has the focus.
    if (option.state & QStyle::State_HasFocus)
        ui::paintFocusRing(*painter, row, 6, option.rect);

    const qreal ratio = painter->device()->devicePixelRatioF();
    const int symbolSize = int(std::lround(QFontInfo(m_kindFont).pixelSize() * 1.15));
    int x = row.left() + cellPadH;
    const QRect symbolRect(x, row.top() + (row.height() - symbolSize) / 2, symbolSize, symbolSize);
    painter->drawPixmap(placed(option, symbolRect).topLeft(),
                        m_symbols.pixmap(index.data(ScanResultsModel::SymbolRole).toString(),
                                         index.data(ScanResultsModel::TintRole).value<QColor>(), symbolSize, ratio));
    x += symbolSize + spacing;

    const QWidget *widget = option.widget;
    const QRect check = checkBoxLeftToRight(option.rect, widget);
    const int right = check.left() - spacing;
    const QString name = index.data(Qt::DisplayRole).toString();
    const QString extensions = index.data(ScanResultsModel::ExtensionsLineRole).toString();
    const QString summary = index.data(ScanResultsModel::SummaryRole).toString();
    const QFontMetrics kindMetrics(m_kindFont), captionMetrics(m_captionFont);

    // The name column takes what it needs; the count line gets the rest.
    const int available = std::max(0, right - x);
    // Whole pixels with a pixel to spare: a rounded-down width would elide the text it measured.
    const auto widthOf = [](const QFont &font, const QString &text) {
        return int(std::ceil(QFontMetricsF(font).horizontalAdvance(text))) + 1;
    };
    const int summaryWidth = widthOf(m_captionFont, summary);
    int nameWidth = std::max(widthOf(m_kindFont, name), extensions.isEmpty() ? 0 : widthOf(m_captionFont, extensions));
    nameWidth = std::min(nameWidth, std::max(available / 2, available - spacing - summaryWidth));

    const QColor primary = ui::color(ui::NamedColor::primary);
    const QColor secondary = ui::color(ui::NamedColor::secondary);
    const int nameHeight = kindMetrics.height();
    const int stackHeight = extensions.isEmpty() ? nameHeight : nameHeight + 2 + captionMetrics.height();
    const int top = row.top() + (row.height() - stackHeight) / 2;
    painter->setFont(m_kindFont);
    painter->setPen(primary);
    ui::drawLine(*painter, placed(option, QRect(x, top, nameWidth, nameHeight)), leading(option), name);
    painter->setFont(m_captionFont);
    painter->setPen(secondary);
    if (!extensions.isEmpty())
        ui::drawLine(*painter, placed(option, QRect(x, top + nameHeight + 2, nameWidth, captionMetrics.height())),
                     leading(option), extensions);
    x += nameWidth + spacing;
    const int summaryRoom = std::max(0, right - x);
    ui::drawLine(*painter, placed(option, QRect(x, row.top(), summaryRoom, row.height())), leading(option), summary);

    QStyleOptionButton box;
    box.rect = placed(option, check);
    box.palette = option.palette;
    box.direction = option.direction;
    const bool enabled = index.flags() & Qt::ItemIsUserCheckable;
    box.state = enabled ? QStyle::State_Enabled : QStyle::State_None;
    box.state |= index.data(Qt::CheckStateRole).toInt() == Qt::Checked ? QStyle::State_On : QStyle::State_Off;
    if (!enabled)
        box.palette.setCurrentColorGroup(QPalette::Disabled);
    QStyle *style = widget ? widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_IndicatorCheckBox, &box, painter, widget);
}

void ScanResultsDelegate::paintFile(QPainter *painter, const QStyleOptionViewItem &option,
                                    const QModelIndex &index) const
{
    m_fileRow.paint(painter, option,
                    {index.data(ScanResultsModel::SymbolRole).toString(),
                     index.data(ScanResultsModel::TintRole).value<QColor>(), index.data(Qt::DisplayRole).toString(),
                     index.data(ScanResultsModel::PathRole).toString(),
                     index.data(ScanResultsModel::SizeTextRole).toString()});
}

bool ScanResultsDelegate::editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                                      const QModelIndex &index)
{
    if (index.parent().isValid() || !(index.flags() & Qt::ItemIsUserCheckable))
        return false;
    const bool checked = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
    const auto toggle = [&] {
        return model->setData(index, checked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
    };
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseButtonRelease: {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() != Qt::LeftButton
            || !checkBoxRect(option.rect, option.widget).adjusted(-4, -4, 4, 4).contains(mouse->position().toPoint()))
            return false;
        // Press and double click are taken so they do not also reach the row.
        return event->type() == QEvent::MouseButtonRelease ? toggle() : true;
    }
    case QEvent::KeyPress: {
        const int key = static_cast<QKeyEvent *>(event)->key();
        return (key == Qt::Key_Space || key == Qt::Key_Select) && toggle();
    }
    default: return false;
    }
}
