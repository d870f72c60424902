#pragma once

#include <QListView>
#include <QStringList>

// The settings sheet's editable lists: the excluded patterns as rows and the
// custom extensions as chips, each entry drawn as plain text with a remove
// button. Rows take the height they need (the sheet scrolls); chips form one
// line 40 points high that scrolls sideways.
class RemovableListView : public QListView
{
    Q_OBJECT
public:
    enum class Shape { row, chip };

    explicit RemovableListView(Shape shape, QWidget *parent = nullptr);

    // Lists `items` at once. While shown, an entry that goes still fades out
    // where it stood as the others close up (rows also fade new ones in).
    void setItems(const QStringList &items);
    QStringList items() const;
    // The remove button of the row-th listed entry, in viewport coordinates.
    QRect removeButtonRect(int row) const;
    // The text an entry shows (a chip shows its suffix after a dot).
    QString shownText(int row) const;

signals:
    void removeRequested(const QString &item);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;

private:
    class Entries;
    // The remove button of a model row (none while the entry leaves).
    QRect removeRectOf(const QModelIndex &index) const;
    void relayOut();
    void fitHeight();

    Shape m_shape;
    Entries *m_model = nullptr;
};
