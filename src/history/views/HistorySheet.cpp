#include "history/views/HistorySheet.h"

#include "history/views/CleanHistoryView.h"
#include "mainwindow/SheetModels.h"

HistorySheet::HistorySheet(HistoryBrowser &view, QWidget *window) : QObject(window), m_view(view), m_window(window)
{
    view.onStateChanged(this, [this] { refresh(); });
    refresh();
}

HistorySheet::~HistorySheet()
{
    // The sheet calls back into the window state when it closes.
    if (m_sheet)
        m_sheet->disconnect(this);
}

CleanHistoryView *HistorySheet::sheet() const
{
    return m_sheet;
}

void HistorySheet::refresh()
{
    if (!m_view.showHistory()) {
        // The state closed it: close the sheet without asking anything.
        if (CleanHistoryView *sheet = m_sheet) {
            m_sheet = nullptr;
            sheet->done(QDialog::Rejected);
        }
        return;
    }
    if (m_sheet) {
        m_sheet->refresh();
        return;
    }
    auto *sheet = new CleanHistoryView(m_view, m_window);
    sheet->setWindowModality(Qt::WindowModal);
    m_sheet = sheet;
    connect(sheet, &QDialog::finished, this, [this, sheet] {
        sheet->deleteLater();
        if (m_sheet == sheet)
            m_sheet = nullptr;
        if (m_view.showHistory())
            m_view.setShowHistory(false);
    });
    sheet->open();
}
