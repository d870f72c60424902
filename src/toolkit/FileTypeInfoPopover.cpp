#include "toolkit/FileTypeInfoPopover.h"

#include "localization/LanguageManager.h"
#include "localization/Localization.h"
#include "toolkit/Presentation.h"
#include "toolkit/Toolkit.h"

#include <QApplication>
#include <QFrame>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <QScrollArea>

namespace {

constexpr int popoverWidth = 350;
constexpr int patternListMaxHeight = 150;
constexpr int anchorGap = 6;

} // namespace

FileTypeInfoPopover::FileTypeInfoPopover(FileType type, std::function<void()> close, LanguageManager &languages,
                                         QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint), m_type(type), m_close(std::move(close))
{
    setObjectName(QStringLiteral("fileTypeInfoPopover"));
    // The sheet keeps the focus: its keys and clicks go on as before.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFixedWidth(popoverWidth);
    ui::vstack(this, 0);
    build();
    connect(&languages, &LanguageManager::currentLanguageChanged, this, &FileTypeInfoPopover::build);
}

void FileTypeInfoPopover::build()
{
    if (m_content) {
        m_content->hide();
        m_content->deleteLater();
    }
    m_content = new QWidget;
    layout()->addWidget(m_content);
    m_content->show();
    QVBoxLayout *column = ui::vstack(m_content, 15, ui::padding(ui::defaultPadding));
    const QColor tint = ui::color(FileTypes::color(m_type));

    QHBoxLayout *header = ui::hstack();
    header->addWidget(new ui::SymbolLabel(FileTypes::iconName(m_type), tint, 20));
    QLabel *name = ui::text(FileTypes::displayName(m_type), ui::TextStyle::headline);
    name->setObjectName(QStringLiteral("popoverTitle"));
    header->addWidget(name, 1);
    auto *closeButton = new ui::PaintedButton;
    closeButton->setObjectName(QStringLiteral("popoverCloseButton"));
    closeButton->setSymbol(QStringLiteral("xmark.circle.fill"), 18);
    closeButton->setForeground(ui::color(ui::NamedColor::secondary));
    closeButton->setPadding(0, 0);
    closeButton->setCursor(Qt::PointingHandCursor);
    connect(closeButton, &QAbstractButton::clicked, this, &FileTypeInfoPopover::requestClose);
    header->addWidget(closeButton);
    column->addLayout(header);

    auto *divider = new QFrame;
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    column->addWidget(divider);

    const FileTypes::PatternInfo info = FileTypes::patternInfo(m_type);
    QLabel *description = ui::text(info.description, ui::TextStyle::body);
    description->setObjectName(QStringLiteral("popoverDescription"));
    description->setWordWrap(true);
    column->addWidget(description);

    if (!info.patterns.isEmpty()) {
        QVBoxLayout *list = ui::vstack(8);
        QLabel *heading = ui::text(localized(QStringLiteral("included_patterns")),
                                   ui::font(ui::TextStyle::subheadline, QFont::Medium));
        heading->setObjectName(QStringLiteral("includedPatternsHeading"));
        list->addWidget(heading);
        auto *rows = new QWidget;
        QVBoxLayout *rowStack = ui::vstack(rows, 5, QMargins(5, 0, 0, 0));
        for (const QString &pattern : info.patterns) {
            QHBoxLayout *row = ui::hstack(8);
            row->addWidget(new ui::SymbolLabel(QStringLiteral("doc"), ui::color(FileTypes::color(m_type), 0.7), 12));
            QLabel *text = ui::text(pattern, ui::font(ui::TextStyle::body, std::nullopt, true));
            text->setObjectName(QStringLiteral("patternRow"));
            // Beside its symbol: a label stretched over the row would set a
            // Latin pattern at its left end in a right-to-left layout.
            row->addWidget(text);
            row->addStretch(1);
            rowStack->addLayout(row);
        }
        auto *area = new QScrollArea;
        area->setObjectName(QStringLiteral("patternList"));
        area->setFrameShape(QFrame::NoFrame);
        area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        area->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        area->setWidgetResizable(true);
        area->setWidget(rows);
        area->setFixedHeight(std::min(patternListMaxHeight, rows->sizeHint().height()));
        list->addWidget(area);
        column->addLayout(list);
    }
    adjustSize();
}

QStringList FileTypeInfoPopover::shownPatterns() const
{
    QStringList patterns;
    for (const QLabel *row : m_content->findChildren<QLabel *>(QStringLiteral("patternRow")))
        patterns << row->text();
    return patterns;
}

void FileTypeInfoPopover::showBeside(const QWidget *anchor)
{
    adjustSize();
    const QRect area = anchor->screen() ? anchor->screen()->availableGeometry() : QRect();
    const QRect target(anchor->mapToGlobal(QPoint(0, 0)), anchor->size());
    // Beside the anchor's leading edge, else beside its trailing edge, else below it.
    const int middle = target.center().y() - height() / 2;
    QPoint at(target.left() - width() - anchorGap, middle);
    if (area.isValid() && at.x() < area.left())
        at = QPoint(target.right() + anchorGap, middle);
    if (area.isValid() && at.x() + width() > area.right())
        at = QPoint(target.right() - width(), target.bottom() + anchorGap);
    if (area.isValid()) {
        at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - width())));
        at.setY(std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() - height())));
    }
    move(at);
    show();
}

void FileTypeInfoPopover::dismiss()
{
    m_dismissed = true;
    hide();
}

void FileTypeInfoPopover::requestClose()
{
    if (!m_dismissed)
        m_close();
}

bool FileTypeInfoPopover::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        // A press anywhere else closes it and still goes where it was aimed.
        const auto *widget = qobject_cast<QWidget *>(watched);
        if (widget && widget->window() != this)
            requestClose();
        break;
    }
    case QEvent::KeyPress:
        if (static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape) {
            requestClose();
            return true;   // Escape closes the popover, not the sheet
        }
        break;
    case QEvent::ApplicationDeactivate:
        requestClose();
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void FileTypeInfoPopover::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    qApp->installEventFilter(this);
}

void FileTypeInfoPopover::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    qApp->removeEventFilter(this);
    // Hidden by anything but its presenter: the presenter hears of it.
    if (!event->spontaneous())
        requestClose();
}

void FileTypeInfoPopover::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), ui::color(ui::NamedColor::windowBackground));
    painter.setPen(ui::color(ui::NamedColor::secondary, 0.3));
    painter.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
}
