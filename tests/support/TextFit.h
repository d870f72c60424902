#pragma once

// What a laid-out window shows of its texts: every label, button, field and
// picker whose text needs more room than it was given (`cutTexts`), and the
// lines of text as a widget really paints them, in visual order from left to
// right (`drawnLines`, from a paint device that records each run of text).

#include "mainwindow/views/Toolkit.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPaintEngine>
#include <QPainter>
#include <QPushButton>
#include <QStyleOptionComboBox>
#include <QStyleOptionFrame>
#include <QRegularExpression>
#include <QTextItem>
#include <QToolButton>

#include <algorithm>
#include <climits>
#include <cmath>

namespace testsupport {

namespace textfit {

inline QString describe(const QWidget *widget, const QString &text)
{
    const QString name = widget->objectName().isEmpty() ? QString::fromLatin1(widget->metaObject()->className())
                                                         : widget->objectName();
    return name + QStringLiteral(" \"") + text.left(60) + u'"';
}

// The ancestor (up to the window, or to the scroll area that shows it:
// scrolling may hide part of it) whose rectangle the widget's leaves, if any.
inline QString clippedByAncestors(const QWidget *widget)
{
    const QRect own = widget->rect();
    for (const QWidget *parent = widget->parentWidget(); parent; parent = parent->parentWidget()) {
        const QRect inParent(widget->mapTo(parent, own.topLeft()), own.size());
        if (parent->objectName() == QLatin1String("qt_scrollarea_viewport")) {
            // Scrolling shows what lies above or below; what lies to the side
            // only in an area that scrolls sideways (one with a horizontal bar,
            // or a strip that scrolls only sideways, such as a row of chips).
            const auto *area = qobject_cast<const QAbstractScrollArea *>(parent->parentWidget());
            const bool sideways = area && (area->horizontalScrollBarPolicy() != Qt::ScrollBarAlwaysOff
                                           || area->verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOff);
            if (!sideways && (inParent.left() < -1 || inParent.right() > parent->width()))
                return QStringLiteral("reaches outside the scrolled area (%1 to %2 in %3)")
                    .arg(inParent.left()).arg(inParent.right()).arg(parent->width());
            return {};
        }
        // One pixel of slack: QSplitter places a right-to-left pane one pixel
        // past its edge, which cuts no text.
        if (!parent->rect().adjusted(-1, -1, 1, 1).contains(inParent)) {
            return QStringLiteral("reaches outside %1 (%2,%3 %4x%5 in %6x%7)")
                .arg(describe(parent, QString())).arg(inParent.x()).arg(inParent.y()).arg(inParent.width())
                .arg(inParent.height()).arg(parent->width()).arg(parent->height());
        }
        if (parent->isWindow())
            return {};
    }
    return {};
}

inline bool placeholderFits(const QLineEdit *edit)
{
    if (edit->placeholderText().isEmpty() || !edit->text().isEmpty())
        return true;
    QStyleOptionFrame option;
    option.initFrom(edit);
    option.lineWidth = edit->hasFrame() ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit) : 0;
    const QRect contents = edit->style()->subElementRect(QStyle::SE_LineEditContents, &option, edit)
                               .marginsRemoved(edit->textMargins());
    constexpr int horizontalMargin = 2;   // QLineEdit's own inner margin on each side
    return edit->fontMetrics().horizontalAdvance(edit->placeholderText()) <= contents.width() - 2 * horizontalMargin;
}

inline bool comboTextFits(const QComboBox *combo)
{
    QStyleOptionComboBox option;
    option.initFrom(combo);
    option.editable = combo->isEditable();
    const QRect field =
        combo->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo);
    return combo->fontMetrics().horizontalAdvance(combo->currentText()) <= field.width();
}

} // namespace textfit

// Every shown text of the window's tree that does not fit: a label narrower
// or lower than its text needs (a label that elides names on purpose is
// left out), a button narrower than its label, a placeholder or a picker's
// choice cut by its field, and anything that sticks out of its parent.
inline QStringList cutTexts(QWidget *root)
{
    QStringList cut;
    QList<QWidget *> widgets = root->findChildren<QWidget *>();
    widgets.prepend(root);
    for (QWidget *widget : std::as_const(widgets)) {
        if (!widget->isVisible() || widget->width() <= 0)
            continue;
        QString problem;
        if (auto *label = qobject_cast<QLabel *>(widget)) {
            if (label->text().isEmpty() || qobject_cast<ui::ElidingLabel *>(label))
                continue;
            if (label->wordWrap()) {
                const int neededHeight = label->heightForWidth(label->width());
                if (label->width() < label->minimumSizeHint().width() || label->height() < neededHeight)
                    problem = QStringLiteral("%1x%2 given, needs %3 wide, %4 high")
                                  .arg(label->width()).arg(label->height())
                                  .arg(label->minimumSizeHint().width()).arg(neededHeight);
            } else if (label->width() < label->sizeHint().width() || label->height() < label->sizeHint().height()) {
                problem = QStringLiteral("%1x%2 given, needs %3x%4").arg(label->width()).arg(label->height())
                              .arg(label->sizeHint().width()).arg(label->sizeHint().height());
            }
            if (problem.isEmpty())
                problem = textfit::clippedByAncestors(label);
            if (!problem.isEmpty())
                cut << textfit::describe(label, label->text()) + u' ' + problem;
        } else if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
            if (button->text().isEmpty())
                continue;
            if (auto *tool = qobject_cast<QToolButton *>(button); tool && tool->toolButtonStyle() == Qt::ToolButtonIconOnly)
                continue;
            if (auto *painted = qobject_cast<ui::PaintedButton *>(button)) {
                if (!painted->showsWholeText())
                    problem = QStringLiteral("label elided at %1 wide").arg(painted->width());
            } else {
                QSize needed = button->minimumSizeHint().expandedTo(
                    qobject_cast<QPushButton *>(button) ? button->sizeHint() : QSize());
                if (button->hasHeightForWidth())
                    needed.setHeight(std::max(needed.height(), button->heightForWidth(button->width())));
                if (button->width() < needed.width() || button->height() < needed.height())
                    problem = QStringLiteral("%1x%2 given, needs %3x%4").arg(button->width()).arg(button->height())
                                  .arg(needed.width()).arg(needed.height());
            }
            if (problem.isEmpty())
                problem = textfit::clippedByAncestors(button);
            if (!problem.isEmpty())
                cut << textfit::describe(button, button->text()) + u' ' + problem;
        } else if (auto *edit = qobject_cast<QLineEdit *>(widget)) {
            if (!textfit::placeholderFits(edit))
                cut << textfit::describe(edit, edit->placeholderText()) + QStringLiteral(" placeholder cut");
        } else if (auto *combo = qobject_cast<QComboBox *>(widget)) {
            if (!textfit::comboTextFits(combo))
                cut << textfit::describe(combo, combo->currentText()) + QStringLiteral(" choice cut");
        }
    }
    return cut;
}

// ---- Text as painted ----

namespace textfit {

struct Run
{
    QPointF at;      // the run's start on its baseline, in the painted widget's coordinates
    qreal width = 0;
    QString text;    // logical order
    bool rightToLeft = false;
};

// A paint engine that keeps the runs of text drawn through it and nothing else.
class RunRecorder final : public QPaintEngine
{
public:
    RunRecorder() : QPaintEngine(QPaintEngine::AllFeatures) {}
    QList<Run> runs;

    bool begin(QPaintDevice *) override { return true; }
    bool end() override { return true; }
    void updateState(const QPaintEngineState &changed) override
    {
        if (changed.state() & DirtyTransform)
            m_transform = changed.transform();
    }
    void drawPixmap(const QRectF &, const QPixmap &, const QRectF &) override {}
    void drawPath(const QPainterPath &) override {}
    void drawPolygon(const QPointF *, int, PolygonDrawMode) override {}
    void drawTextItem(const QPointF &at, const QTextItem &item) override
    {
        if (item.width() > 0)
            runs.append({m_transform.map(at), item.width(), item.text(),
                         bool(item.renderFlags() & QTextItem::RightToLeft)});
    }
    Type type() const override { return User; }

private:
    QTransform m_transform;
};

class RecordingDevice final : public QPaintDevice
{
public:
    explicit RecordingDevice(QSize size) : m_size(size) {}
    RunRecorder recorder;
    QPaintEngine *paintEngine() const override { return const_cast<RunRecorder *>(&recorder); }

protected:
    int metric(PaintDeviceMetric metric) const override
    {
        switch (metric) {
        case PdmWidth: return m_size.width();
        case PdmHeight: return m_size.height();
        case PdmWidthMM: return m_size.width() * 254 / 960;
        case PdmHeightMM: return m_size.height() * 254 / 960;
        case PdmDpiX: case PdmDpiY: case PdmPhysicalDpiX: case PdmPhysicalDpiY: return 96;
        case PdmDepth: return 32;
        case PdmNumColors: return INT_MAX;
        case PdmDevicePixelRatio: return 1;
        case PdmDevicePixelRatioScaled: return int(QPaintDevice::devicePixelRatioFScale());
        }
        return 0;
    }

private:
    QSize m_size;
};

} // namespace textfit

// The lines of text the widget paints, each read from left to right as it
// stands on the screen: runs on one baseline in the order of their places, a
// right-to-left run's letters reversed. Marks that take no room are dropped.
inline QStringList drawnLines(QWidget *widget)
{
    textfit::RecordingDevice device(widget->size());
    // Painted through this painter, the widgets keep its direction: give it theirs.
    QPainter painter(&device);
    painter.setLayoutDirection(widget->layoutDirection());
    widget->render(&painter, QPoint(), QRegion(), QWidget::DrawChildren);
    painter.end();
    QList<textfit::Run> runs = device.recorder.runs;
    std::stable_sort(runs.begin(), runs.end(), [](const textfit::Run &a, const textfit::Run &b) {
        if (std::abs(a.at.y() - b.at.y()) > 1)
            return a.at.y() < b.at.y();
        return a.at.x() < b.at.x();
    });
    QStringList lines;
    qreal baseline = -1e9;
    for (const textfit::Run &run : std::as_const(runs)) {
        QString text = run.text;
        text.remove(QRegularExpression(QStringLiteral("[\\x{200E}\\x{200F}\\x{2066}-\\x{2069}]")));
        if (run.rightToLeft)
            std::reverse(text.begin(), text.end());
        if (lines.isEmpty() || std::abs(run.at.y() - baseline) > 1)
            lines << text;
        else
            lines.last() += text;
        baseline = run.at.y();
    }
    return lines;
}

} // namespace testsupport
