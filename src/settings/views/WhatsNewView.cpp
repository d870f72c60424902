#include "settings/views/WhatsNewView.h"

#include "localization/Localization.h"
#include "toolkit/Toolkit.h"

#include <QFrame>
#include <QTextBlockFormat>
#include <QTextBrowser>
#include <QTextCursor>

using ui::TextStyle;

WhatsNewView::WhatsNewView(const QString &whatsNew, QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("whatsNewView"));
    setWindowModality(Qt::WindowModal);
    setAttribute(Qt::WA_DeleteOnClose);
    setMinimumSize(400, 300);
    setWindowTitle(localized(QStringLiteral("whats_new")));

    QVBoxLayout *column = ui::vstack(this, 0);
    QHBoxLayout *header = ui::hstack(8, QMargins(20, 20, 20, 10));
    header->addWidget(ui::text(localized(QStringLiteral("whats_new")), ui::font(TextStyle::title2, QFont::DemiBold)));
    header->addStretch(1);
    ui::PaintedButton *done = ui::prominentButton(QStringLiteral("done"), 14, 7);
    done->setObjectName(QStringLiteral("doneButton"));
    connect(done, &QAbstractButton::clicked, this, &QDialog::accept);
    header->addWidget(done);
    column->addLayout(header);

    auto *divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    column->addWidget(divider);

    // Server text: set as plain text, never read as markup or followed as a link.
    m_notes = new QTextBrowser(this);
    m_notes->setObjectName(QStringLiteral("whatsNewNotes"));
    m_notes->setFrameShape(QFrame::NoFrame);
    m_notes->setOpenLinks(false);
    m_notes->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_notes->setFont(ui::font(TextStyle::body));
    m_notes->document()->setDocumentMargin(20);
    m_notes->setPlainText(whatsNew);
    QTextCursor all(m_notes->document());
    all.select(QTextCursor::Document);
    QTextBlockFormat spacing;
    spacing.setLineHeight(4, QTextBlockFormat::LineDistanceHeight);
    all.mergeBlockFormat(spacing);
    column->addWidget(m_notes, 1);
}

QString WhatsNewView::notes() const
{
    return m_notes->toPlainText();
}
