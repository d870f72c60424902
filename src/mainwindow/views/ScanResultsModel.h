#pragma once

#include "cleaning/FileType.h"
#include "toolkit/FileRow.h"

#include <QAbstractItemModel>
#include <QList>
#include <QStringList>
#include <QStyledItemDelegate>

#include <functional>

// The results as a two-level model: one top-level row per kind that has files
// (declaration order), under it the kind's files in the order the scan found
// them. The model keeps one shared copy of the results and hands out
// references into it, so a hundred thousand files cost no per-row objects.
class ScanResultsModel : public QAbstractItemModel
{
    Q_OBJECT
public:
    enum Role {
        SymbolRole = Qt::UserRole + 1,   // QString: the symbol's name
        TintRole,                        // QColor: the symbol's tint
        PathRole,                        // file rows: the whole path
        SizeTextRole,                    // file rows: the size as shown
        ExtensionsLineRole,              // kind rows: the custom extensions line, or nothing
        SummaryRole,                     // kind rows: "n files, size"
    };

    // Called when the user ticks or unticks a kind's check box.
    using SelectionWriter = std::function<void(FileType type, bool selected)>;

    explicit ScanResultsModel(QObject *parent = nullptr);

    void setResults(const ScanResult &results);              // resets the model
    void setSelection(const FileTypeSet &selected);          // updates the kind rows
    void setCustomExtensions(const QStringList &extensions); // updates the custom row
    void setMountRoot(const QString &mountRoot);             // updates the file rows
    void setSelectionWriter(SelectionWriter writer) { m_writer = std::move(writer); }

    const QList<FileType> &sections() const { return m_sectionTypes; }
    bool isSection(const QModelIndex &index) const { return index.isValid() && index.internalId() == 0; }
    QModelIndex sectionIndex(FileType type) const;

    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    struct Section
    {
        FileType type;
        const QList<FileItem> *files;   // points into m_results, which is never changed in place
        qint64 totalSize;
    };

    QVariant sectionData(const Section &section, int role) const;
    QVariant fileData(const FileItem &file, int role) const;
    void sectionsChanged(const QList<int> &roles, std::function<bool(FileType)> which);

    ScanResult m_results;
    QList<Section> m_sections;
    QList<FileType> m_sectionTypes;
    FileTypeSet m_selected;
    QStringList m_customExtensions;
    QString m_mountRoot;
    SelectionWriter m_writer;
};

// Paints the rows of the results list: the kind row (symbol, name, custom
// extensions, count and size, check box) and the file row (inside/outside
// sign, name over path, size, divider). Every row has the same height, so the
// view can lay out any number of rows without asking each one.
class ScanResultsDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    explicit ScanResultsDelegate(QObject *parent = nullptr);

    int rowHeight() const { return m_rowHeight; }
    // Where a kind row draws its check box, for a row of this rectangle.
    QRect checkBoxRect(const QRect &row, const QWidget *widget) const;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

protected:
    bool editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                     const QModelIndex &index) override;

private:
    void paintKind(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const;
    void paintFile(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const;

    QFont m_kindFont, m_captionFont;
    rows::FileRowPainter m_fileRow;
    int m_rowHeight = 40;
    rows::SymbolCache m_symbols;
};
