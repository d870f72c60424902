#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include "app/AppInfoPopoverView.h"

// The free-standing About window: built on demand, sized from the main
// screen, centred over the app's main window and kept above other windows.
// The menu command toggles it.
class AppInfoManager : public QObject
{
    Q_OBJECT
public:
    explicit AppInfoManager(QObject *parent = nullptr);
    ~AppInfoManager() override;

    // The About window while it exists (hidden after its close button).
    QWidget *infoWindow() const { return m_infoWindow; }
    AppInfoPopoverView *infoView() const { return m_infoView; }

    // Builds a new About window and shows it over the anchor's window (none:
    // the app's main window). A previous window is replaced.
    void showInfoWindow(QWidget *anchor = nullptr);
    // Centres the window over the anchor's window, inside its screen.
    void positionWindow(QWidget *anchor = nullptr);
    // Closes a shown window; otherwise (none, closed or minimised) shows a new one.
    void toggle();

    // The content size for the primary screen (550 by 600 without one).
    static QSize preferredWindowSize();

private:
    QPointer<QWidget> m_infoWindow;
    QPointer<AppInfoPopoverView> m_infoView;
};
