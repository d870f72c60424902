#pragma once

#include <QMainWindow>

#include <functional>

class ContentView;
class QDialog;
class DetailColumn;
class DeviceBanner;
class DeviceService;
class LanguageManager;
class SidebarView;

// The main window: the toolbar, the sidebar and the detail column side by side,
// the window's single alert, the clean-on-insert sheet and the device banner,
// all drawn from the ContentView's state.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    MainWindow(ContentView &view, DeviceService &devices, LanguageManager &languageManager,
               QWidget *parent = nullptr);
    ~MainWindow() override;

    // The device list changed (the manager published a new one).
    void devicesChanged();

    // Makes the settings sheet; a new one each time the state asks for it.
    // Without a maker the gear opens nothing.
    using SheetMaker = std::function<QDialog *(QWidget *parent)>;
    void setSettingsSheetMaker(SheetMaker make);
    // The settings sheet while it is up.
    QDialog *settingsSheet() const;

    SidebarView *sidebar() const;
    DetailColumn *detailColumn() const;
    DeviceBanner *banner() const;

protected:
    // Appearing starts the window's setup and device poll; hiding stops the poll.
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    // Waits for the work under way before it closes (ContentView::prepareToClose).
    void closeEvent(QCloseEvent *event) override;

private:
    struct Impl;
    Impl *d;
};
