#pragma once

#include <QObject>
#include <QDialog>
#include <QPointer>

class AboutPresence;

class QWidget;

// Presents the About view as a sheet of the main window while the window's
// state asks for it (the sidebar footer flips it); closing the sheet in any
// way clears that state again.
class AboutSheet : public QObject
{
    Q_OBJECT
public:
    AboutSheet(AboutPresence &view, QWidget *window);
    ~AboutSheet() override;

    QDialog *sheet() const { return m_sheet; }

private:
    void refresh();

    AboutPresence &m_view;
    QWidget *m_window;
    QPointer<QDialog> m_sheet;
};
