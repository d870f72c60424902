#pragma once

#include <QObject>
#include <QPointer>

class CleanHistoryView;
class ContentView;
class QWidget;

// Presents the clean history as a window-modal sheet of the main window while
// the window state asks for it (the toolbar's history button), and tells the
// state when the user closes it.
class HistorySheet : public QObject
{
    Q_OBJECT
public:
    HistorySheet(ContentView &view, QWidget *window);
    ~HistorySheet() override;

    CleanHistoryView *sheet() const;

private:
    void refresh();

    ContentView &m_view;
    QWidget *m_window;
    QPointer<CleanHistoryView> m_sheet;
};
