#pragma once

// What a laid-out window shows of its texts: every label, button, field and
// picker whose text needs more room than it was given or is painted past its
// edges (`cutTexts`), the runs and lines of text as a widget really paints
// them, in visual order from left to right (`drawnRuns`, `drawnLines`, from a
// paint device that records each run of text), and whether a label shows a
// name as written or reordered (`readingOf`, from those runs).

#include "toolkit/Toolkit.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPaintEngine>
#include <QImage>
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
            // only in an area with a horizontal scroll bar (a strip without one,
            // such as a row of chips, hides for good what lies past its end).
            const auto *area = qobject_cast<const QAbstractScrollArea *>(parent->parentWidget());
            const bool sideways = area && area->horizontalScrollBarPolicy() != Qt::ScrollBarAlwaysOff;
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

// Where a label paints a run of its text past its left or right edge (below).
inline QString paintedPastItsEdges(QWidget *label);

} // namespace textfit

// Every shown text of the window's tree that does not fit: a label narrower
// or lower than its text needs, or one that paints its text past its edges
// (a label that elides names on purpose is left out), a button narrower than
// its label, a placeholder or a picker's choice cut by its field, and
// anything that sticks out of its parent.
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
            if (problem.isEmpty())
                problem = textfit::paintedPastItsEdges(label);
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
    QFont font;
    QRectF clip;     // the painter's clip around it, in the same coordinates; null when it draws unclipped
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
        if (item.width() <= 0)
            return;
        const QPainter *drawing = painter();
        const QRectF clip = drawing && drawing->hasClipping() ? m_transform.mapRect(drawing->clipBoundingRect()) : QRectF();
        runs.append({m_transform.map(at), item.width(), item.text(), bool(item.renderFlags() & QTextItem::RightToLeft),
                     item.font(), clip});
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

// The runs of text the widget (with its children, or alone) paints, where it
// paints them, whether or not they fall inside it.
inline QList<textfit::Run> drawnRuns(QWidget *widget, bool children = true)
{
    textfit::RecordingDevice device(widget->size());
    // Painted through this painter, the widgets keep its direction: give it theirs.
    QPainter painter(&device);
    painter.setLayoutDirection(widget->layoutDirection());
    widget->render(&painter, QPoint(), QRegion(), children ? QWidget::DrawChildren : QWidget::RenderFlags());
    painter.end();
    return device.recorder.runs;
}

// The lines of text the widget paints, each read from left to right as it
// stands on the screen: runs on one baseline in the order of their places, a
// right-to-left run's letters reversed. Marks that take no room are dropped.
inline QStringList drawnLines(QWidget *widget)
{
    QList<textfit::Run> runs = drawnRuns(widget);
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

// How a label shows `token`, a name inside its text, read from the runs of
// text it paints (`drawnLines`: each line as it stands on the screen, read
// from left to right): as written wherever its text holds it, and whether
// the same label with the token forced into the order right-to-left text
// gives a name nothing keeps (between right-to-left marks: ".DS_Store" read
// as "DS_Store.") would read otherwise, so that the check can tell the two
// apart. The runs' order and direction, not their pixels: a font that draws
// the marks, or sets a line a pixel lower, reads the same.
struct Reading
{
    QStringList lines;               // the label's lines as painted, read left to right
    bool asWritten = false;          // they show the token as written as often as the text holds it
    bool reorderedReadsOtherwise = false;
};

inline Reading readingOf(QLabel *label, const QString &token)
{
    const QString shown = label->text();
    qsizetype at = shown.indexOf(token);
    if (at < 0)
        return {};
    // The token alone, without what keeps its order now, if anything does.
    qsizetype end = at + token.size();
    if (at > 0 && shown.at(at - 1) >= QChar(0x2066) && shown.at(at - 1) <= QChar(0x2068) && end < shown.size()
        && shown.at(end) == QChar(0x2069)) {
        --at;
        ++end;
    }
    const qsizetype times = shown.count(token);
    const auto linesOf = [label](const QString &text) {
        label->setText(text);
        return drawnLines(label);
    };
    const auto timesIn = [&token](const QStringList &lines) {
        qsizetype found = 0;
        for (const QString &line : lines)
            found += line.count(token);
        return found;
    };
    const QChar rightToLeftMark(0x200F);
    Reading reading;
    reading.lines = linesOf(shown);
    reading.asWritten = timesIn(reading.lines) == times;
    const QStringList reordered = linesOf(shown.left(at) + rightToLeftMark + token + rightToLeftMark + shown.mid(end));
    reading.reorderedReadsOtherwise = timesIn(reordered) < times;
    label->setText(shown);
    return reading;
}

namespace textfit {

// Where a label paints a run of its text beyond its left or right edge (its
// own accounting may say it fits: a wrapped right-to-left line is one such).
inline QString paintedPastItsEdges(QWidget *label)
{
    for (const Run &run : drawnRuns(label, false)) {
        if (run.at.x() < -1 || run.at.x() + run.width > label->width() + 1)
            return QStringLiteral("paints \"%1\" from %2 to %3 in %4")
                .arg(run.text).arg(run.at.x()).arg(run.at.x() + run.width).arg(label->width());
    }
    return {};
}

} // namespace textfit

} // namespace testsupport

namespace testsupport {

// How whole a widget draws `name` in the runs of text that hold it (runs laid
// out left to right): how far a clip cuts into any such run's line (above
// its font's ascent or below its descent; 0 when nothing does), and the share
// of the ink its underscores have below the baseline when the same run is
// drawn alone and unclipped in the same font at the same place, that a grab
// of the widget shows (unlike the pixel above the baseline in the same
// column, where nothing of an underscore's advance is drawn).
struct NameDrawn
{
    int runs = 0;
    qreal lineCut = 0;
    qreal underscoreShown = 1;
};

inline NameDrawn nameDrawn(QWidget *widget, const QString &name)
{
    const qreal ratio = widget->devicePixelRatioF();
    const QImage shot = widget->grab().toImage();
    NameDrawn drawn;
    int expected = 0, shown = 0;
    for (const textfit::Run &run : drawnRuns(widget)) {
        if (run.rightToLeft || !run.text.contains(name))
            continue;
        ++drawn.runs;
        const QFontMetricsF metrics(run.font);
        const qreal top = run.at.y() - metrics.ascent(), bottom = run.at.y() + metrics.descent();
        if (!run.clip.isNull())
            drawn.lineCut = std::max({drawn.lineCut, run.clip.top() - top, bottom - run.clip.bottom()});
        // The run alone, black on white, at the same fraction of a pixel.
        const QPoint origin(int(std::floor(run.at.x())) - 2, int(std::floor(top)) - 4);
        const QSize size(int(std::ceil(run.width)) + 6, int(std::ceil(bottom - top)) + 10);
        QImage alone(size * ratio, QImage::Format_ARGB32);
        alone.setDevicePixelRatio(ratio);
        alone.fill(Qt::white);
        {
            QPainter painter(&alone);
            painter.setFont(run.font);
            painter.setPen(Qt::black);
            painter.drawText(run.at - QPointF(origin), run.text);
        }
        const int baseline = int(std::ceil(run.at.y() * ratio));
        for (qsizetype at = run.text.indexOf(u'_'); at >= 0; at = run.text.indexOf(u'_', at + 1)) {
            const int left = int(std::ceil((run.at.x() + metrics.horizontalAdvance(run.text.left(at))) * ratio));
            const int right = int((run.at.x() + metrics.horizontalAdvance(run.text.left(at + 1))) * ratio);
            for (int x = left; x < right; ++x) {
                const int above = qGray(shot.pixel(x, baseline - int(2 * ratio)));
                for (int y = baseline + 1; y < (origin.y() + size.height()) * ratio; ++y) {
                    const QPoint inAlone(x - qRound(origin.x() * ratio), y - qRound(origin.y() * ratio));
                    if (!alone.rect().contains(inAlone) || qGray(alone.pixel(inAlone)) > 128)
                        continue;
                    ++expected;
                    shown += std::abs(qGray(shot.pixel(x, y)) - above) > 30 ? 1 : 0;
                }
            }
        }
    }
    if (expected > 0)
        drawn.underscoreShown = qreal(shown) / expected;
    return drawn;
}

} // namespace testsupport
