#pragma once

#include <QLayout>
#include <QList>

namespace ui {

// Items side by side in their order, as many as the width holds, then on the
// next line: a row of chips that shows every chip however narrow the window.
// Lines start at the leading edge (the right in a right-to-left layout); an
// item wider than the width gets a line of its own, at that width.
class FlowLayout final : public QLayout
{
public:
    FlowLayout(QWidget *owner, int horizontalSpacing, int verticalSpacing);
    ~FlowLayout() override;

    void addItem(QLayoutItem *item) override;
    QLayoutItem *itemAt(int index) const override;
    QLayoutItem *takeAt(int index) override;
    int count() const override;

    Qt::Orientations expandingDirections() const override;
    bool hasHeightForWidth() const override;
    int heightForWidth(int width) const override;
    QSize minimumSize() const override;
    QSize sizeHint() const override;
    void setGeometry(const QRect &rect) override;

private:
    // Lays the items out in `rect` (placing them only when `place`); the height used.
    int arrange(const QRect &rect, bool place) const;

    QList<QLayoutItem *> m_items;
    int m_horizontalSpacing;
    int m_verticalSpacing;
};

} // namespace ui
