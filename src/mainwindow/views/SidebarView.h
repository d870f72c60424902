#pragma once

#include <QWidget>

class ContentView;
class DeviceService;

// The window's first column: one row per connected device (a click selects it),
// an empty-state text over an empty list, and the footer button that opens the
// About sheet.
class SidebarView : public QWidget
{
    Q_OBJECT
public:
    SidebarView(ContentView &view, DeviceService &devices, QWidget *parent = nullptr);
    ~SidebarView() override;

    // Re-reads the device list and the window state. Rows are rebuilt when the
    // list or the window's refresh flag changed (every flip rebuilds).
    void refresh();

private:
    struct Impl;
    Impl *d;
};
