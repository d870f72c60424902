#pragma once

#include <QAbstractButton>
#include <QColor>

// A switch tinted with a colour. It never turns itself: a press asks for the
// other state (`switched`), and the switch shows whatever its owner then sets.
class ToggleSwitch : public QAbstractButton
{
    Q_OBJECT
public:
    explicit ToggleSwitch(const QColor &tint, QWidget *parent = nullptr);

    bool isOn() const { return m_on; }
    void setOn(bool on);

    QSize sizeHint() const override;

signals:
    void switched(bool requested);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_tint;
    bool m_on = false;
};
