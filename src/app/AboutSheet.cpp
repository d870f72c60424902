#include "app/AboutSheet.h"

#include "app/AppInfoPopoverView.h"
#include "mainwindow/SheetModels.h"

#include <QDialog>
#include <QVBoxLayout>

AboutSheet::AboutSheet(AboutPresence &view, QWidget *window) : QObject(window), m_view(view), m_window(window)
{
    view.onStateChanged(this, [this] { refresh(); });
    refresh();
}

AboutSheet::~AboutSheet()
{
    if (m_sheet) {
        m_sheet->disconnect(this);
        delete m_sheet;
    }
}

void AboutSheet::refresh()
{
    if (m_view.showAbout() == bool(m_sheet))
        return;
    if (m_sheet) {
        // The state no longer asks for it.
        m_sheet->reject();
        return;
    }
    auto *sheet = new QDialog(m_window);
    sheet->setObjectName(QStringLiteral("aboutSheet"));
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setWindowTitle(QStringLiteral("Sweepbrook"));
    auto *stack = new QVBoxLayout(sheet);
    stack->setContentsMargins(0, 0, 0, 0);
    auto *about = new AppInfoPopoverView(sheet);
    stack->addWidget(about);
    connect(about, &AppInfoPopoverView::dismissRequested, sheet, &QDialog::reject);
    connect(sheet, &QDialog::finished, this, [this, sheet] {
        if (m_sheet == sheet)
            m_sheet = nullptr;
        sheet->deleteLater();
        if (m_view.showAbout())
            m_view.setShowAbout(false);
    });
    m_sheet = sheet;
    sheet->open();
}
