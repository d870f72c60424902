#pragma once

#include <QObject>
#include <QPointer>

class CleanHistoryView;
class HistoryBrowser;
class QWidget;

// Presents the clean history as a window-modal sheet of the main window while
// the window state asks for it (the toolbar's history button), and tells the
// state when the user closes it.
class HistorySheet : public QObject
{
    Q_OBJECT
public:
    HistorySheet(HistoryBrowser &view, QWidget *window);
    ~HistorySheet() override;

    CleanHistoryView *sheet() const;

private:
    void refresh();

    HistoryBrowser &m_view;
    QWidget *m_window;
    QPointer<CleanHistoryView> m_sheet;
};
